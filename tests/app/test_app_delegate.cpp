// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"
#include "app/GuardState.h"
#include "app/MainMenuLoader.h"
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
#include <QGuiApplication>
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
#include <QToolButton>
#include <QWheelEvent>

#include <functional>

#include <gtest/gtest.h>

using namespace wl;
using namespace wl::test;

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
    void TearDown() override
    {
        if (controller)
            binder.unbindShortcutWithDefaultsKey(QString::fromLatin1(keys::HotKey));
        controller.reset();
    }

    void awake()
    {
        controller = std::make_shared<AppDelegate>(AppServices{
            settings,
            center,
            locker,
            registry,
            audio,
            binder,
            QStringLiteral("/opt/Ward latch/wardlatch"),
            [this] { journal << QStringLiteral("tracking report"); },
            [this](bool reporting) {
                journal << QStringLiteral("issues controller %1").arg(reporting);
            },
            [this] {
                journal << QStringLiteral("login items");
                return LoginItems::createSessionLoginItems();
            },
            [this] { journal << QStringLiteral("about"); },
            [this] { journal << QStringLiteral("feedback"); },
            [this](const QString& message, const QString& informative) {
                alerts << message << informative;
                return alertAnswer;
            },
            [this] { ++terminations; },
            &notifier,
        });
        controller->setOutlets(loadMainMenu(controller, settings));
        controller->awakeFromNib();
    }

    void launch()
    {
        awake();
        controller->applicationDidFinishLaunching();
    }

    QComboBox& popUp()
    {
        return *controller->window()->findChild<QComboBox*>(QStringLiteral("devicePopUpButton"));
    }
    QRadioButton& radio(const char* name)
    {
        return *controller->window()->findChild<QRadioButton*>(QString::fromLatin1(name));
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
    // later, QTest's at once, so the interval is made 0 and its timer let run out.
    void clickInList(const QString& title)
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
    }
    void choose(const QString& title)
    {
        clickInList(title);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !popUp().view()->isVisible(); }, 3000));
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
    // The login item starts this very executable, its path quoted.
    QFile entry(dir.filePath(QStringLiteral("autostart/wardlatch.desktop")));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("Exec=\"/opt/Ward latch/wardlatch\""));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral(""));
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kDefaultChord});
    auto* recorder = controller->window()->findChild<ShortcutRecorder*>();
    ASSERT_NE(recorder, nullptr);
    EXPECT_EQ(recorder->shortcutValue(), kDefaultChord); // the recorder shows the default

    // The panel opens half a second after launch, not at once.
    EXPECT_FALSE(controller->window()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->window()->isVisible(); }, 3000));
    EXPECT_TRUE(controller->icon()->isSelected());
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("Key Stick"), QStringLiteral("Headphones")}));
    EXPECT_EQ(popUp().currentIndex(), -1); // nothing bears the stored empty name
    EXPECT_EQ(popUp().placeholderText(), QStringLiteral("Choose a key device\u2026"));
    EXPECT_TRUE(radio("lockDisplayButton").isChecked());
    EXPECT_FALSE(radio("screensaverButton").isChecked());

    // This session has no tray (offscreen): the user is told once, beside the log line.
    EXPECT_EQ(notifier.titles, QStringList{QStringLiteral("Wardlatch has no tray icon")});

    // Deactivating closes the panel and unselects the icon.
    controller->applicationWillResignActive();
    EXPECT_FALSE(controller->window()->isVisible());
    EXPECT_FALSE(controller->icon()->isSelected());
}

TEST_F(AppDelegateTest, TheShortcutLocksWithNoDeviceChosenAndFollowsTheLockType)
{
    launch();
    ASSERT_TRUE(grabber.press(kDefaultChord));
    radio("screensaverButton").click();
    ASSERT_TRUE(grabber.press(kDefaultChord));
    EXPECT_EQ(locker.requests(), (std::vector<RecordingSessionLocker::Request>{
                                     RecordingSessionLocker::Request::Lock,
                                     RecordingSessionLocker::Request::ScreenSaver}));
}

