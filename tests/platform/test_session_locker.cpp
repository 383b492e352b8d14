// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LockAction.h"
#include "app/SettingsKeys.h"
#include "platform/session/DBusSessionLocker.h"
#include "platform/settings/Settings.h"
#include "support/DBusMocks.h"
#include "support/LogCapture.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;

namespace {

const QString kSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kSessions = QStringLiteral("/org/freedesktop/login1/session/");

class SessionLockerTest : public PrivateBusTest
{
protected:
    void SetUp() override
    {
        PrivateBusTest::SetUp();
        registerDefaultSettings(settings);
    }

    // A session whose desktop confirms Session.Lock through LockedHint, as a desktop does.
    static void confirmLocksOn(DBusMock& logind, const QString& sessionId)
    {
        logind.mockCall(
            kSessions + sessionId, QStringLiteral("AddMethod"),
            {QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"),
             QStringLiteral(""), QStringLiteral(""),
             QStringLiteral("self.UpdateProperties('', {'LockedHint': dbus.Boolean(True)})")});
    }

    std::unique_ptr<DBusSessionLocker> makeLocker(int callTimeoutMs = 2000)
    {
        auto locker = std::make_unique<DBusSessionLocker>(
            DBusSessionLocker::Options{/*confirmDelayMs=*/150, callTimeoutMs});
        QSignalSpy resolved(locker.get(), &DBusSessionLocker::sessionResolved);
        EXPECT_TRUE(!locker->sessionPath().isEmpty() || resolved.wait(5000));
        return locker;
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    LogCapture logs;
};

TEST_F(SessionLockerTest, FreshStoreLocksTheCallersOwnSessionNotTheScreenSaver)
{
    auto logind = DBusMock::logind(QStringLiteral("c1"));
    ASSERT_TRUE(logind);
    // A second session: the one XDG_SESSION_ID names when it is set.
    logind->mockCall(QStringLiteral("/org/freedesktop/login1"), QStringLiteral("AddSession"),
                     {QStringLiteral("c7"), QStringLiteral("seat0"), quint32(1000),
                      QStringLiteral("alice"), true});
    confirmLocksOn(*logind, QStringLiteral("c1"));
    confirmLocksOn(*logind, QStringLiteral("c7"));
    auto saver = DBusMock::screenSaver(kSaver, kSaverPath, true);
    ASSERT_TRUE(saver);

    {
        auto locker = makeLocker();
        EXPECT_EQ(locker->sessionPath(), kSessions + QStringLiteral("c1"));
        LockAction controller(settings, *locker);
        QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
        controller.lockIt();
        ASSERT_TRUE(finished.wait(5000));
        EXPECT_TRUE(finished.at(0).at(1).toBool());
        EXPECT_EQ(finished.at(0).at(2).toString(), QStringLiteral("logind Session.Lock"));
    }
    qputenv("XDG_SESSION_ID", "c7");
    {
        auto locker = makeLocker();
        EXPECT_EQ(locker->sessionPath(), kSessions + QStringLiteral("c7"));
        LockAction controller(settings, *locker);
        QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
        controller.lockIt();
        ASSERT_TRUE(finished.wait(5000));
    }
    EXPECT_EQ(logind->calledMethods(kSessions + QStringLiteral("c1")),
              QStringList{QStringLiteral("Lock")});
    EXPECT_EQ(logind->calledMethods(kSessions + QStringLiteral("c7")),
              QStringList{QStringLiteral("Lock")});
    // Its state may be read, but nothing is asked of it.
    const QStringList saverCalls = saver->calledMethods(kSaverPath);
    EXPECT_FALSE(saverCalls.contains(QStringLiteral("Lock")));
    EXPECT_FALSE(saverCalls.contains(QStringLiteral("SetActive")));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not")), 0);
}

TEST_F(SessionLockerTest, ScreenSaverTypeIsReadAtEachTriggerAndTwoTriggersSendTwoRequests)
{
    auto logind = DBusMock::logind();
    ASSERT_TRUE(logind);
    confirmLocksOn(*logind, QStringLiteral("c1"));
    auto saver = DBusMock::screenSaver(kSaver, kSaverPath, true);
    ASSERT_TRUE(saver);
    auto locker = makeLocker();
    LockAction controller(settings, *locker);
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);

    settings.setBool(keys::UseScreenSaver, true);
    controller.lockIt();
    settings.setBool(keys::UseScreenSaver, false);
    controller.lockIt();
    controller.lockIt();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 3; }, 5000));
    EXPECT_EQ(saver->calledMethods(kSaverPath).count(QStringLiteral("SetActive")), 1);
    EXPECT_EQ(logind->calledMethods(kSessions + QStringLiteral("c1")).count(QStringLiteral("Lock")),
              2);
    for (const auto& outcome : finished)
        EXPECT_TRUE(outcome.at(1).toBool());
}

TEST_F(SessionLockerTest, WithoutLogindTheScreenSaverLockIsUsed)
{
    auto saver = DBusMock::screenSaver(kSaver, kSaverPath, true);
    ASSERT_TRUE(saver);
    auto locker = makeLocker();
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
    locker->lockScreenImmediate();
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_TRUE(finished.at(0).at(1).toBool());
    EXPECT_EQ(finished.at(0).at(2).toString(), QStringLiteral("org.freedesktop.ScreenSaver.Lock"));
    EXPECT_TRUE(saver->calledMethods(kSaverPath).contains(QStringLiteral("Lock")));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not lock")), 0);
}

