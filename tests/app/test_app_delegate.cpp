// SPDX-License-Identifier: GPL-3.0-or-later
// The controller: its launch, the lock shortcut, quitting, and the guard state it keeps.
#include "AppDelegateFixture.h"

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