TEST_F(AppDelegateTest, PopUpKeepsTitlesUniqueAndEveryChoiceIsAnnounced)
{
    registry.attached = {usb(QStringLiteral("Twin"), 1, 1), usb(QStringLiteral("Other"), 2, 2),
                         usb(QStringLiteral("Twin"), 3, 3),
                         usb(QStringLiteral("Headphones"), 4, 4)};
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    settings.setObject(keys::kDeviceName, QStringLiteral("Other"));
    awake();
    QStringList announced;
    ObserverRegistration observer(center, events::kSetNewDeviceEvent, [&](const Notification& n) {
        EXPECT_EQ(n.object, controller.get());
        announced << n.userInfo.value(QString::fromLatin1(events::kNewDeviceName)).toString();
    });
    controller->populateList();
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("Other"), QStringLiteral("Twin"),
                                     QStringLiteral("Headphones")}));
    EXPECT_EQ(popUp().currentText(), QStringLiteral("Other"));

    choose(QStringLiteral("Twin"));
    choose(QStringLiteral("Twin")); // the current item again: announced again
    EXPECT_EQ(announced, (QStringList{QStringLiteral("Twin"), QStringLiteral("Twin")}));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral("Twin"));
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

    // Odd names stay plain text in the pop-up.
    const QString odd = QStringLiteral("<b>%1 & %@</b>\u202e");
    registry.attached = {usb(odd, 5, 5)};
    controller->populateList();
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("Other"), odd, QStringLiteral("Headphones")}));
}

TEST_F(AppDelegateTest, TheClosedPopUpIgnoresWheelArrowsAndTypeAhead)
{
    registry.attached = {usb(QStringLiteral("Alpha"), 1, 1), usb(QStringLiteral("Bravo"), 2, 2),
                         usb(QStringLiteral("Charlie"), 3, 3)};
    settings.setObject(keys::kDeviceName, QStringLiteral("Bravo"));
    settings.setObject(keys::idVendor, qint64(2));
    settings.setObject(keys::idProduct, qint64(2));
    awake();
    center.postNotificationName(events::setHighlight, nullptr);
    int announced = 0;
    ObserverRegistration observer(center, events::kSetNewDeviceEvent,
                                  [&](const Notification&) { ++announced; });
    const auto wheel = [](int delta) {
        return [delta](QComboBox& c) {
            const QPointF at = QRectF(c.rect()).center();
            QWheelEvent event(at, c.mapToGlobal(at), {}, {0, delta}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(&c, &event);
        };
    };
    const auto key = [](Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
        return [k, modifiers](QComboBox& c) { QTest::keyClick(&c, k, modifiers); };
    };
    const std::pair<const char*, std::function<void(QComboBox&)>> cases[] = {
        {"wheel up", wheel(120)},
        {"wheel down", wheel(-120)},
        {"Up", key(Qt::Key_Up)},
        {"Alt+Up", key(Qt::Key_Up, Qt::AltModifier)},
        {"Down", key(Qt::Key_Down)},
        {"PageUp", key(Qt::Key_PageUp)},
        {"PageDown", key(Qt::Key_PageDown)},
        {"Home", key(Qt::Key_Home)},
        {"End", key(Qt::Key_End)},
        {"typed letter", [](QComboBox& c) { QTest::keyClicks(&c, QStringLiteral("c")); }},
        {"input method",
         [](QComboBox& c) {
             QInputMethodEvent event;
             event.setCommitString(QStringLiteral("a"));
             QCoreApplication::sendEvent(&c, &event);
         }},
    };
    for (const auto& [what, send] : cases) {
        SCOPED_TRACE(what);
        settings.setObject(keys::kDeviceName, QStringLiteral("Bravo"));
        controller->populateList();
        popUp().view()->keyboardSearch({}); // a fresh type-ahead for each case
        EXPECT_EQ(popUp().currentText(), QStringLiteral("Bravo"));
        const auto armed = controller->deviceListUSB()->lostDeviceIterator();
        announced = 0;
        send(popUp());
        EXPECT_EQ(popUp().currentText(), QStringLiteral("Bravo"));
        EXPECT_FALSE(popUp().view()->isVisible());
        EXPECT_EQ(announced, 0);
        EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral("Bravo"));
        EXPECT_EQ(controller->deviceListUSB()->lostDeviceIterator(), armed);
    }
}

