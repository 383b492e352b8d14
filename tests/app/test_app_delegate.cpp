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
using namespace Qt::StringLiterals;
using Request = RecordingSessionLocker::Request;

namespace {

constexpr AudioObjectID kOutput = 7;
const Shortcut kDefaultChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);

UsbDevice usb(const QString& name, qint32 vendor, qint32 product)
{
    return UsbDevice{0, name, vendor, product, u"/sys/bus/usb/"_s + name};
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
            .executablePath = u"/opt/Ward latch/wardlatch"_s,
            .sendTrackingReport = note("tracking report"),
            .setupIssuesController =
                [this](bool on) { journal << u"issues controller %1"_s.arg(on); },
            .createSessionLoginItems =
                [this] {
                    journal << u"login items"_s;
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
    // Click the closed pop-up, then the title in the list. The list ignores releases for a
    // double-click interval after opening; a person's second click comes later, QTest's at once.
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
    Settings settings{dir.filePath(u"wardlatch.conf"_s)};
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
    registry.attached = {usb(u"Key Stick"_s, 0x1234, 0xabcd)};
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    launch();
    EXPECT_EQ(journal,
              (QStringList{u"tracking report"_s, u"issues controller 1"_s, u"login items"_s}));
    QFile entry(dir.filePath(u"autostart/wardlatch.desktop"_s));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("Exec=\"/opt/Ward latch/wardlatch\""));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), u""_s);
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kDefaultChord});
    EXPECT_EQ(panel().findChild<ShortcutRecorder*>()->shortcutValue(), kDefaultChord);
    EXPECT_FALSE(panel().isVisible()); // not at once: half a second after launch
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel().isVisible(); }, 3000));
    EXPECT_TRUE(controller->icon()->isSelected());
    EXPECT_EQ(titles(), (QStringList{u"Key Stick"_s, u"Headphones"_s}));
    EXPECT_EQ(popUp().currentIndex(), -1); // nothing bears the stored empty name
    EXPECT_TRUE(radio("lockDisplayButton").isChecked());
    // No tray offscreen: the user is told once, beside the log line.
    EXPECT_EQ(notifier.titles, QStringList{u"Wardlatch has no tray icon"_s});
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
    const std::weak_ptr<AppDelegate> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    grabber.press(kDefaultChord); // reaches nothing
    EXPECT_EQ(locker.count(), 3u);
}

TEST_F(AppDelegateTest, PopUpKeepsTitlesUniqueAndEveryChoiceIsAnnounced)
{
    registry.attached = {usb(u"Twin"_s, 1, 1), usb(u"Other"_s, 2, 2), usb(u"Twin"_s, 3, 3),
                         usb(u"Headphones"_s, 4, 4)};
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    settings.setObject(keys::kDeviceName, u"Other"_s);
    awake();
    controller->populateList();
    EXPECT_EQ(titles(), (QStringList{u"Other"_s, u"Twin"_s, u"Headphones"_s}));
    EXPECT_EQ(popUp().currentText(), u"Other"_s);
    choose(u"Twin"_s);
    choose(u"Twin"_s); // the current item again: announced again
    EXPECT_EQ(announced, (QStringList{u"Twin"_s, u"Twin"_s}));
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
    EXPECT_EQ(announced.mid(2), QStringList(3, u"Other"_s));
    EXPECT_EQ(settings.stringForKey(keys::kDeviceName), u"Other"_s);
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 2);
}