TEST_F(SessionLockerTest, UnconfirmedLockFallsBackAndLogsOnceWhenNothingConfirms)
{
    auto logind = DBusMock::logind(); // records Lock, but no desktop sets LockedHint
    ASSERT_TRUE(logind);
    auto saver = DBusMock::screenSaver(kSaver, kSaverPath, false);
    ASSERT_TRUE(saver);
    auto locker = makeLocker();
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
    locker->lockScreenImmediate();
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_FALSE(finished.at(0).at(1).toBool());
    EXPECT_TRUE(saver->calledMethods(kSaverPath).contains(QStringLiteral("Lock")));
    ASSERT_EQ(logs.countContaining(QStringLiteral("Could not lock the session")), 1);
    const QString line = logs.lines().filter(QStringLiteral("Could not lock")).constFirst();
    EXPECT_TRUE(line.contains(QStringLiteral("logind Session.Lock")));
    EXPECT_TRUE(line.contains(QStringLiteral("org.freedesktop.ScreenSaver.Lock")));
    EXPECT_TRUE(line.contains(QStringLiteral("org.gnome.ScreenSaver.Lock")));
}

// Only what the desktop does after the request counts: a hint or screen saver that was already
// on (a locker that died while locked leaves LockedHint true) confirms nothing.
TEST_F(SessionLockerTest, OnlyAChangeAfterTheRequestConfirms)
{
    const QString setHint =
        QStringLiteral("self.UpdateProperties('', {'LockedHint': dbus.Boolean(True)})");
    const QString setHintSilently = QStringLiteral(
        "self.props['org.freedesktop.login1.Session']['LockedHint'] = dbus.Boolean(True)");
    struct Case
    {
        const char* name;
        bool screenSaverType;
        bool onBefore;     // LockedHint, or the screen saver's GetActive
        QString onRequest; // what the session's Lock does
        bool confirmed;
    };
    const Case cases[] = {
        {"hint set on Lock, announced", false, false, setHint, true},
        {"hint set on Lock, not announced", false, false, setHintSilently, true},
        {"hint already true, announced again on Lock", false, true, setHint, true},
        {"hint left true, nobody answers Lock", false, true, QString(), false},
        {"screen saver already active, SetActive does nothing", true, true, QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        auto logind = DBusMock::logind();
        ASSERT_TRUE(logind);
        const QString session = kSessions + QStringLiteral("c1");
        if (c.onBefore)
            logind->mockCall(session, QStringLiteral("UpdateProperties"),
                             {QStringLiteral("org.freedesktop.login1.Session"),
                              QVariantMap{{QStringLiteral("LockedHint"), true}}});
        logind->mockCall(session, QStringLiteral("AddMethod"),
                         {QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"),
                          QStringLiteral(""), QStringLiteral(""), c.onRequest});
        auto saver = DBusMock::screenSaver(kSaver, kSaverPath, false);
        ASSERT_TRUE(saver);
        if (c.onBefore)
            saver->mockCall(kSaverPath, QStringLiteral("AddMethod"),
                            {kSaver, QStringLiteral("GetActive"), QStringLiteral(""),
                             QStringLiteral("b"), QStringLiteral("ret = True")});
        auto locker = makeLocker();
        QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
        if (c.screenSaverType)
            locker->startScreenSaver();
        else
            locker->lockScreenImmediate();
        ASSERT_TRUE(finished.wait(5000));
        EXPECT_EQ(finished.at(0).at(1).toBool(), c.confirmed);
        const QString failure = c.screenSaverType
                                    ? QStringLiteral("Could not start the screen saver")
                                    : QStringLiteral("Could not lock the session");
        EXPECT_EQ(logs.countContaining(failure), c.confirmed ? 0 : 1);
        if (!c.screenSaverType) {
            EXPECT_EQ(saver->calledMethods(kSaverPath).contains(QStringLiteral("Lock")),
                      !c.confirmed);
        }
    }
}

TEST_F(SessionLockerTest, NothingAnsweringLogsBothFailureLines)
{
    auto locker = makeLocker();
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
    locker->lockScreenImmediate();
    locker->startScreenSaver();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 2; }, 5000));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not lock the session")), 1);
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not start the screen saver")), 1);
}

TEST_F(SessionLockerTest, ALockMethodThatNeverAnswersBlocksNobody)
{
    auto logind = DBusMock::logind();
    ASSERT_TRUE(logind);
    auto locker = makeLocker(/*callTimeoutMs=*/300);
    logind->mockCall(kSessions + QStringLiteral("c1"), QStringLiteral("AddMethod"),
                     {QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"),
                      QStringLiteral(""), QStringLiteral(""),
                      QStringLiteral("import time\ntime.sleep(3)")});
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
    QElapsedTimer clock;
    clock.start();
    locker->lockScreenImmediate();
    // The request is on its way and the call has returned: it does not wait for the answer.
    EXPECT_LT(clock.elapsed(), 250);
    // The event loop keeps answering while the lock hangs and the fallbacks run: a click on the
    // panel is handled within 100 ms throughout.
    QPushButton panelButton;
    int clicks = 0;
    QObject::connect(&panelButton, &QPushButton::clicked, [&] { ++clicks; });
    qint64 slowest = 0;
    QTimer clicker;
    clicker.setInterval(20);
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        QElapsedTimer handled;
        handled.start();
        QMetaObject::invokeMethod(
            &panelButton,
            [&, handled] {
                panelButton.click();
                slowest = std::max(slowest, handled.elapsed());
            },
            Qt::QueuedConnection);
    });
    clicker.start();
    ASSERT_TRUE(finished.wait(5000));
    clicker.stop();
    EXPECT_GT(clicks, 5);
    EXPECT_LT(slowest, 100);
    EXPECT_FALSE(finished.at(0).at(1).toBool());
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not lock the session")), 1);
}

} // namespace