TEST_F(AppDelegateTest, ADeviceWithoutNumbersIsListedButCannotBeChosen)
{
    registry.attached = {usb(QStringLiteral("Key Stick"), 0x1234, 0xabcd),
                         usb(QStringLiteral("Other"), 2, 2), usb(QStringLiteral("Blank"), 0, 0)};
    settings.setObject(keys::kDeviceName, QStringLiteral("Key Stick"));
    settings.setObject(keys::idVendor, qint64(0x1234));
    settings.setObject(keys::idProduct, qint64(0xabcd));
    awake();
    center.postNotificationName(events::setHighlight, nullptr);
    int announced = 0;
    ObserverRegistration observer(center, events::kSetNewDeviceEvent,
                                  [&](const Notification&) { ++announced; });
    const auto armed = controller->deviceListUSB()->lostDeviceIterator();
    ASSERT_NE(armed, 0u);

    const QModelIndex blank = popUp().model()->index(popUp().findText(QStringLiteral("Blank")), 0);
    EXPECT_FALSE(blank.flags() & Qt::ItemIsEnabled);
    EXPECT_EQ(blank.data(Qt::ToolTipRole).toString(),
              QStringLiteral("This device reports no vendor and product numbers, so its removal "
                             "cannot be recognised"));
    EXPECT_TRUE(popUp().model()->index(1, 0).flags() & Qt::ItemIsEnabled);

    // A click on it chooses nothing: neither it nor the item stepped to before.
    QTest::keyClick(&popUp(), Qt::Key_Space);
    QAbstractItemView& list = *popUp().view();
    QTest::keyClick(&list, Qt::Key_Down);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(blank).center());
    EXPECT_TRUE(list.isVisible());
    popUp().hidePopup();
    EXPECT_EQ(announced, 0);
    EXPECT_EQ(popUp().currentText(), QStringLiteral("Key Stick"));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), QStringLiteral("Key Stick"));
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 0x1234);
    EXPECT_EQ(controller->deviceListUSB()->lostDeviceIterator(), armed);

    // A name stored for such a device earlier is not shown as the guarded choice.
    settings.setObject(keys::kDeviceName, QStringLiteral("Blank"));
    controller->populateList();
    EXPECT_EQ(popUp().currentIndex(), -1);
}

TEST_F(AppDelegateTest, LockTypeFollowsTheSenderOnly)
{
    launch();
    radio("screensaverButton").click();
    EXPECT_TRUE(settings.boolForKey(keys::UseScreenSaver));
    controller->lockTypeChanged(controller.get()); // any other sender: nothing
    EXPECT_TRUE(settings.boolForKey(keys::UseScreenSaver));
    radio("lockDisplayButton").click();
    EXPECT_FALSE(settings.boolForKey(keys::UseScreenSaver));
    settings.setBool(keys::UseScreenSaver, true);
    controller->populateList();
    EXPECT_FALSE(radio("lockDisplayButton").isChecked());
    EXPECT_TRUE(radio("screensaverButton").isChecked());
}

TEST_F(AppDelegateTest, QuitAsksFirstAndCancelLeavesEverythingArmed)
{
    settings.setObject(keys::idVendor, qint64(0x1234));
    settings.setObject(keys::idProduct, qint64(0xabcd));
    settings.setObject(keys::kDeviceName, QStringLiteral("Key Stick"));
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
}

TEST_F(AppDelegateTest, QuitWithNothingChosenAndAfterARelaunchWasAnnounced)
{
    launch();
    controller->askToQuit();
    EXPECT_EQ(alerts.value(1),
              QStringLiteral("If you quit, removing  will no longer lock your computer."));

    LogCapture logs;
    alerts.clear();
    controller->updaterWillRelaunchApplication(*std::make_unique<UpdateChecker>(settings));
    controller->askToQuit();
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(logs.count(QStringLiteral("isUpdating")), 1);
}

TEST_F(AppDelegateTest, TabVisitsOnlyTheRealControlsInOrder)
{
    launch();
    center.postNotificationName(events::setHighlight, nullptr);
    QWidget& panel = *controller->window();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
    auto& recorder = *panel.findChild<ShortcutRecorder*>();
    const QList<QWidget*> expected{
        &popUp(),
        &radio("lockDisplayButton"),
        recorder.findChild<QPushButton*>(QStringLiteral("recordButton")),
        recorder.findChild<QToolButton*>(QStringLiteral("clearButton")),
        panel.findChild<QPushButton*>(QStringLiteral("showContextMenuButton")),
        &popUp()};
    popUp().setFocus(Qt::TabFocusReason);
    QList<QWidget*> visited{QApplication::focusWidget()};
    while (visited.size() < expected.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget();
    }
    EXPECT_EQ(visited, expected);
}

