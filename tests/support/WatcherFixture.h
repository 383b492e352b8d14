// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/SettingsKeys.h"
#include "fakes/RecordingDelegate.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <gtest/gtest.h>

namespace wl::test {

// A private settings store and notification center, a counting delegate, and what the panel
// does when the user picks a title.
class WatcherFixture : public ::testing::Test
{
protected:
    void storeChoice(const QString& name, qint64 vendor, qint64 product)
    {
        settings.setObject(keys::kDeviceName, name);
        settings.setObject(keys::idVendor, vendor);
        settings.setObject(keys::idProduct, product);
    }

    void choose(const QString& title)
    {
        settings.setObject(keys::kDeviceName, title);
        center.postNotificationName(events::kSetNewDeviceEvent, this,
                                    {{events::kNewDeviceName, title}});
    }

    // Deliveries run in order, so once the n-th lock is seen everything sent before it was
    // handled too: exactly n means nothing else locked.
    bool waitForLocks(int n)
    {
        return QTest::qWaitFor([&] { return delegate->calls() >= n; }, 5000) &&
               delegate->calls() == n;
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    NotificationCenter center;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

} // namespace wl::test
