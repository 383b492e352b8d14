// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"
#include "app/GuardState.h"
#include "app/SettingsKeys.h"
#include "app/Translations.h"
#include "devices/WLDeviceListUSB.h"
#include "fakes/FakeAudioHardware.h"
#include "fakes/FakeKeyGrabber.h"
#include "fakes/FakeUsbRegistry.h"
#include "fakes/RecordingSessionLocker.h"
#include "menubar/Alerts.h"
#include "menubar/ShortcutRecorder.h"
#include "menubar/TrayMenu.h"
#include "menubar/WLStatusItemView.h"
#include "platform/events/NotificationCenter.h"
#include "platform/notify/DesktopNotifier.h"
#include "platform/session/LoginItems.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "support/LogCapture.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QInputMethodEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <functional>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;
using Request = RecordingSessionLocker::Request;

namespace {

constexpr AudioObjectID kOutput = 7;
const Shortcut kDefaultChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);

UsbDevice usb(const QString& name, qint32 vendor, qint32 product)
{
    return UsbDevice{0, name, vendor, product, QStringLiteral("/sys/bus/usb/") + name};
}

class AppDelegateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
        audio.setDefaultOutputDevice(kOutput);
    }
    void store(const QString& name, qint64 vendor, qint64 product)
    {
        settings.setObject(keys::kDeviceName, name);
        settings.setObject(keys::idVendor, vendor);
        settings.setObject(keys::idProduct, product);
    }
    void awake()
    {
        const auto note = [this](const char* what) {
            return [this, what] { journal << QString::fromLatin1(what); };
        };
        controller = makeController({
            .settings = settings,
            .center = center,
            .locker = locker,
            .usbRegistry = registry,
            .audioHardware = audio,
            .shortcutBinder = binder,
            .executablePath = QStringLiteral("/opt/Ward latch/wardlatch"),
            .sendTrackingReport = note("tracking report"),
            .setupIssuesController =
                [this](bool on) { journal << QStringLiteral("issues controller %1").arg(on); },
            .createSessionLoginItems =
                [this] {
                    journal << QStringLiteral("login items");
                    return LoginItems::createSessionLoginItems();
                },
            .showAboutPanel = note("about"),
            .showFeedbackDialog = note("feedback"),
            .runQuitAlert =
                [this](const QString& message, const QString& informative) {
                    alerts << message << informative;
                    return alertAnswer;
                },
            .terminate = [this] { ++terminations; },
            .notifier = &notifier,
        });
    }
    void launch()
    {
        awake();
        controller->applicationDidFinishLaunching();
    }
    void openPanel() { center.postNotificationName(events::setHighlight, nullptr); }
    QWidget& panel() { return *controller->window(); }
    QComboBox& popUp() { return *named<QComboBox>("devicePopUpButton"); }
    QRadioButton& radio(const char* name) { return *named<QRadioButton>(name); }
    template <class W = QWidget> W* named(const char* name)
    {
        return panel().findChild<W*>(QString::fromLatin1(name));
    }
    QStringList titles()
    {
        QStringList list;
        for (int i = 0; i < popUp().count(); ++i)
            list << popUp().itemText(i);
        return list;
    }
    // What the user does: click the closed pop-up, then the title in the opened list. The list
    // ignores releases for a double-click interval after opening; a person's second click comes
    // later, QTest's at once, so the interval is made 0.
    void choose(const QString& title)
    {
        ASSERT_GE(popUp().findText(title), 0);
        QStyleHints& hints = *QGuiApplication::styleHints();
        const int interval = hints.mouseDoubleClickInterval();
        hints.setMouseDoubleClickInterval(0);
        const auto restore = qScopeGuard([&] { hints.setMouseDoubleClickInterval(interval); });
        QTest::mouseClick(&popUp(), Qt::LeftButton);
        QAbstractItemView& list = *popUp().view();
        ASSERT_TRUE(list.isVisible());
        QCoreApplication::processEvents();
        const QModelIndex item = list.model()->index(popUp().findText(title), 0);
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(item).center());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !list.isVisible(); }, 3000));
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    NotificationCenter center;
    RecordingSessionLocker locker;
    FakeUsbRegistry registry;
    FakeAudioHardware audio;
    FakeKeyGrabber grabber;
    ShortcutBinder binder{settings, grabber};
    struct RecordingNotifier : DesktopNotifier
    {
        QStringList titles;
        void notify(const QString& title, const QString&) override { titles << title; }
    } notifier;
    QStringList journal;
    QStringList alerts;
    int alertAnswer = 1001;
    int terminations = 0;
    QStringList announced; // the devices chosen, as the watchers hear of them
    ObserverRegistration announcements{
        center, events::kSetNewDeviceEvent, [this](const Notification& n) {
            announced << n.userInfo.value(QString::fromLatin1(events::kNewDeviceName)).toString();
        }};
    std::shared_ptr<AppDelegate> controller;
};

