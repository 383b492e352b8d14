// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "fakes/FakeKeyGrabber.h"
#include "menubar/ShortcutRecorder.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "platform/shortcut/X11KeyGrabber.h"
#include "support/LogCapture.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>

using namespace wl;
using GrabResult = KeyGrabber::GrabResult;

namespace {

const Shortcut kLockChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
const Shortcut kOtherChord(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);

TEST(ShortcutValue, LaunchDefaultPairIsCtrlAltSuperL)
{
    const Shortcut fromPair(37u, 1835008u);
    EXPECT_EQ(fromPair, kLockChord);
    EXPECT_TRUE(fromPair.isValid());
    EXPECT_EQ(fromPair.toString(), "Meta+Ctrl+Alt+L");
    EXPECT_EQ(Shortcut::fromString("Meta+Ctrl+Alt+L"), kLockChord);
    // Shown as the desktop names the key; stored as above.
    EXPECT_EQ(fromPair.displayText(), "Ctrl+Alt+Super+L");
    EXPECT_EQ(Shortcut(Qt::Key_Plus, Qt::MetaModifier).displayText(), "Super++");
}

TEST(ShortcutValue, EachModifierFlagMapsToItsOwnModifier)
{
    EXPECT_EQ(Shortcut(37u, Shortcut::kShiftFlag | Shortcut::kControlFlag).modifiers(),
              Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(Shortcut(37u, Shortcut::kOptionFlag).modifiers(), Qt::AltModifier);
    EXPECT_EQ(Shortcut(37u, Shortcut::kCommandFlag).modifiers(), Qt::MetaModifier);
    // Caps Lock (1 << 16) and the function-key flag are not part of a chord.
    EXPECT_EQ(Shortcut(37u, Shortcut::kCommandFlag | (1u << 16) | (1u << 23)),
              Shortcut(Qt::Key_L, Qt::MetaModifier));
}

TEST(ShortcutValue, EveryLetterAndDigitHasExactlyOneKeyCode)
{
    QMap<int, int> codesPerKey;
    for (quint32 code = 0; code < 128; ++code) {
        const Qt::Key key = Shortcut::keyForKeyCode(code);
        if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
            ++codesPerKey[key];
    }
    EXPECT_EQ(codesPerKey.size(), 36);
    for (int n : codesPerKey)
        EXPECT_EQ(n, 1);
    EXPECT_EQ(Shortcut::keyForKeyCode(0x00), Qt::Key_A);
    EXPECT_EQ(Shortcut::keyForKeyCode(0x1D), Qt::Key_0);
    EXPECT_EQ(Shortcut::keyForKeyCode(0x7A), Qt::Key_F1);
    EXPECT_EQ(Shortcut::keyForKeyCode(0x0A), Qt::Key_unknown);
    EXPECT_FALSE(Shortcut(0x0Au, 1835008u).isValid());
}

TEST(ShortcutValue, TextFormRoundTrips)
{
    const QList<Shortcut> chords{
        kLockChord,
        Shortcut(Qt::Key_1, Qt::ControlModifier | Qt::ShiftModifier),
        Shortcut(Qt::Key_F12, Qt::AltModifier),
        Shortcut(Qt::Key_Comma, Qt::MetaModifier),
        Shortcut(Qt::Key_Plus, Qt::ControlModifier),
        Shortcut(Qt::Key_Space, Qt::ControlModifier | Qt::AltModifier),
    };
    for (const Shortcut& s : chords) {
        const std::optional<Shortcut> back = Shortcut::fromString(s.toString());
        ASSERT_TRUE(back) << s.toString().toStdString();
        EXPECT_EQ(*back, s) << s.toString().toStdString();
    }
}

TEST(ShortcutValue, RejectsTextThatIsNotOneUsableChord)
{
    for (const char* text :
         {"", "garbage", "L", "Shift+L", "Ctrl+", "Ctrl+Alt+K, Ctrl+B", "Ctrl+Shift"})
        EXPECT_FALSE(Shortcut::fromString(QString::fromLatin1(text))) << text;
    EXPECT_FALSE(Shortcut(Qt::Key_Control, Qt::ControlModifier).isValid());
    EXPECT_FALSE(Shortcut().isValid());
    EXPECT_TRUE(Shortcut().toString().isEmpty());
}

class BinderTest : public ::testing::Test
{
protected:
    BinderTest() : settings(dir.filePath("wardlatch.conf")), binder(settings, grabber)
    {
        binder.registerDefaultShortcuts({{keys::HotKey, kLockChord}});
    }
    void bindCounting()
    {
        binder.bindShortcutWithDefaultsKey(keys::HotKey, [this] { ++presses; });
    }

    QTemporaryDir dir;
    Settings settings;
    test::FakeKeyGrabber grabber;
    ShortcutBinder binder;
    int presses = 0;
};

TEST_F(BinderTest, DefaultIsBoundWhileNothingIsStored)
{
    bindCounting();
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kLockChord});
    EXPECT_TRUE(grabber.press(kLockChord));
    EXPECT_EQ(presses, 1);
    EXPECT_FALSE(settings.hasStoredValue(keys::HotKey)); // the default stays in memory
}

