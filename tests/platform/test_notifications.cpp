// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/notify/DBusDesktopNotifier.h"
#include "platform/session/DBusSessionLocker.h"
#include "support/LogCapture.h"
#include "support/Services.h"

#include <QDBusArgument>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace wl;
using namespace wl::test;

namespace {

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

struct NotifyCall
{
    QString appName;
    uint replacesId = 0;
    QString icon;
    QString title;
    QString body;
    QVariantMap hints;
    int expireTimeout = -1;
};

class NotificationTest : public PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        daemon = std::make_unique<DBusMock>(
            false, kNotifications,
            QStringList{QStringLiteral("--template"), QStringLiteral("notification_daemon")});
        ASSERT_TRUE(daemon->start());
    }

    // The Notify calls the daemon received, oldest first.
    std::vector<NotifyCall> notifyCalls() const
    {
        const QDBusMessage reply = daemon->mockCall(
            kNotificationsPath, QStringLiteral("GetMethodCalls"), {QStringLiteral("Notify")});
        std::vector<NotifyCall> calls;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            quint64 stamp = 0;
            QVariantList a;
            list.beginStructure();
            list >> stamp >> a;
            list.endStructure();
            calls.push_back({a[0].toString(), a[1].toUInt(), a[2].toString(), a[3].toString(),
                             a[4].toString(), qdbus_cast<QVariantMap>(a[6].value<QDBusArgument>()),
                             a[7].toInt()});
        }
        list.endArray();
        return calls;
    }

    LogCapture logs;
    DBusDesktopNotifier notifier;
    std::unique_ptr<DBusMock> daemon;
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
    EXPECT_EQ(shown.at(1).at(0).toUInt(), shown.at(0).at(0).toUInt());

    const auto calls = notifyCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].appName, QStringLiteral("Wardlatch"));
    EXPECT_EQ(calls[0].icon, QStringLiteral("org.wardlatch.Wardlatch"));
    EXPECT_EQ(calls[0].title, QStringLiteral("First"));
    EXPECT_EQ(calls[0].body, QStringLiteral("one"));
    EXPECT_EQ(calls[0].replacesId, 0u);
    EXPECT_EQ(calls[0].expireTimeout, 0);
    EXPECT_EQ(calls[0].hints.value(QStringLiteral("urgency")).toInt(), 2);
    EXPECT_EQ(calls[0].hints.value(QStringLiteral("desktop-entry")).toString(),
              QStringLiteral("org.wardlatch.Wardlatch"));
    EXPECT_EQ(calls[1].title, QStringLiteral("Second"));
    EXPECT_EQ(calls[1].replacesId, shown.at(0).at(0).toUInt());
    EXPECT_EQ(logs.countContaining(QStringLiteral("notification")), 0);
}

TEST_F(NotificationTest, MissingOrHungDaemonCostsOneLogLineAndNoWait)
{
    daemon->stop();
    DBusDesktopNotifier quick(/*callTimeoutMs=*/300);
    QSignalSpy failed(&quick, &DBusDesktopNotifier::failed);
    quick.notify(QStringLiteral("Nobody"), QStringLiteral("listens"));
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not show a desktop notification")), 1);

    // A daemon that owns the name but never answers in time.
    DBusMock hung(false, kNotifications, {kNotifications, kNotificationsPath, kNotifications});
    ASSERT_TRUE(hung.start());
    ASSERT_EQ(
        hung.mockCall(kNotificationsPath, QStringLiteral("AddMethod"),
                      {kNotifications, QStringLiteral("Notify"), QStringLiteral("susssasa{sv}i"),
                       QStringLiteral("u"), QStringLiteral("import time\ntime.sleep(3)\nret = 1")})
            .type(),
        QDBusMessage::ReplyMessage);
    QElapsedTimer clock;
    clock.start();
    quick.notify(QStringLiteral("Slow"), QStringLiteral("daemon"));
    EXPECT_LT(clock.elapsed(), 250);
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed.size() == 2; }, 5000));
    EXPECT_TRUE(timerRan);
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not show a desktop notification")), 2);
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
    auto calls = notifyCalls(); // in either order: both requests ran at once
    std::sort(calls.begin(), calls.end(), [](auto& a, auto& b) { return a.title < b.title; });
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].title, QStringLiteral("Wardlatch could not lock your session"));
    const QString line = logs.lines().filter(QStringLiteral("Could not lock the session")).value(0);
    for (const char* way : {"logind Session.Lock", "org.freedesktop.ScreenSaver.Lock",
                            "org.gnome.ScreenSaver.Lock"}) {
        EXPECT_TRUE(calls[0].body.contains(QLatin1String(way))) << way;
        EXPECT_TRUE(line.contains(QLatin1String(way))) << way;
    }
    EXPECT_TRUE(calls[0].body.contains(QStringLiteral("screen locker must be running")));
    EXPECT_EQ(calls[1].title, QStringLiteral("Wardlatch could not start the screen saver"));
    EXPECT_TRUE(calls[1].body.contains(QStringLiteral("org.freedesktop.ScreenSaver.SetActive")));
    EXPECT_TRUE(calls[1].body.contains(QStringLiteral("org.gnome.ScreenSaver.SetActive")));
    EXPECT_TRUE(calls[1].body.contains(QStringLiteral("must be running")));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not lock the session")), 1);
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not start the screen saver")), 1);
}

} // namespace