TEST_F(AppDelegateTest, FirstLaunchRunsInOrderAndEndsWithTheFilledPanelOpen)
{
    registry.attached = {usb(QStringLiteral("Key Stick"), 0x1234, 0xabcd)};
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    launch();
    EXPECT_EQ(journal,
              (QStringList{QStringLiteral("tracking report"), QStringLiteral("issues controller 1"),
                           QStringLiteral("login items")}));
    QFile entry(dir.filePath(QStringLiteral("autostart/wardlatch.desktop")));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("Exec=\"/opt/Ward latch/wardlatch\""));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral(""));
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kDefaultChord});
    EXPECT_EQ(panel().findChild<ShortcutRecorder*>()->shortcutValue(), kDefaultChord);

    EXPECT_FALSE(panel().isVisible()); // not at once: half a second after launch
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel().isVisible(); }, 3000));
    EXPECT_TRUE(controller->icon()->isSelected());
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("Key Stick"), QStringLiteral("Headphones")}));
    EXPECT_EQ(popUp().currentIndex(), -1); // nothing bears the stored empty name
    EXPECT_TRUE(radio("lockDisplayButton").isChecked());
    EXPECT_FALSE(radio("screensaverButton").isChecked());
    // No tray offscreen: the user is told once, beside the log line.
    EXPECT_EQ(notifier.titles, QStringList{QStringLiteral("Wardlatch has no tray icon")});

    controller->applicationWillResignActive();
    EXPECT_FALSE(panel().isVisible());
    EXPECT_FALSE(controller->icon()->isSelected());
}

TEST_F(AppDelegateTest, TheShortcutLocksByTheStoredTypeAndDoesNotKeepTheControllerAlive)
{
    launch();
    ASSERT_TRUE(grabber.press(kDefaultChord)); // no device chosen: it still locks
    radio("screensaverButton").click();
    ASSERT_TRUE(grabber.press(kDefaultChord));
    radio("lockDisplayButton").click();
    ASSERT_TRUE(grabber.press(kDefaultChord));
    EXPECT_EQ(locker.requests(),
              (std::vector<Request>{Request::Lock, Request::ScreenSaver, Request::Lock}));
    settings.setBool(keys::UseScreenSaver, true);
    controller->populateList();
    EXPECT_FALSE(radio("lockDisplayButton").isChecked());
    EXPECT_TRUE(radio("screensaverButton").isChecked());

    const std::weak_ptr<AppDelegate> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    grabber.press(kDefaultChord); // reaches nothing
    EXPECT_EQ(locker.count(), 3u);
}