TEST_F(BinderTest, StoredValueWinsOverDefaultAndEmptyMeansNone)
{
    settings.setObject(keys::HotKey, kOtherChord.toString());
    bindCounting();
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kOtherChord});

    settings.setObject(keys::HotKey, QString(""));
    binder.defaultsValueChanged(keys::HotKey);
    EXPECT_TRUE(grabber.grabbed.isEmpty());
    EXPECT_FALSE(binder.shortcutForKey(keys::HotKey));
}

TEST_F(BinderTest, UnreadableStoredValueFallsBackToDefaultAndIsLogged)
{
    test::LogCapture log;
    settings.setObject(keys::HotKey, QStringLiteral("Ctrl+Nonsense+"));
    bindCounting();
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kLockChord});
    EXPECT_EQ(log.countContaining("unreadable shortcut"), 1);
}

TEST_F(BinderTest, StoringRebindsAtOnce)
{
    bindCounting();
    QSignalSpy changed(&binder, &ShortcutBinder::shortcutChanged);
    EXPECT_EQ(binder.storeShortcut(keys::HotKey, kOtherChord), GrabResult::Ok);
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kOtherChord});
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Ctrl+Alt+K");
    EXPECT_EQ(changed.count(), 1);
    EXPECT_FALSE(grabber.press(kLockChord));
    EXPECT_TRUE(grabber.press(kOtherChord));
    EXPECT_EQ(presses, 1);

    // A value written straight to the store is picked up when announced.
    settings.setObject(keys::HotKey, kLockChord.toString());
    binder.defaultsValueChanged(keys::HotKey);
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kLockChord});
}

TEST_F(BinderTest, TakenChordIsNotStoredAndTheOldOneKeepsWorking)
{
    test::LogCapture log;
    bindCounting();
    grabber.takenByOthers << kOtherChord;
    QSignalSpy status(&binder, &ShortcutBinder::bindingStatusChanged);

    EXPECT_EQ(binder.storeShortcut(keys::HotKey, kOtherChord), GrabResult::Taken);
    EXPECT_FALSE(settings.hasStoredValue(keys::HotKey));
    EXPECT_EQ(binder.bindingStatus(keys::HotKey), GrabResult::Taken);
    EXPECT_EQ(status.count(), 1);
    EXPECT_EQ(log.count("shortcut Ctrl+Alt+K is taken by another program"), 1);
    EXPECT_TRUE(grabber.press(kLockChord));
    EXPECT_EQ(presses, 1);
}

TEST_F(BinderTest, ClearingUnbindsAndSurvivesAReload)
{
    bindCounting();
    EXPECT_EQ(binder.storeShortcut(keys::HotKey, std::nullopt), GrabResult::Ok);
    EXPECT_TRUE(grabber.grabbed.isEmpty());
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "");

    // A later launch must not bring the default back.
    Settings reread(settings.filePath());
    test::FakeKeyGrabber grabber2;
    ShortcutBinder binder2(reread, grabber2);
    binder2.registerDefaultShortcuts({{keys::HotKey, kLockChord}});
    binder2.bindShortcutWithDefaultsKey(keys::HotKey, [] {});
    EXPECT_TRUE(grabber2.grabbed.isEmpty());
}

TEST_F(BinderTest, NoGrabAvailableStillStoresTheChoice)
{
    grabber.unavailable = true;
    bindCounting();
    EXPECT_EQ(binder.bindingStatus(keys::HotKey), GrabResult::Unavailable);
    EXPECT_EQ(binder.storeShortcut(keys::HotKey, kOtherChord), GrabResult::Unavailable);
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Ctrl+Alt+K");
}

TEST_F(BinderTest, ActionKeepsWhatItCapturesAndSharedChordsStayGrabbed)
{
    auto target = std::make_shared<int>(0);
    binder.bindShortcutWithDefaultsKey(keys::HotKey, [target] { ++*target; });
    std::weak_ptr<int> watch = target;
    target.reset();
    ASSERT_FALSE(watch.expired());
    grabber.press(kLockChord);
    EXPECT_EQ(*watch.lock(), 1);

    binder.registerDefaultShortcuts({{"Second", kLockChord}});
    binder.bindShortcutWithDefaultsKey("Second", [this] { ++presses; });
    binder.unbindShortcutWithDefaultsKey(keys::HotKey);
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kLockChord});
    EXPECT_TRUE(watch.expired()); // unbinding lets go of the action
    grabber.press(kLockChord);
    EXPECT_EQ(presses, 1);
}

