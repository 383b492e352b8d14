// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/notify/DBusDesktopNotifier.h"
#include "platform/session/DBusSessionLocker.h"
#include "support/DBusMocks.h"
#include "support/LogCapture.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

using namespace wl;
using namespace wl::test;

namespace {

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");

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

// The Notify calls the daemon mock received, oldest first.
std::vector<NotifyCall> notifyCalls(const DBusMock& daemon)
{
    const QDBusMessage reply = daemon.mockCall(kNotificationsPath, QStringLiteral("GetMethodCalls"),
                                               {QStringLiteral("Notify")});
    std::vector<NotifyCall> calls;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return calls;
    const QDBusArgument list = reply.arguments().constFirst().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        quint64 stamp = 0;
        QVariantList args;
        list.beginStructure();
        list >> stamp >> args;
        list.endStructure();
        if (args.size() != 8)
            continue;
        calls.push_back({args[0].toString(), args[1].toUInt(), args[2].toString(),
                         args[3].toString(), args[4].toString(),
                         qdbus_cast<QVariantMap>(args[6].value<QDBusArgument>()), args[7].toInt()});
    }
    list.endArray();
    return calls;
}

std::unique_ptr<DBusMock> notificationDaemon()
{
    auto daemon = std::make_unique<DBusMock>(
        DBusMock::Bus::Session, kNotifications,
        QStringList{QStringLiteral("--template"), QStringLiteral("notification_daemon")});
    return daemon->start() ? std::move(daemon) : nullptr;
}

class NotificationTest : public PrivateBusTest
{
protected:
    // Buses are per process: the locker tests share this fixture rather than starting their own.
    std::unique_ptr<DBusSessionLocker> makeLocker()
    {
        auto locker = std::make_unique<DBusSessionLocker>(
            DBusSessionLocker::Options{/*confirmDelayMs=*/100, /*callTimeoutMs=*/1000});
        QSignalSpy resolved(locker.get(), &DBusSessionLocker::sessionResolved);
        EXPECT_TRUE(!locker->sessionPath().isEmpty() || resolved.wait(5000));
        locker->setNotifier(&notifier);
        return locker;
    }

    LogCapture logs;
    DBusDesktopNotifier notifier;
};

TEST_F(NotificationTest, NotificationStaysUntilDismissedAndANewerOneReplacesIt)
{
    auto daemon = notificationDaemon();
    ASSERT_TRUE(daemon);
    QSignalSpy shown(&notifier, &DBusDesktopNotifier::shown);

    notifier.notify(QStringLiteral("First"), QStringLiteral("one"));
    ASSERT_TRUE(shown.wait(5000));
    // From another thread, as a lock that runs on the audio thread would.
    std::thread other([&] { notifier.notify(QStringLiteral("Second"), QStringLiteral("two")); });
    other.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }, 5000));
    EXPECT_EQ(shown.at(1).at(0).toUInt(), shown.at(0).at(0).toUInt());

    const auto calls = notifyCalls(*daemon);
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
    DBusDesktopNotifier quick(/*callTimeoutMs=*/300);
    QSignalSpy failed(&quick, &DBusDesktopNotifier::failed);
    quick.notify(QStringLiteral("Nobody"), QStringLiteral("listens"));
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not show a desktop notification")), 1);

    // A daemon that owns the name but never answers in time.
    DBusMock hung(DBusMock::Bus::Session, kNotifications,
                  {kNotifications, kNotificationsPath, kNotifications});
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

TEST_F(NotificationTest, UnconfirmedLockAndScreenSaverEachRaiseOneNotification)
{
    auto daemon = notificationDaemon();
    ASSERT_TRUE(daemon);
    auto saver = DBusMock::screenSaver(kSaver, kSaverPath, /*confirms=*/false);
    ASSERT_TRUE(saver);
    auto locker = makeLocker();
    QSignalSpy shown(&notifier, &DBusDesktopNotifier::shown);
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);

    locker->lockScreenImmediate();
    ASSERT_TRUE(finished.wait(5000));
    ASSERT_FALSE(finished.at(0).at(1).toBool());
    ASSERT_TRUE(shown.wait(5000));
    locker->startScreenSaver();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }, 5000));

    const auto calls = notifyCalls(*daemon);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].title, QStringLiteral("Wardlatch could not lock your session"));
    for (const char* way :
         {"logind Session.Lock", "org.freedesktop.ScreenSaver.Lock", "org.gnome.ScreenSaver.Lock"})
        EXPECT_TRUE(calls[0].body.contains(QLatin1String(way))) << way;
    EXPECT_TRUE(calls[0].body.contains(QStringLiteral("screen locker must be running")));
    EXPECT_EQ(calls[1].title, QStringLiteral("Wardlatch could not start the screen saver"));
    EXPECT_TRUE(calls[1].body.contains(QStringLiteral("org.freedesktop.ScreenSaver.SetActive")));
    EXPECT_TRUE(calls[1].body.contains(QStringLiteral("org.gnome.ScreenSaver.SetActive")));
    EXPECT_TRUE(calls[1].body.contains(QStringLiteral("must be running")));
    // The log line stays as it was: the notification comes in addition.
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not lock the session")), 1);
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not start the screen saver")), 1);
}

TEST_F(NotificationTest, ConfirmedLockRaisesNone)
{
    auto daemon = notificationDaemon();
    ASSERT_TRUE(daemon);
    auto saver = DBusMock::screenSaver(kSaver, kSaverPath, /*confirms=*/true);
    ASSERT_TRUE(saver);
    auto locker = makeLocker();
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
    locker->lockScreenImmediate();
    locker->startScreenSaver();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 2; }, 5000));
    EXPECT_TRUE(finished.at(0).at(1).toBool());
    EXPECT_TRUE(finished.at(1).at(1).toBool());
    // A notification would have been sent before requestFinished; the daemon has had it by the
    // time it answers this later call.
    EXPECT_TRUE(notifyCalls(*daemon).empty());
}

} // namespace