TEST_F(AppDelegateTest, EveryControlIsNamedAndTiedToItsLabel)
{
    launch();
    QWidget& panel = *controller->window();
    const auto named = [&](const char* name) {
        return panel.findChild<QWidget*>(QString::fromLatin1(name));
    };
    QWidget* recordButton = named("recordButton");
    ASSERT_NE(recordButton, nullptr);
    const std::tuple<QWidget*, const char*, const char*> controls[] = {
        {named("devicePopUpButton"), "Key device", "deviceLabel"},
        {named("lockTypeGroup"), "When it goes away", "lockTypeLabel"},
        {named("shortcutView"), "Lock shortcut", "shortcutLabel"},
        {recordButton, "Lock shortcut", nullptr},
        {named("clearButton"), "Clear shortcut", nullptr},
        {named("guardStatusLabel"), "Guard status", nullptr},
    };
    for (const auto& [control, name, label] : controls) {
        SCOPED_TRACE(name);
        ASSERT_NE(control, nullptr);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(name));
        if (label) {
            EXPECT_EQ(panel.findChild<QLabel*>(QString::fromLatin1(label))->buddy(), control);
        }
    }
    // The recorder is a button announced by its purpose, the chord beside it; not a check box
    // named after the chord.
    QAccessibleInterface* recorder = QAccessible::queryAccessibleInterface(recordButton);
    EXPECT_EQ(recorder->role(), QAccessible::Button);
    EXPECT_EQ(recorder->text(QAccessible::Description), QStringLiteral("Ctrl+Alt+Super+L"));
}

TEST_F(AppDelegateTest, EscapeClosesThePanelAsAClickOutsideDoes)
{
    registry.attached = {usb(QStringLiteral("Key Stick"), 0x1234, 0xabcd)};
    launch();
    QWidget& panel = *controller->window();
    auto& recorder = *panel.findChild<ShortcutRecorder*>();
    int closings = 0;
    ObserverRegistration observer(center, events::unsetHighlight, [&](const Notification& n) {
        EXPECT_EQ(n.object, controller.get());
        ++closings;
    });
    for (const char* name : {"devicePopUpButton", "lockDisplayButton", "recordButton",
                             "clearButton", "showContextMenuButton"}) {
        SCOPED_TRACE(name);
        center.postNotificationName(events::setHighlight, nullptr);
        closings = 0;
        QTest::keyClick(panel.findChild<QWidget*>(QString::fromLatin1(name)), Qt::Key_Escape);
        EXPECT_FALSE(panel.isVisible());
        EXPECT_FALSE(controller->icon()->isSelected());
        EXPECT_GE(closings, 1);
    }

    // An open list and a recording take Escape for themselves.
    center.postNotificationName(events::setHighlight, nullptr);
    QTest::keyClick(&popUp(), Qt::Key_Space);
    ASSERT_TRUE(popUp().view()->isVisible());
    QTest::keyClick(popUp().view(), Qt::Key_Escape);
    EXPECT_FALSE(popUp().view()->isVisible());
    recorder.startRecording();
    QTest::keyClick(&recorder, Qt::Key_Escape);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(panel.isVisible());
    EXPECT_TRUE(controller->icon()->isSelected());
}

TEST_F(AppDelegateTest, AboutAndFeedbackCloseThePanelFirst)
{
    launch();
    center.postNotificationName(events::setHighlight, nullptr);
    ASSERT_TRUE(controller->window()->isVisible());
    controller->aboutButtonClicked();
    EXPECT_FALSE(controller->window()->isVisible());
    center.postNotificationName(events::setHighlight, nullptr);
    controller->showFeedbackModal();
    EXPECT_FALSE(controller->window()->isVisible());
    EXPECT_EQ(journal.mid(3), (QStringList{QStringLiteral("about"), QStringLiteral("feedback")}));
}