TEST_F(AppDelegateTest, PopUpKeepsTitlesUniqueAndEveryChoiceIsAnnounced)
{
    registry.attached = {usb(QStringLiteral("Twin"), 1, 1), usb(QStringLiteral("Other"), 2, 2),
                         usb(QStringLiteral("Twin"), 3, 3),
                         usb(QStringLiteral("Headphones"), 4, 4)};
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    settings.setObject(keys::kDeviceName, QStringLiteral("Other"));
    awake();
    controller->populateList();
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("Other"), QStringLiteral("Twin"),
                                     QStringLiteral("Headphones")}));
    EXPECT_EQ(popUp().currentText(), QStringLiteral("Other"));

    choose(QStringLiteral("Twin"));
    choose(QStringLiteral("Twin")); // the current item again: announced again
    EXPECT_EQ(announced, (QStringList{QStringLiteral("Twin"), QStringLiteral("Twin")}));
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 3); // the last device of that name

    // By keyboard: open the list, move in it, choose; then the current item again.
    QAbstractItemView& list = *popUp().view();
    for (const auto& [open, modifiers, step] :
         {std::tuple{Qt::Key_Space, Qt::NoModifier, Qt::Key_Up},
          std::tuple{Qt::Key_Down, Qt::AltModifier, Qt::Key_unknown},
          std::tuple{Qt::Key_F4, Qt::NoModifier, Qt::Key_unknown}}) {
        QTest::keyClick(&popUp(), open, modifiers);
        ASSERT_TRUE(list.isVisible());
        if (step != Qt::Key_unknown)
            QTest::keyClick(&list, step);
        QTest::keyClick(&list, Qt::Key_Return);
        EXPECT_FALSE(list.isVisible());
    }
    EXPECT_EQ(announced.mid(2), QStringList(3, QStringLiteral("Other")));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral("Other"));
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 2);
}

// Neither stray input on the closed pop-up nor a click on an unwatchable device moves the guard.
TEST_F(AppDelegateTest, TheChoiceMovesOnlyByAChoiceOfAWatchableDevice)
{
    registry.attached = {usb(QStringLiteral("Alpha"), 1, 1), usb(QStringLiteral("Bravo"), 2, 2),
                         usb(QStringLiteral("Blank"), 0, 0), usb(QStringLiteral("Charlie"), 3, 3)};
    store(QStringLiteral("Bravo"), 2, 2);
    awake();
    openPanel();
    const auto armed = controller->deviceListUSB()->lostDeviceIterator();
    ASSERT_NE(armed, 0u);
    const auto unchanged = [&] {
        EXPECT_EQ(popUp().currentText(), QStringLiteral("Bravo"));
        EXPECT_TRUE(announced.isEmpty());
        EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral("Bravo"));
        EXPECT_EQ(settings.integerForKey(keys::idVendor), 2);
        EXPECT_EQ(controller->deviceListUSB()->lostDeviceIterator(), armed);
    };
    const auto stray = [&](const char* what, const std::function<void(QComboBox&)>& send) {
        SCOPED_TRACE(what);
        popUp().view()->keyboardSearch({}); // a fresh type-ahead each time
        send(popUp());
        EXPECT_FALSE(popUp().view()->isVisible());
        unchanged();
    };
    for (const int delta : {120, -120})
        stray("wheel", [delta](QComboBox& c) {
            const QPointF at = QRectF(c.rect()).center();
            QWheelEvent event(at, c.mapToGlobal(at), {}, {0, delta}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(&c, &event);
        });
    for (const auto& [key, modifiers] : {std::pair{Qt::Key_Up, Qt::NoModifier},
                                         {Qt::Key_Up, Qt::AltModifier},
                                         {Qt::Key_Down, Qt::NoModifier},
                                         {Qt::Key_PageUp, Qt::NoModifier},
                                         {Qt::Key_PageDown, Qt::NoModifier},
                                         {Qt::Key_Home, Qt::NoModifier},
                                         {Qt::Key_End, Qt::NoModifier}})
        stray("key", [k = key, m = modifiers](QComboBox& c) { QTest::keyClick(&c, k, m); });
    stray("typed letter", [](QComboBox& c) { QTest::keyClicks(&c, QStringLiteral("c")); });
    stray("input method", [](QComboBox& c) {
        QInputMethodEvent event;
        event.setCommitString(QStringLiteral("a"));
        QCoreApplication::sendEvent(&c, &event);
    });

    // The device without numbers is listed, but a click on it chooses nothing, not even the item
    // stepped to before.
    const QModelIndex blank = popUp().model()->index(popUp().findText(QStringLiteral("Blank")), 0);
    EXPECT_FALSE(blank.flags() & Qt::ItemIsEnabled);
    EXPECT_EQ(blank.data(Qt::ToolTipRole).toString(),
              QStringLiteral("This device reports no vendor and product numbers, so its removal "
                             "cannot be recognised"));
    QTest::keyClick(&popUp(), Qt::Key_Space);
    QAbstractItemView& list = *popUp().view();
    QTest::keyClick(&list, Qt::Key_Down);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(blank).center());
    EXPECT_TRUE(list.isVisible());
    popUp().hidePopup();
    unchanged();
    // A name stored for such a device earlier is not shown as the guarded choice.
    settings.setObject(keys::kDeviceName, QStringLiteral("Blank"));
    controller->populateList();
    EXPECT_EQ(popUp().currentIndex(), -1);
}

