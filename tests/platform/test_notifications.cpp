// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/notify/DBusDesktopNotifier.h"
#include "platform/session/DBusSessionLocker.h"
#include "support/LogCapture.h"
#include "support/Services.h"

#include <QDBusArgument>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <thread>

using namespace wl;
using namespace wl::test;

namespace {

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kFailed = QStringLiteral("Could not show a desktop notification");

class NotificationTest : public PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        ASSERT_TRUE(daemon.start());
    }

    // The Notify calls the daemon received, oldest first, as
    // "app|replaces|icon|title|body|urgency|desktop-entry|timeout".
    QStringList notifyCalls() const
    {
        QStringList calls;
        for (const auto& [method, a] : daemon.calls(kPath)) {
            if (method != QLatin1String("Notify"))
                continue;
            const auto hints = qdbus_cast<QVariantMap>(a[6].value<QDBusArgument>());
            QStringList fields;
            for (int i = 0; i < 5; ++i)
                fields << a[i].toString();
            fields << QString::number(hints.value(QStringLiteral("urgency")).toInt())
                   << hints.value(QStringLiteral("desktop-entry")).toString() << a[7].toString();
            calls << fields.join(u'|');
        }
        return calls;
    }

    LogCapture logs;
    DBusDesktopNotifier notifier;
    DBusMock daemon{false, kNotifications, {"--template", "notification_daemon"}};
};

TEST_F(NotificationTest, NotificationStaysUntilDismissedAndANewerOneReplacesIt)
{
    QSignalSpy shown(&notifier, &DBusDesktopNotifier::shown);
    notifier.notify(QStringLiteral("First"), QStringLiteral("one"));
    ASSERT_TRUE(shown.wait(5000));
    // From another thread, as a lock that runs on the audio thread would.
    std::thread other([&] { notifier.notify(QStringLiteral("Second"), QStringLiteral("two")); });
    other.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }, 5000));
    const QString id = shown.at(0).at(0).toString();
    EXPECT_EQ(shown.at(1).at(0).toString(), id);
    const QString app = QStringLiteral("org.wardlatch.Wardlatch");
    EXPECT_EQ(notifyCalls(),
              (QStringList{"Wardlatch|0|" + app + "|First|one|2|" + app + "|0",
                           "Wardlatch|" + id + "|" + app + "|Second|two|2|" + app + "|0"}));
    EXPECT_EQ(logs.countContaining(QStringLiteral("notification")), 0);
}

TEST_F(NotificationTest, MissingOrHungDaemonCostsOneLogLineAndNoWait)
{
    daemon.stop();
    DBusDesktopNotifier quick(/*callTimeoutMs=*/300);
    QSignalSpy failed(&quick, &DBusDesktopNotifier::failed);
    quick.notify(QStringLiteral("Nobody"), QStringLiteral("listens"));
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(logs.countContaining(kFailed), 1);

    // A daemon that owns the name but never answers in time.
    DBusMock hung(false, kNotifications, {kNotifications, kPath, kNotifications});
    ASSERT_TRUE(hung.start());
    ASSERT_EQ(
        hung.mockCall(kPath, QStringLiteral("AddMethod"),
                      {kNotifications, QStringLiteral("Notify"), QStringLiteral("susssasa{sv}i"),
                       QStringLiteral("u"), QStringLiteral("import time\ntime.sleep(3)\nret = 1")})
            .type(),
        QDBusMessage::ReplyMessage);
    QElapsedTimer clock;
    clock.start();
    quick.notify(QStringLiteral("Slow"), QStringLiteral("daemon"));
    EXPECT_LT(clock.elapsed(), 250);
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed.size() == 2; }, 5000));
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_EQ(logs.countContaining(kFailed), 2);
}

// With no logind, a screen saver that confirms raises none; one that ignores the lock and the
// screen saver request raises one notification for each, besides the log line.
TEST_F(NotificationTest, OnlyAnUnconfirmedLockOrScreenSaverRaisesANotification)
{
    QSignalSpy shown(&notifier, &DBusDesktopNotifier::shown);
    for (const bool confirms : {true, false}) {
        SCOPED_TRACE(confirms ? "confirmed" : "unconfirmed");
        auto saver = DBusMock::screenSaver(confirms);
        ASSERT_TRUE(saver);
        DBusSessionLocker locker(
            DBusSessionLocker::Options{/*confirmDelayMs=*/100, /*callTimeoutMs=*/1000});
        locker.setNotifier(&notifier);
        ASSERT_TRUE(QSignalSpy(&locker, &DBusSessionLocker::sessionResolved).wait(5000));
        QSignalSpy finished(&locker, &DBusSessionLocker::requestFinished);
        locker.lockScreenImmediate();
        locker.startScreenSaver();
        ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 2; }, 5000));
        EXPECT_EQ(finished.at(0).at(1).toBool(), confirms);
        EXPECT_EQ(finished.at(1).at(1).toBool(), confirms);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }, 5000));
    const QStringList calls = notifyCalls(); // in either order: both requests ran at once
    ASSERT_EQ(calls.size(), 2);
    const QString lock =
        calls.filter(QStringLiteral("|Wardlatch could not lock your session|")).value(0);
    const QString line = logs.lines().filter(QStringLiteral("Could not lock the session")).value(0);
    for (const char* way : {"logind Session.Lock", "org.freedesktop.ScreenSaver.Lock",
                            "org.gnome.ScreenSaver.Lock"}) {
        EXPECT_TRUE(lock.contains(QLatin1String(way))) << way;
        EXPECT_TRUE(line.contains(QLatin1String(way))) << way;
    }
    EXPECT_TRUE(lock.contains(QStringLiteral("screen locker must be running")));
    const QString saver =
        calls.filter(QStringLiteral("|Wardlatch could not start the screen saver|")).value(0);
    for (const char* text : {"org.freedesktop.ScreenSaver.SetActive",
                             "org.gnome.ScreenSaver.SetActive", "must be running"})
        EXPECT_TRUE(saver.contains(QLatin1String(text))) << text;
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not start the screen saver")), 1);
}

} // namespace
