// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"
#include "app/SettingsKeys.h"
#include "fakes/RecordingSessionLocker.h"
#include "platform/settings/Settings.h"

#include <QTemporaryDir>

#include <thread>

#include <gtest/gtest.h>

using namespace wl;
using Request = test::RecordingSessionLocker::Request;

namespace {

class LockActionTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    test::RecordingSessionLocker locker;
    AppDelegate controller{settings, locker};
};

TEST_F(LockActionTest, FreshStoreLocksTheSession)
{
    registerDefaultSettings(settings);
    controller.watchedDeviceRemoved();
    EXPECT_EQ(locker.requests(), std::vector<Request>{Request::Lock});
}

TEST_F(LockActionTest, LockTypeIsReadAtEveryTriggerAndEveryTriggerCounts)
{
    registerDefaultSettings(settings);
    settings.setBool(keys::UseScreenSaver, true);
    controller.lockIt();
    settings.setBool(keys::UseScreenSaver, false);
    controller.lockIt();
    controller.lockIt();
    EXPECT_EQ(locker.requests(),
              (std::vector<Request>{Request::ScreenSaver, Request::Lock, Request::Lock}));
}

TEST_F(LockActionTest, RunsOnTheTriggeringThread)
{
    QThread* worker = nullptr;
    std::thread audio([&] {
        worker = QThread::currentThread();
        controller.watchedDeviceRemoved();
    });
    audio.join();
    ASSERT_EQ(locker.count(), 1u);
    EXPECT_EQ(locker.threads().front(), worker);
}

} // namespace