// The guard state follows every event that changes what guards the session, one step at a time.
TEST_F(AppDelegateTest, GuardStateFollowsChoicesDevicesPausesAndLockOutcomes)
{
    const UsbDevice stick = usb(QStringLiteral("Cruzer Blade"), 0x0781, 0x5567);
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    launch();
    GuardState& guard = controller->guardState();
    LogCapture logs;
    int changes = 0;
    QObject::connect(&guard, &GuardState::changed, [&] { ++changes; });
    using K = GuardState::Kind;
    struct Step
    {
        const char* what;
        std::function<void()> act;
        K kind;
        const char* text; // the description's first line
        size_t locks;     // lock requests so far
    };
    const Step steps[] = {
        {"nothing chosen", [] {}, K::NothingChosen,
         "Wardlatch is not guarding: choose a key device", 0},
        {"a plugged-in device chosen",
         [&] {
             registry.plug(stick);
             controller->populateList();
             choose(QStringLiteral("Cruzer Blade"));
         },
         K::Guarding, "Wardlatch: locks when “Cruzer Blade” is removed", 0},
        {"it is unplugged", [&] { registry.unplug(stick.path); }, K::NotConnected,
         "Wardlatch: “Cruzer Blade” is not connected", 1},
        {"it is plugged back", [&] { registry.plug(stick); }, K::Guarding,
         "Wardlatch: locks when “Cruzer Blade” is removed", 1},
        {"paused until resumed", [&] { controller->pauseGuarding(std::nullopt); }, K::Paused,
         "Wardlatch is paused until you resume it", 1},
        {"unplugged while paused: no lock",
         [&] {
             registry.unplug(stick.path);
             ASSERT_TRUE(logs.waitForContaining(QStringLiteral("while guarding is paused")));
         },
         K::Paused, "Wardlatch is paused until you resume it", 1},
        {"the shortcut still locks", [&] { grabber.press(kDefaultChord); }, K::Paused,
         "Wardlatch is paused until you resume it", 2},
        {"resumed, plugged back",
         [&] {
             controller->resumeGuarding();
             registry.plug(stick);
         },
         K::Guarding, "Wardlatch: locks when “Cruzer Blade” is removed", 2},
        {"a lock nothing confirmed", [&] { locker.finish(true, false); }, K::Guarding,
         "Wardlatch: locks when “Cruzer Blade” is removed", 2},
        {"headphones chosen", [&] { choose(QStringLiteral("Headphones")); }, K::Guarding,
         "Wardlatch: locks when the headphones are unplugged", 2},
        {"headphones unplugged",
         [&] { audio.changeDataSource(kOutput, audio::kSourceInternalSpeaker); }, K::NotConnected,
         "Wardlatch: the headphones are not connected", 3},
        {"the audio server gone", [&] { audio.changeDefaultOutputDevice(0); }, K::CannotWatch,
         "Wardlatch is not guarding: no audio output can be watched", 4},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const int before = changes;
        step.act();
        // Some steps reach the controller through the event loop (the audio thread, the
        // registry's deliveries).
        EXPECT_TRUE(QTest::qWaitFor([&] { return guard.snapshot().kind == step.kind; }, 3000));
        EXPECT_EQ(guard.description().section(QLatin1Char('\n'), 0, 0),
                  QString::fromUtf8(step.text));
        EXPECT_TRUE(QTest::qWaitFor([&] { return locker.count() >= step.locks; }, 3000));
        EXPECT_EQ(locker.count(), step.locks);
        EXPECT_EQ(
            controller->window()->findChild<QLabel*>(QStringLiteral("guardStatusLabel"))->text(),
            guard.description());
        if (QString::fromLatin1(step.what) == QLatin1String("a lock nothing confirmed")) {
            EXPECT_TRUE(guard.snapshot().lastLockUnconfirmed);
            EXPECT_TRUE(guard.snapshot().needsAttention());
            EXPECT_NE(changes, before);
            locker.finish(true, true);
            EXPECT_FALSE(guard.snapshot().lastLockUnconfirmed);
        }
    }
}

// A timed pause ends by itself and says so.
TEST_F(AppDelegateTest, ATimedPauseEndsByItselfWithANotification)
{
    registry.attached = {usb(QStringLiteral("Key Stick"), 0x1234, 0xabcd)};
    settings.setObject(keys::kDeviceName, QStringLiteral("Key Stick"));
    settings.setObject(keys::idVendor, qint64(0x1234));
    settings.setObject(keys::idProduct, qint64(0xabcd));
    launch();
    controller->pauseGuarding(std::chrono::milliseconds(50));
    EXPECT_TRUE(controller->guardState().isPaused());
    EXPECT_EQ(controller->guardState().snapshot().kind, GuardState::Kind::Paused);
    EXPECT_TRUE(controller->guardState().snapshot().pausedUntil.has_value());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !controller->guardState().isPaused(); }, 3000));
    EXPECT_TRUE(notifier.titles.contains(QStringLiteral("Wardlatch is guarding again")));
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
    settings.setObject(keys::idVendor, qint64(0x1234));
    settings.setObject(keys::idProduct, qint64(0xabcd));
    settings.setObject(keys::kDeviceName, QStringLiteral("Key Stick"));
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
    EXPECT_EQ(alert.box->informativeText(), informative);
    auto* label = alert.box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(alert.box->buttons().size(), 2);
    EXPECT_EQ(alert.okButton->text(), QStringLiteral("OK"));
}

} // namespace