// Neither stray input on the closed pop-up nor a click on an unwatchable device moves the guard.
TEST_F(AppDelegateTest, TheChoiceMovesOnlyByAChoiceOfAWatchableDevice)
{
    registry.attached = {usb(u"Alpha"_s, 1, 1), usb(u"Bravo"_s, 2, 2), usb(u"Blank"_s, 0, 0),
                         usb(u"Charlie"_s, 3, 3)};
    store(u"Bravo"_s, 2, 2);
    awake();
    openPanel();
    const auto armed = controller->deviceListUSB()->lostDeviceIterator();
    ASSERT_NE(armed, 0u);
    const auto unchanged = [&] {
        EXPECT_EQ(popUp().currentText(), u"Bravo"_s);
        EXPECT_TRUE(announced.isEmpty());
        EXPECT_EQ(settings.stringForKey(keys::kDeviceName), u"Bravo"_s);
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
    for (const Qt::Key key :
         {Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End})
        stray("key", [key](QComboBox& c) { QTest::keyClick(&c, key); });
    stray("Alt+Up", [](QComboBox& c) { QTest::keyClick(&c, Qt::Key_Up, Qt::AltModifier); });
    stray("typed letter", [](QComboBox& c) { QTest::keyClicks(&c, u"c"_s); });
    stray("input method", [](QComboBox& c) {
        QInputMethodEvent event;
        event.setCommitString(u"a"_s);
        QCoreApplication::sendEvent(&c, &event);
    });
    // The device without numbers is listed, but a click on it chooses nothing, not even the item
    // stepped to before.
    const QModelIndex blank = popUp().model()->index(popUp().findText(u"Blank"_s), 0);
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
    settings.setObject(keys::kDeviceName, u"Blank"_s);
    controller->populateList();
    EXPECT_EQ(popUp().currentIndex(), -1);
}

TEST_F(AppDelegateTest, QuitAsksFirstInPlainTextUnlessRelaunchingAndCancelLeavesAllArmed)
{
    store(u"Key Stick"_s, 0x1234, 0xabcd);
    launch();
    const auto armed = controller->deviceListUSB()->lostDeviceIterator();
    ASSERT_NE(armed, 0u);
    controller->askToQuit();
    EXPECT_EQ(alerts, (QStringList{u"Quit wardlatch?"_s,
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
    EXPECT_EQ(logs.count(u"isUpdating"_s), 1);
    // A device's name is shown as it is, never as markup.
    const QString informative = AppDelegate::quitInformativeText(u"<b>%1</b> & %@"_s);
    EXPECT_EQ(informative,
              u"If you quit, removing <b>%1</b> & %@ will no longer lock your computer."_s);
    QuitAlert alert = makeQuitAlert(u"Quit wardlatch?"_s, informative);
    EXPECT_EQ(alert.box->textFormat(), Qt::PlainText);
    auto* label = alert.box->findChild<QLabel*>(u"qt_msgbox_informativelabel"_s);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->text(), informative);
    EXPECT_EQ(alert.okButton->text(), u"OK"_s);
}

// Keyboard users reach every control, in order; screen readers hear them named; Escape closes the
// panel the way a click outside does, as About and Feedback do.
TEST_F(AppDelegateTest, ThePanelWorksByKeyboardAndIsNamedForScreenReaders)
{
    registry.attached = {usb(u"Key Stick"_s, 0x1234, 0xabcd)};
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
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(named(control));
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(name));
        if (label) {
            EXPECT_EQ(named<QLabel>(label)->buddy(), named(control));
        }
    }
    // A button announced by its purpose, the chord beside it; not a check box named after it.
    QAccessibleInterface* recorder = QAccessible::queryAccessibleInterface(named("recordButton"));
    EXPECT_EQ(recorder->role(), QAccessible::Button);
    EXPECT_EQ(recorder->text(QAccessible::Description), u"Ctrl+Alt+Super+L"_s);
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
    for (QWidget* control : order.mid(1))
        closes(qPrintable(control->objectName()),
               [&] { QTest::keyClick(control, Qt::Key_Escape); });
    closes("About", [&] { controller->aboutButtonClicked(); });
    closes("Feedback", [&] { controller->showFeedbackModal(); });
    EXPECT_EQ(journal.mid(3), (QStringList{u"about"_s, u"feedback"_s}));

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

TEST_F(AppDelegateTest, GuardStateFollowsChoicesDevicesPausesAndLockOutcomes)
{
    const UsbDevice stick = usb(u"Cruzer Blade"_s, 0x0781, 0x5567);
    audio.presetDataSource(kOutput, audio::kSourceHeadphones);
    launch();
    GuardState& guard = controller->guardState();
    LogCapture logs;
    using K = GuardState::Kind;
    const char* const guarding = "Wardlatch: locks when “Cruzer Blade” is removed";
    const char* const paused = "Wardlatch is paused until you resume it";
    int step = 0;
    // Some changes arrive through the event loop: the audio thread, the registry, the timer.
    const auto expect = [&](K kind, const char* text, size_t locks) {
        SCOPED_TRACE(testing::Message() << "step " << ++step);
        EXPECT_TRUE(QTest::qWaitFor([&] { return guard.snapshot().kind == kind; }, 3000));
        EXPECT_EQ(guard.description().section(QLatin1Char('\n'), 0, 0), QString::fromUtf8(text));
        EXPECT_TRUE(QTest::qWaitFor([&] { return locker.count() >= locks; }, 3000));
        EXPECT_EQ(locker.count(), locks);
        EXPECT_EQ(named<QLabel>("guardStatusLabel")->text(), guard.description());
    };
    expect(K::NothingChosen, "Wardlatch is not guarding: choose a key device", 0);
    registry.plug(stick);
    controller->populateList();
    choose(u"Cruzer Blade"_s);
    expect(K::Guarding, guarding, 0);
    registry.unplug(stick.path);
    expect(K::NotConnected, "Wardlatch: “Cruzer Blade” is not connected", 1);
    registry.plug(stick);
    expect(K::Guarding, guarding, 1);
    controller->pauseGuarding(std::nullopt);
    expect(K::Paused, paused, 1);
    registry.unplug(stick.path); // no lock while paused
    ASSERT_TRUE(logs.waitForContaining(u"while guarding is paused"_s));
    expect(K::Paused, paused, 1);
    grabber.press(kDefaultChord); // but the shortcut still locks
    expect(K::Paused, paused, 2);
    controller->resumeGuarding();
    registry.plug(stick);
    expect(K::Guarding, guarding, 2);
    locker.finish(true, false);                     // a lock nothing confirmed
    EXPECT_FALSE(controller->icon()->isGuarding()); // the open look, as when not guarding
    expect(K::Guarding, guarding, 2);
    locker.finish(true, true);
    EXPECT_TRUE(controller->icon()->isGuarding());
    controller->pauseGuarding(std::chrono::milliseconds(50));
    EXPECT_TRUE(guard.snapshot().pausedUntil.has_value());
    EXPECT_EQ(guard.snapshot().kind, K::Paused);
    expect(K::Guarding, guarding, 2); // the timed pause ended by itself
    choose(u"Headphones"_s);
    expect(K::Guarding, "Wardlatch: locks when the headphones are unplugged", 2);
    audio.changeDataSource(kOutput, audio::kSourceInternalSpeaker);
    expect(K::NotConnected, "Wardlatch: the headphones are not connected", 3);
    audio.changeDefaultOutputDevice(0);
    expect(K::CannotWatch, "Wardlatch is not guarding: no audio output can be watched", 4);
    EXPECT_EQ(notifier.titles.count(u"Wardlatch is guarding again"_s), 1);
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
    store(u"Key Stick"_s, 0x1234, 0xabcd);
    launch();
    EXPECT_EQ(radio("lockDisplayButton").text(), u"Bildschirm sperren"_s);
    EXPECT_EQ(controller->statusBarItem()->toolTip(),
              QString::fromUtf8("Wardlatch: “Key Stick” ist nicht angeschlossen"));
    EXPECT_EQ(controller->trayMenu()->menu()->actions().value(0)->text(), u"Jetzt sperren"_s);
    controller->askToQuit();
    EXPECT_EQ(alerts, (QStringList{u"Wardlatch beenden?"_s,
                                   QString::fromUtf8("Wenn Sie Wardlatch beenden, sperrt das "
                                                     "Entfernen von Key Stick Ihren Computer "
                                                     "nicht mehr.")}));
    // Qt's own texts, as the command line's help shows them.
    EXPECT_EQ(QCoreApplication::translate("QCommandLineParser", "Displays version information."),
              u"Zeigt Versionsinformation an."_s);
}

} // namespace
