// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "menubar/ShortcutRecorder.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/PortalKeyGrabber.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "platform/shortcut/X11KeyGrabber.h"
#include "support/LogCapture.h"
#include "support/Services.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;
using GrabResult = KeyGrabber::GrabResult;

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kProbe = QStringLiteral("org.wardlatch.Probe");
const QString kHotKey = QString::fromLatin1(keys::HotKey);
const QString kUnavailableText = QStringLiteral("Shortcuts cannot be used in this session");
const Shortcut kLockChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
const Shortcut kOtherChord(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);

QVariant v(const QVariant& value)
{
    return QVariant::fromValue(QDBusVariant(value));
}

// bindResponse: what BindShortcuts answers (0 bound, 1 refused by the user).
std::unique_ptr<DBusMock> globalShortcutsPortal(uint bindResponse = 0)
{
    auto mock = std::make_unique<DBusMock>(
        false, kPortal,
        QStringList{QStringLiteral("--template"), QStringLiteral(WL_PORTAL_TEMPLATE),
                    QStringLiteral("--parameters"),
                    QStringLiteral("{\"bind_response\": %1}").arg(bindResponse)});
    return mock->start() ? std::move(mock) : nullptr;
}

std::string triggers(DBusMock& mock)
{
    const QDBusMessage reply = mock.connection().call(
        QDBusMessage::createMethodCall(kPortal, kPath, kProbe, QStringLiteral("Triggers")),
        QDBus::Block, 5000);
    return reply.arguments().value(0).toStringList().join(u',').toStdString();
}

void activate(DBusMock& mock, const QString& session, const QString& id)
{
    const QDBusMessage sent =
        mock.mockCall(kPath, QStringLiteral("EmitSignal"),
                      {kShortcuts, QStringLiteral("Activated"), QStringLiteral("osta{sv}"),
                       QVariantList{v(QVariant::fromValue(QDBusObjectPath(session))), v(id),
                                    v(qulonglong(7)), v(QVariantMap{})}});
    ASSERT_EQ(sent.type(), QDBusMessage::ReplyMessage) << sent.errorMessage().toStdString();
}

class PortalKeyGrabberTest : public PrivateBusTest
{
protected:
    // The lock shortcut bound as the program binds it, shown by a recorder.
    void bindLockShortcut()
    {
        portalGrabber = std::make_unique<PortalKeyGrabber>(QDBusConnection::sessionBus());
        binder = std::make_unique<ShortcutBinder>(settings, *portalGrabber);
        recorder.setBinder(*binder);
        recorder.setAssociatedUserDefaultsKey(kHotKey);
        binder->registerDefaultShortcuts({{kHotKey, kLockChord}});
        binder->bindShortcutWithDefaultsKey(kHotKey, [this] { ++locks; });
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    LogCapture logs;
    ShortcutRecorder recorder;
    std::unique_ptr<PortalKeyGrabber> portalGrabber; // made once the portal runs, or not
    std::unique_ptr<ShortcutBinder> binder;          // holds the grabber: goes first
    int locks = 0;
};

TEST_F(PortalKeyGrabberTest, BindsTheRecordedChordLocksOnItsActivationAndFollowsTheRecorder)
{
    auto portal = globalShortcutsPortal();
    ASSERT_TRUE(portal);
    bindLockShortcut();
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return portalGrabber->boundShortcuts() == QList{kLockChord};
    })) << logs.lines().join("\n").toStdString();
    EXPECT_EQ(triggers(*portal), "CTRL+ALT+LOGO+l");
    const QString first = portalGrabber->sessionHandle();
    const QString lockId = PortalKeyGrabber::shortcutId(kLockChord);

    // Another id, and our id in a session that is not ours, do nothing; signals keep their
    // order, so once ours has acted the others have been seen.
    activate(*portal, first, QStringLiteral("someone-else"));
    activate(*portal, kPath + QStringLiteral("/session/x/y"), lockId);
    activate(*portal, first, lockId);
    ASSERT_TRUE(QTest::qWaitFor([&] { return locks > 0; }, 5000));
    EXPECT_EQ(locks, 1);

    // A new chord from the recorder is bound in a new session; the old one no longer locks.
    binder->storeShortcut(kHotKey, kOtherChord);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return portalGrabber->boundShortcuts() == QList{kOtherChord}; }));
    EXPECT_EQ(triggers(*portal), "CTRL+ALT+k");
    EXPECT_NE(portalGrabber->sessionHandle(), first);
    activate(*portal, first, lockId);
    activate(*portal, portalGrabber->sessionHandle(), PortalKeyGrabber::shortcutId(kOtherChord));
    ASSERT_TRUE(QTest::qWaitFor([&] { return locks > 1; }, 5000));
    EXPECT_EQ(locks, 2);

    // Cleared: nothing is bound any more.
    binder->storeShortcut(kHotKey, std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return portalGrabber->sessionHandle().isEmpty(); }));
    EXPECT_EQ(portal->calledMethods(kPath).count(QStringLiteral("CreateSession")), 2);
}

