// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/session/DBusSessionLocker.h"
#include "support/LogCapture.h"
#include "support/Services.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;

namespace {

const QString kSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kSessions = QStringLiteral("/org/freedesktop/login1/session/");
const QString kSession = kSessions + QStringLiteral("c1");
const QString kConfirm =
    QStringLiteral("self.UpdateProperties('', {'LockedHint': dbus.Boolean(True)})");

class SessionLockerTest : public PrivateBusTest
{
protected:
    std::unique_ptr<DBusSessionLocker> makeLocker(int callTimeoutMs = 2000)
    {
        auto locker = std::make_unique<DBusSessionLocker>(
            DBusSessionLocker::Options{/*confirmDelayMs=*/150, callTimeoutMs});
        QSignalSpy resolved(locker.get(), &DBusSessionLocker::sessionResolved);
        EXPECT_TRUE(!locker->sessionPath().isEmpty() || resolved.wait(5000));
        return locker;
    }
    // What the session's Lock does in the logind stand-in.
    static void onLock(DBusMock& logind, const QString& session, const QString& code)
    {
        logind.mockCall(session, QStringLiteral("AddMethod"),
                        {QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"),
                         QString(), QString(), code});
    }

    LogCapture logs;
};

// Only what the desktop does after the request counts: a hint or screen saver that was already
// on (a locker that died while locked leaves LockedHint true) confirms nothing. Without an
// answer from logind the screen saver's Lock is tried; without either, the user hears of it.
// The session locked is the caller's own, or the one XDG_SESSION_ID names.
TEST_F(SessionLockerTest, OnlyAChangeAfterTheRequestConfirms)
{
    const QString setHintSilently = QStringLiteral(
        "self.props['org.freedesktop.login1.Session']['LockedHint'] = dbus.Boolean(True)");
    enum Saver
    {
        None,
        Ignores,
        Confirms,
        AlreadyActive
    };
    const char* byLogind = "logind Session.Lock";
    const char* bySaver = "org.freedesktop.ScreenSaver.Lock";
    const struct
    {
        const char* name;
        const char* session; // nullptr: no logind
        bool hintBefore;
        QString onLock;
        Saver saver;
        bool startSaver; // the screen saver request instead of the lock
        const char* confirmedBy;
    } cases[] = {
        {"XDG_SESSION_ID's session", "c7", false, kConfirm, Confirms, false, byLogind},
        {"hint set on Lock, not announced", "c1", false, setHintSilently, Ignores, false, byLogind},
        {"hint already true, announced on Lock", "c1", true, kConfirm, Ignores, false, byLogind},
        {"hint left true, nobody answers Lock", "c1", true, {}, Ignores, false, nullptr},
        {"no logind, the screen saver locks", nullptr, false, {}, Confirms, false, bySaver},
        {"screen saver already active", "c1", false, {}, AlreadyActive, true, nullptr},
        {"nothing answers the lock", nullptr, false, {}, None, false, nullptr},
        {"nothing answers the screen saver", nullptr, false, {}, None, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        std::unique_ptr<DBusMock> logind;
        const QString session = kSessions + QLatin1String(c.session);
        if (c.session) {
            logind = DBusMock::logind();
            ASSERT_TRUE(logind);
            if (session != kSession) {
                logind->mockCall(QStringLiteral("/org/freedesktop/login1"),
                                 QStringLiteral("AddSession"),
                                 {QLatin1String(c.session), QStringLiteral("seat0"), quint32(1000),
                                  QStringLiteral("alice"), true});
                qputenv("XDG_SESSION_ID", c.session);
            }
            if (c.hintBefore)
                logind->mockCall(session, QStringLiteral("UpdateProperties"),
                                 {QStringLiteral("org.freedesktop.login1.Session"),
                                  QVariantMap{{QStringLiteral("LockedHint"), true}}});
            onLock(*logind, session, c.onLock);
        }
        std::unique_ptr<DBusMock> saver;
        if (c.saver != None) {
            saver = DBusMock::screenSaver(c.saver == Confirms);
            ASSERT_TRUE(saver);
        }
        if (c.saver == AlreadyActive)
            saver->mockCall(kSaverPath, QStringLiteral("AddMethod"),
                            {QStringLiteral("org.freedesktop.ScreenSaver"),
                             QStringLiteral("GetActive"), QString(), QStringLiteral("b"),
                             QStringLiteral("ret = True")});
        auto locker = makeLocker();
        qunsetenv("XDG_SESSION_ID");
        EXPECT_TRUE(!c.session || locker->sessionPath() == session);
        QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
        if (c.startSaver)
            locker->startScreenSaver();
        else
            locker->lockScreenImmediate();
        ASSERT_TRUE(finished.wait(5000));
        EXPECT_EQ(finished.at(0).at(1).toBool(), c.confirmedBy != nullptr);
        EXPECT_EQ(c.confirmedBy ? finished.at(0).at(2).toString() : QString(),
                  QLatin1String(c.confirmedBy));
        const QString failure = c.startSaver ? QStringLiteral("Could not start the screen saver")
                                             : QStringLiteral("Could not lock the session");
        EXPECT_EQ(logs.countContaining(failure), c.confirmedBy ? 0 : 1);
        // A lock logind's side confirmed is not asked of the screen saver as well.
        EXPECT_TRUE(c.startSaver || !saver ||
                    saver->calledMethods(kSaverPath).contains(QStringLiteral("Lock")) ==
                        (c.confirmedBy != byLogind));
    }
}

TEST_F(SessionLockerTest, ALockMethodThatNeverAnswersBlocksNobody)
{
    auto logind = DBusMock::logind();
    ASSERT_TRUE(logind);
    auto locker = makeLocker(/*callTimeoutMs=*/300);
    onLock(*logind, kSession, QStringLiteral("import time\ntime.sleep(3)"));
    QSignalSpy finished(locker.get(), &DBusSessionLocker::requestFinished);
    QElapsedTimer clock;
    clock.start();
    locker->lockScreenImmediate();
    // The request is on its way and the call has returned: it does not wait for the answer.
    EXPECT_LT(clock.elapsed(), 250);
    // The event loop keeps answering while the lock hangs and the fallbacks run: a timer every
    // 20 ms is never held up by more than 100 ms.
    QElapsedTimer sinceTick;
    sinceTick.start();
    qint64 slowest = 0;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        slowest = std::max(slowest, sinceTick.restart());
        ++ticks;
    });
    ticker.start(20);
    ASSERT_TRUE(finished.wait(5000));
    ticker.stop();
    EXPECT_GT(ticks, 5);
    EXPECT_LT(slowest, 100);
    EXPECT_FALSE(finished.at(0).at(1).toBool());
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not lock the session")), 1);
}

} // namespace