TEST_F(AppDelegateTest, QuitAsksFirstUnlessRelaunchingAndCancelLeavesEverythingArmed)
{
    store(QStringLiteral("Key Stick"), 0x1234, 0xabcd);
    launch();
    const auto armed = controller->deviceListUSB()->lostDeviceIterator();
    ASSERT_NE(armed, 0u);
    controller->askToQuit();
    EXPECT_EQ(alerts, (QStringList{QStringLiteral("Quit wardlatch?"),
                                   QStringLiteral("If you quit, removing Key Stick will no longer "
                                                  "lock your computer.")}));
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(controller->deviceListUSB()->lostDeviceIterator(), armed);
    ASSERT_TRUE(grabber.press(kDefaultChord));
    EXPECT_EQ(locker.count(), 1u);
    alertAnswer = 1000;
    controller->askToQuit();
    EXPECT_EQ(terminations, 1);

    LogCapture logs;
    alerts.clear();
    controller->updaterWillRelaunchApplication(*std::make_unique<UpdateChecker>(settings));
    controller->askToQuit();
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(terminations, 2);
    EXPECT_EQ(logs.count(QStringLiteral("isUpdating")), 1);
}

// Keyboard users reach every control, in order; screen readers hear them named; Escape closes the
// panel the way a click outside does, as About and Feedback do.
TEST_F(AppDelegateTest, ThePanelWorksByKeyboardAndIsNamedForScreenReaders)
{
    registry.attached = {usb(QStringLiteral("Key Stick"), 0x1234, 0xabcd)};
    launch();
    openPanel();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel()));
    QList<QWidget*> order;
    for (const char* name : {"devicePopUpButton", "lockDisplayButton", "recordButton",
                             "clearButton", "showContextMenuButton", "devicePopUpButton"})
        order << named(name);
    popUp().setFocus(Qt::TabFocusReason);
    QList<QWidget*> visited{QApplication::focusWidget()};
    while (visited.size() < order.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget();
    }
    EXPECT_EQ(visited, order);

    const std::tuple<const char*, const char*, const char*> controls[] = {
        {"devicePopUpButton", "Key device", "deviceLabel"},
        {"lockTypeGroup", "When it goes away", "lockTypeLabel"},
        {"shortcutView", "Lock shortcut", "shortcutLabel"},
        {"recordButton", "Lock shortcut", nullptr},
        {"clearButton", "Clear shortcut", nullptr},
        {"guardStatusLabel", "Guard status", nullptr},
    };
    for (const auto& [control, name, label] : controls) {
        SCOPED_TRACE(control);
        ASSERT_NE(named(control), nullptr);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(named(control));
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(name));
        if (label)
            EXPECT_EQ(named<QLabel>(label)->buddy(), named(control));
    }
    // A button announced by its purpose, the chord beside it; not a check box named after it.
    QAccessibleInterface* recorder = QAccessible::queryAccessibleInterface(named("recordButton"));
    EXPECT_EQ(recorder->role(), QAccessible::Button);
    EXPECT_EQ(recorder->text(QAccessible::Description), QStringLiteral("Ctrl+Alt+Super+L"));

    int closings = 0;
    ObserverRegistration observer(center, events::unsetHighlight, [&](const Notification& n) {
        EXPECT_EQ(n.object, controller.get());
        ++closings;
    });
    const auto closes = [&](const char* what, const std::function<void()>& close) {
        SCOPED_TRACE(what);
        openPanel();
        closings = 0;
        close();
        EXPECT_FALSE(panel().isVisible());
        EXPECT_FALSE(controller->icon()->isSelected());
        EXPECT_GE(closings, 1);
    };
    for (const char* name : {"devicePopUpButton", "lockDisplayButton", "recordButton",
                             "clearButton", "showContextMenuButton"})
        closes(name, [&] { QTest::keyClick(named(name), Qt::Key_Escape); });
    closes("About", [&] { controller->aboutButtonClicked(); });
    closes("Feedback", [&] { controller->showFeedbackModal(); });
    EXPECT_EQ(journal.mid(3), (QStringList{QStringLiteral("about"), QStringLiteral("feedback")}));

    // An open list and a recording take Escape for themselves.
    openPanel();
    QTest::keyClick(&popUp(), Qt::Key_Space);
    ASSERT_TRUE(popUp().view()->isVisible());
    QTest::keyClick(popUp().view(), Qt::Key_Escape);
    EXPECT_FALSE(popUp().view()->isVisible());
    auto& shortcut = *panel().findChild<ShortcutRecorder*>();
    shortcut.startRecording();
    QTest::keyClick(&shortcut, Qt::Key_Escape);
    EXPECT_FALSE(shortcut.isRecording());
    EXPECT_TRUE(panel().isVisible());
    EXPECT_TRUE(controller->icon()->isSelected());
}