TEST_F(PortalKeyGrabberTest, ALostSessionOrPortalIsShownAndARestartedPortalBindsAgain)
{
    // With a desktop entry named, each portal hears who asks before anything else.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.wardlatch.Test"));
    const auto unnamed = qScopeGuard([] { QGuiApplication::setDesktopFileName(QString()); });
    const auto registeredFirst = [](DBusMock& portal) {
        return portal.calledMethods(kPath).value(0) == QLatin1String("Register");
    };
    auto portal = globalShortcutsPortal();
    ASSERT_TRUE(portal);
    bindLockShortcut();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portalGrabber->boundShortcuts().isEmpty(); }));
    EXPECT_TRUE(registeredFirst(*portal));
    const auto unavailable = [&] {
        return binder->bindingStatus(kHotKey) == GrabResult::Unavailable;
    };

    // The desktop ends the session.
    const QDBusMessage closed = portal->mockCall(
        kPath, QStringLiteral("EmitSignalDetailed"),
        {QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Closed"),
         QStringLiteral("a{sv}"), QVariantList{v(QVariantMap{})},
         QVariantMap{{QStringLiteral("path"), portalGrabber->sessionHandle()}}});
    ASSERT_EQ(closed.type(), QDBusMessage::ReplyMessage) << closed.errorMessage().toStdString();
    ASSERT_TRUE(QTest::qWaitFor(unavailable, 5000));
    EXPECT_EQ(recorder.statusText(), kUnavailableText);
    EXPECT_TRUE(portalGrabber->boundShortcuts().isEmpty());

    // The portal goes away and comes back: the chord is bound again and locks.
    portal.reset();
    portal = globalShortcutsPortal();
    ASSERT_TRUE(portal);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !portalGrabber->boundShortcuts().isEmpty(); }));
    EXPECT_EQ(binder->bindingStatus(kHotKey), GrabResult::Ok);
    EXPECT_TRUE(recorder.statusText().isEmpty());
    EXPECT_TRUE(registeredFirst(*portal));
    activate(*portal, portalGrabber->sessionHandle(), PortalKeyGrabber::shortcutId(kLockChord));
    ASSERT_TRUE(QTest::qWaitFor([&] { return locks > 0; }, 5000));

    // Gone while bound: shown at once.
    portal.reset();
    ASSERT_TRUE(QTest::qWaitFor(unavailable, 5000));
    EXPECT_EQ(recorder.statusText(), kUnavailableText);
}

TEST_F(PortalKeyGrabberTest, ABindingTheDesktopRefusesIsShownNotPretended)
{
    auto portal = globalShortcutsPortal(/*bindResponse=*/1);
    ASSERT_TRUE(portal);
    bindLockShortcut();
    QSignalSpy status(binder.get(), &ShortcutBinder::bindingStatusChanged);
    ASSERT_TRUE(status.wait(5000));
    EXPECT_EQ(binder->bindingStatus(kHotKey), GrabResult::Unavailable);
    EXPECT_TRUE(portalGrabber->boundShortcuts().isEmpty());
    EXPECT_EQ(triggers(*portal), "CTRL+ALT+LOGO+l"); // turned down at binding, not before
    EXPECT_EQ(logs.countContaining(QStringLiteral("could not bind the lock shortcut")), 1);
    // Recording the same chord again neither hides the problem nor asks again.
    EXPECT_EQ(binder->storeShortcut(kHotKey, kLockChord), GrabResult::Unavailable);
    EXPECT_EQ(recorder.statusText(), kUnavailableText);
    QCoreApplication::processEvents(); // a queued rebind would start here
    EXPECT_EQ(portal->calledMethods(kPath).count(QStringLiteral("BindShortcuts")), 1);
}

// A portal that has other interfaces but not this one: said once, with where to bind a lock key
// instead; the chord is not shown as in force, and the stored value stays for a session where
// it works.
TEST_F(PortalKeyGrabberTest, WithoutGlobalShortcutsTheRecorderAndTheLogSaySoOnce)
{
    DBusMock portal(false, kPortal,
                    {kPortal, kPath, QStringLiteral("org.freedesktop.portal.Settings")});
    ASSERT_TRUE(portal.start());
    bindLockShortcut();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return binder->bindingStatus(kHotKey) == GrabResult::Unavailable; }, 5000));
    EXPECT_EQ(recorder.statusText().toStdString(),
              "Shortcuts cannot work in this session: bind \u201cwardlatch --lock\u201d in the "
              "desktop's keyboard settings");
    const auto* button = recorder.findChild<QPushButton*>(QStringLiteral("recordButton"));
    ASSERT_TRUE(button);
    EXPECT_TRUE(button->font().strikeOut());
    EXPECT_EQ(binder->storeShortcut(kHotKey, kOtherChord), GrabResult::Unavailable);
    EXPECT_EQ(settings.stringForKey(kHotKey), kOtherChord.toString());
    EXPECT_EQ(logs.countContaining(QStringLiteral("No global shortcut is available")), 1);
    EXPECT_EQ(portal.calledMethods(kPath).count(QStringLiteral("CreateSession")), 0);
    // Without X11 and outside a Wayland session the X11 grabber stays, and says it cannot grab.
    ASSERT_FALSE(X11KeyGrabber::applicationHasConnection());
    EXPECT_FALSE(dynamic_cast<PortalKeyGrabber*>(ShortcutBinder::sessionKeyGrabber().get()));
}

TEST(PortalTrigger, ChordsInThePortalsTriggerSyntax)
{
    const struct
    {
        Shortcut chord;
        const char* trigger;
    } cases[] = {
        {Shortcut(Qt::Key_F5, Qt::ShiftModifier | Qt::ControlModifier), "CTRL+SHIFT+F5"},
        {Shortcut(Qt::Key_PageUp, Qt::AltModifier), "ALT+Page_Up"},
        {Shortcut(Qt::Key_7, Qt::MetaModifier), "LOGO+7"},
        // No name the portal reads, or no chord at all: nothing to ask for.
        {Shortcut(Qt::Key_Odiaeresis, Qt::ControlModifier), ""},
        {Shortcut(Qt::Key_L, Qt::ShiftModifier), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortalKeyGrabber::triggerFor(c.chord), QString::fromLatin1(c.trigger))
            << c.chord.toString().toStdString();
    EXPECT_NE(PortalKeyGrabber::shortcutId(kLockChord), PortalKeyGrabber::shortcutId(kOtherChord));
}

} // namespace
