// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LockAction.h"
#include "app/SettingsKeys.h"
#include "fakes/RecordingSessionLocker.h"
#include "platform/settings/Settings.h"

#include <QTemporaryDir>

#include <thread>

#include <gtest/gtest.h>

using namespace wl;
using Request = test::RecordingSessionLocker::Request;

TEST(LockAction, ReadsTheLockTypeAtEveryTriggerOnTheTriggeringThread)
{
    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    test::RecordingSessionLocker locker;
    LockAction action(settings, locker);
    registerDefaultSettings(settings);
    action.lockIt(); // a fresh store locks the session
    settings.setBool(keys::UseScreenSaver, true);
    action.lockIt(LockTrigger::Shortcut);
    settings.setBool(keys::UseScreenSaver, false);
    QThread* worker = nullptr;
    std::thread([&] {
        worker = QThread::currentThread();
        action.lockIt(LockTrigger::Menu);
    }).join();
    EXPECT_EQ(locker.requests(),
              (std::vector<Request>{Request::Lock, Request::ScreenSaver, Request::Lock}));
    EXPECT_EQ(locker.threads().back(), worker);
}