// The guard state follows every event that changes what guards the session, one step at a time.
TEST_F(AppDelegateTest, GuardStateFollowsChoicesDevicesPausesAndLockOutcomes)
{
    const UsbDevice stick = usb(QStringLiteral("Cruzer Blade"), 0x0781, 0x5567);
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    launch();
    GuardState& guard = controller->guardState();
    LogCapture logs;
    using K = GuardState::Kind;
    const char* const guarding = "Wardlatch: locks when “Cruzer Blade” is removed";
    const char* const paused = "Wardlatch is paused until you resume it";
    const struct
    {
        const char* what;
        std::function<void()> act;
        K kind;
        const char* text; // the description's first line
        size_t locks;     // lock requests so far
    } steps[] = {
        {"nothing chosen", [] {}, K::NothingChosen,
         "Wardlatch is not guarding: choose a key device", 0},
        {"a plugged-in device chosen",
         [&] {
             registry.plug(stick);
             controller->populateList();
             choose(QStringLiteral("Cruzer Blade"));
         },
         K::Guarding, guarding, 0},
        {"it is unplugged", [&] { registry.unplug(stick.path); }, K::NotConnected,
         "Wardlatch: “Cruzer Blade” is not connected", 1},
        {"it is plugged back", [&] { registry.plug(stick); }, K::Guarding, guarding, 1},
        {"paused until resumed", [&] { controller->pauseGuarding(std::nullopt); }, K::Paused,
         paused, 1},
        {"unplugged while paused: no lock",
         [&] {
             registry.unplug(stick.path);
             ASSERT_TRUE(logs.waitForContaining(QStringLiteral("while guarding is paused")));
         },
         K::Paused, paused, 1},
        {"the shortcut still locks", [&] { grabber.press(kDefaultChord); }, K::Paused, paused, 2},
        {"resumed, plugged back",
         [&] {
             controller->resumeGuarding();
             registry.plug(stick);
         },
         K::Guarding, guarding, 2},
        {"a lock nothing confirmed",
         [&] {
             locker.finish(true, false);
             EXPECT_TRUE(guard.snapshot().needsAttention());
             locker.finish(true, true);
             EXPECT_FALSE(guard.snapshot().lastLockUnconfirmed);
         },
         K::Guarding, guarding, 2},
        {"a timed pause ends by itself",
         [&] {
             controller->pauseGuarding(std::chrono::milliseconds(50));
             EXPECT_TRUE(guard.snapshot().pausedUntil.has_value());
             EXPECT_EQ(guard.snapshot().kind, K::Paused);
         },
         K::Guarding, guarding, 2},
        {"headphones chosen", [&] { choose(QStringLiteral("Headphones")); }, K::Guarding,
         "Wardlatch: locks when the headphones are unplugged", 2},
        {"headphones unplugged",
         [&] { audio.changeDataSource(kOutput, audio::kSourceInternalSpeaker); }, K::NotConnected,
         "Wardlatch: the headphones are not connected", 3},
        {"the audio server gone", [&] { audio.changeDefaultOutputDevice(0); }, K::CannotWatch,
         "Wardlatch is not guarding: no audio output can be watched", 4},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        // Some steps arrive through the event loop: the audio thread, the registry, the timer.
        EXPECT_TRUE(QTest::qWaitFor([&] { return guard.snapshot().kind == step.kind; }, 3000));
        EXPECT_EQ(guard.description().section(QLatin1Char('\n'), 0, 0),
                  QString::fromUtf8(step.text));
        EXPECT_TRUE(QTest::qWaitFor([&] { return locker.count() >= step.locks; }, 3000));
        EXPECT_EQ(locker.count(), step.locks);
        EXPECT_EQ(named<QLabel>("guardStatusLabel")->text(), guard.description());
    }
    EXPECT_EQ(notifier.titles.count(QStringLiteral("Wardlatch is guarding again")), 1);
}