TEST_F(BinderTest, DestroyingTheBinderReleasesItsGrabs)
{
    test::FakeKeyGrabber local;
    {
        ShortcutBinder scoped(settings, local);
        scoped.registerDefaultShortcuts({{keys::HotKey, kLockChord}});
        scoped.bindShortcutWithDefaultsKey(keys::HotKey, [] {});
        EXPECT_EQ(local.grabbed.size(), 1);
    }
    EXPECT_TRUE(local.grabbed.isEmpty());
}

TEST(X11KeyGrabberOffscreen, WithoutAnX11ConnectionLogsOnceAndGrabsNothing)
{
    test::LogCapture log;
    X11KeyGrabber grabber;
    EXPECT_FALSE(grabber.hasConnection());
    EXPECT_EQ(grabber.grab(kLockChord), GrabResult::Unavailable);
    EXPECT_EQ(log.countContaining("no X11 connection"), 1);
}

class RecorderTest : public BinderTest
{
protected:
    RecorderTest()
    {
        bindCounting();
        recorder.setBinder(binder);
        recorder.setAssociatedUserDefaultsKey(keys::HotKey);
        recorder.show();
    }
    void type(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(&recorder, key, modifiers);
    }

    ShortcutRecorder recorder;
};

TEST_F(RecorderTest, ShowsTheShortcutInEffect)
{
    EXPECT_EQ(recorder.shortcutValue(), kLockChord);
    EXPECT_EQ(recorder.displayText(), "Ctrl+Alt+Super+L");
    EXPECT_FALSE(recorder.isRecording());
}

TEST_F(RecorderTest, StoresOneChordUnderItsKey)
{
    recorder.startRecording();
    ASSERT_TRUE(recorder.isRecording());
    type(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Ctrl+Alt+K");
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kOtherChord});

    // Keys after the chord are not recorded.
    type(Qt::Key_J, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Ctrl+Alt+K");
}

TEST_F(RecorderTest, NeedsAModifierBesidesShift)
{
    recorder.startRecording();
    type(Qt::Key_K);
    type(Qt::Key_K, Qt::ShiftModifier);
    type(Qt::Key_Control, Qt::ControlModifier);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_FALSE(recorder.statusText().isEmpty());
    EXPECT_FALSE(settings.hasStoredValue(keys::HotKey));

    type(Qt::Key_Escape);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(recorder.statusText().isEmpty()); // the hint goes with the recording
    EXPECT_EQ(recorder.displayText(), "Ctrl+Alt+Super+L");
    EXPECT_FALSE(settings.hasStoredValue(keys::HotKey));
    EXPECT_EQ(grabber.grabbed, QList<Shortcut>{kLockChord});

    // So it does when the focus leaves.
    recorder.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&recorder));
    recorder.startRecording();
    type(Qt::Key_K);
    ASSERT_FALSE(recorder.statusText().isEmpty());
    QLineEdit elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(recorder.statusText().isEmpty());
}

TEST_F(RecorderTest, ClearingRemovesTheBinding)
{
    auto* clear = recorder.findChild<QToolButton*>();
    ASSERT_TRUE(clear);
    ASSERT_TRUE(clear->isEnabled());
    clear->click();
    EXPECT_TRUE(grabber.grabbed.isEmpty());
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "");
    EXPECT_FALSE(recorder.shortcutValue());
    EXPECT_FALSE(clear->isEnabled());
    EXPECT_FALSE(grabber.press(kLockChord));

    // Backspace while recording clears too.
    binder.storeShortcut(keys::HotKey, kOtherChord);
    recorder.startRecording();
    type(Qt::Key_Backspace);
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "");
}

TEST_F(RecorderTest, ReportsAChordTakenByAnotherProgram)
{
    test::LogCapture log;
    grabber.takenByOthers << kOtherChord;
    recorder.startRecording();
    type(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_TRUE(recorder.statusText().contains("taken by another program"));
    EXPECT_EQ(log.countContaining("taken by another program"), 1);
    EXPECT_EQ(recorder.shortcutValue(), kLockChord);
    EXPECT_FALSE(settings.hasStoredValue(keys::HotKey));
}

TEST_F(RecorderTest, SaysSoWhenShortcutsCannotWorkHere)
{
    EXPECT_TRUE(recorder.statusText().isEmpty());
    grabber.unavailable = true;
    binder.storeShortcut(keys::HotKey, kOtherChord);
    EXPECT_EQ(recorder.statusText(), "Shortcuts cannot be used in this session");
    // A cancelled recording does not hide it.
    recorder.startRecording();
    type(Qt::Key_Escape);
    EXPECT_EQ(recorder.statusText(), "Shortcuts cannot be used in this session");
}

} // namespace