// A German user gets the panel, the tray, the alerts and Qt's own buttons in German, from the
// translations the program installs for the user's language.
TEST_F(AppDelegateTest, SpeaksTheUsersLanguage)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
    const Translations translations;
    ASSERT_TRUE(translations.ownLoaded());
    store(QStringLiteral("Key Stick"), 0x1234, 0xabcd);
    launch();
    EXPECT_EQ(radio("lockDisplayButton").text(), QStringLiteral("Bildschirm sperren"));
    EXPECT_EQ(radio("screensaverButton").text(), QStringLiteral("Bildschirmschoner starten"));
    EXPECT_EQ(controller->statusBarItem()->toolTip(),
              QString::fromUtf8("Wardlatch: “Key Stick” ist nicht angeschlossen"));
    EXPECT_EQ(controller->trayMenu()->menu()->actions().value(0)->text(),
              QStringLiteral("Jetzt sperren"));
    controller->askToQuit();
    EXPECT_EQ(alerts, (QStringList{QStringLiteral("Wardlatch beenden?"),
                                   QString::fromUtf8("Wenn Sie Wardlatch beenden, sperrt das "
                                                     "Entfernen von Key Stick Ihren Computer "
                                                     "nicht mehr.")}));
    // Qt's own texts, as the command line's help shows them.
    EXPECT_EQ(QCoreApplication::translate("QCommandLineParser", "Displays version information."),
              QStringLiteral("Zeigt Versionsinformation an."));
}

TEST(QuitAlert, ShowsDeviceNamesAsPlainText)
{
    const QString informative = AppDelegate::quitInformativeText(QStringLiteral("<b>%1</b> & %@"));
    EXPECT_EQ(
        informative,
        QStringLiteral("If you quit, removing <b>%1</b> & %@ will no longer lock your computer."));
    QuitAlert alert = makeQuitAlert(QStringLiteral("Quit wardlatch?"), informative);
    EXPECT_EQ(alert.box->textFormat(), Qt::PlainText);
    auto* label = alert.box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->text(), informative);
    EXPECT_EQ(alert.okButton->text(), QStringLiteral("OK"));
}

} // namespace
