// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "fakes/FakeKeyGrabber.h"
#include "menubar/ShortcutRecorder.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "platform/shortcut/X11KeyGrabber.h"
#include "support/LogCapture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace wl;
using GrabResult = KeyGrabber::GrabResult;

namespace {

const Shortcut kLockChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
const Shortcut kOtherChord(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);

TEST(ShortcutValue, StoredTextReadsBackAndShowsAsTheDesktopNamesIt)
{
    const std::pair<const char*, const char*> shown[] = {
        {"Meta+Ctrl+Alt+L", "Ctrl+Alt+Super+L"},
        {"Ctrl+Shift+1", "Ctrl+Shift+1"},
        {"Meta+Alt+F12", "Alt+Super+F12"},
        {"Meta++", "Super++"},
    };
    for (const auto& [stored, text] : shown) {
        const std::optional<Shortcut> chord = Shortcut::fromString(QString::fromLatin1(stored));
        EXPECT_EQ(chord ? chord->toString() : QString(), stored);
        EXPECT_EQ(chord ? chord->displayText() : QString(), text);
    }
    // Not exactly one usable chord.
    for (const char* stored : {"", "garbage", "Shift+L", "Ctrl+", "Ctrl+Shift", "Ctrl+K, Ctrl+B"})
        EXPECT_FALSE(Shortcut::fromString(QString::fromLatin1(stored))) << stored;
    // The launch's default pair; Caps Lock and function-key flags are no part of a chord.
    EXPECT_EQ(Shortcut(37u, 1835008u), kLockChord);
    EXPECT_EQ(Shortcut(37u, Shortcut::kShiftFlag | Shortcut::kControlFlag | 1u << 16 | 1u << 23),
              Shortcut(Qt::Key_L, Qt::ShiftModifier | Qt::ControlModifier));
}

class ShortcutTest : public ::testing::Test
{
protected:
    ShortcutTest()
    {
        // The recorder first, as at launch: it learns of the default when it is registered.
        recorder.setBinder(binder);
        recorder.setAssociatedUserDefaultsKey(keys::HotKey);
        recorder.show();
        binder.registerDefaultShortcuts({{keys::HotKey, kLockChord}});
        binder.bindShortcutWithDefaultsKey(keys::HotKey, [this] { ++presses; });
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath("wardlatch.conf")};
    test::FakeKeyGrabber grabber;
    ShortcutBinder binder{settings, grabber};
    ShortcutRecorder recorder;
    int presses = 0;
};

TEST_F(ShortcutTest, StoredTextDecidesTheChordAndTheDefaultFillsIn)
{
    test::LogCapture log;
    const std::pair<QString, QList<Shortcut>> rows[] = {
        {"Ctrl+Alt+K", {kOtherChord}},
        {"", {}},                         // cleared by the user: no default either
        {"Ctrl+Nonsense+", {kLockChord}}, // unreadable: the default, and the log says so
    };
    for (const auto& [stored, bound] : rows) {
        settings.setObject(keys::HotKey, stored);
        binder.defaultsValueChanged(keys::HotKey);
        EXPECT_EQ(grabber.grabbed, bound) << stored.toStdString();
    }
    EXPECT_GT(log.countContaining("unreadable shortcut"), 0);
}

TEST_F(ShortcutTest, RecordsOneChordAndRebindsAtOnceUnlessAnotherProgramHasIt)
{
    EXPECT_EQ(recorder.displayText(), "Ctrl+Alt+Super+L");
    test::LogCapture log;
    QSignalSpy status(&binder, &ShortcutBinder::bindingStatusChanged);
    QSignalSpy changed(&binder, &ShortcutBinder::shortcutChanged);
    grabber.takenByOthers << kOtherChord;
    recorder.startRecording();
    QTest::keyClick(&recorder, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(recorder.statusText(), "Ctrl+Alt+K is taken by another program");
    EXPECT_EQ(log.count("shortcut Ctrl+Alt+K is taken by another program"), 1);
    EXPECT_EQ(status.count(), 1);
    EXPECT_FALSE(settings.hasStoredValue(keys::HotKey));
    EXPECT_TRUE(grabber.press(kLockChord)); // the default, bound, keeps working

    grabber.takenByOthers.clear();
    recorder.startRecording();
    QTest::keyClick(&recorder, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Ctrl+Alt+K");
    EXPECT_EQ(changed.count(), 1); // other views of the key follow
    EXPECT_EQ(recorder.displayText(), "Ctrl+Alt+K");
    EXPECT_FALSE(grabber.press(kLockChord));
    EXPECT_TRUE(grabber.press(kOtherChord));

    auto* clear = recorder.findChild<QToolButton*>();
    clear->click();
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "");
    EXPECT_TRUE(grabber.grabbed.isEmpty());
    EXPECT_FALSE(clear->isEnabled());
}

TEST_F(ShortcutTest, KeysWhileRecording)
{
    // Each after a plain K, which only earns a hint; the hint lasts as long as the recording.
    const std::tuple<const char*, Qt::Key, Qt::KeyboardModifiers, bool, std::optional<QString>>
        rows[] = {
            {"only Shift", Qt::Key_K, Qt::ShiftModifier, true, std::nullopt},
            {"a modifier alone", Qt::Key_Control, Qt::ControlModifier, true, std::nullopt},
            {"Escape cancels", Qt::Key_Escape, Qt::NoModifier, false, std::nullopt},
            {"Backspace clears", Qt::Key_Backspace, Qt::NoModifier, false, ""},
            {"Delete clears", Qt::Key_Delete, Qt::NoModifier, false, ""},
        };
    for (const auto& [what, key, modifiers, recording, stored] : rows) {
        SCOPED_TRACE(what);
        settings.removeObjectForKey(keys::HotKey);
        binder.defaultsValueChanged(keys::HotKey);
        recorder.startRecording();
        QTest::keyClick(&recorder, Qt::Key_K);
        QTest::keyClick(&recorder, key, modifiers);
        EXPECT_EQ(recorder.isRecording(), recording);
        EXPECT_EQ(recorder.statusText().isEmpty(), !recording);
        EXPECT_EQ(settings.stringForKey(keys::HotKey), stored);
        EXPECT_EQ(grabber.press(kLockChord), !stored); // a cancelled recording leaves it working
    }
}

TEST_F(ShortcutTest, LeavingTheRecorderEndsTheRecordingAndItsHint)
{
    recorder.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&recorder));
    recorder.startRecording();
    QTest::keyClick(&recorder, Qt::Key_K); // earns a hint
    QLineEdit elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(recorder.statusText().isEmpty());
}

TEST_F(ShortcutTest, SaysSoWhenShortcutsCannotWorkHereAndKeepsTheChoice)
{
    test::LogCapture log;
    X11KeyGrabber x11; // offscreen: no X server to grab keys from
    EXPECT_EQ(x11.grab(kLockChord), GrabResult::Unavailable);
    EXPECT_EQ(log.countContaining("no X11 connection"), 1);

    const auto* button = recorder.findChild<QPushButton*>("recordButton");
    grabber.unavailable = true;
    recorder.startRecording();
    QTest::keyClick(&recorder, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(recorder.statusText(), "Shortcuts cannot be used in this session");
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Ctrl+Alt+K");

    // None in the whole session: the chord is struck out; a cancelled recording says so again.
    grabber.setNoGlobalShortcuts(true);
    recorder.startRecording();
    QTest::keyClick(&recorder, Qt::Key_Escape);
    EXPECT_EQ(recorder.statusText(), "Shortcuts cannot work in this session: bind "
                                     "\u201cwardlatch --lock\u201d in the desktop's keyboard "
                                     "settings");
    EXPECT_TRUE(button->font().strikeOut());
}

TEST_F(ShortcutTest, AChordOfTwoKeysStaysGrabbedUntilTheLastLetsGo)
{
    auto action = std::make_shared<int>(0);
    binder.bindShortcutWithDefaultsKey(keys::HotKey, [action] { ++*action; });
    const std::weak_ptr<int> held = std::exchange(action, nullptr);
    binder.registerDefaultShortcuts({{"Second", kLockChord}});
    binder.bindShortcutWithDefaultsKey("Second", [this] { ++presses; });
    binder.unbindShortcutWithDefaultsKey(keys::HotKey);
    EXPECT_TRUE(held.expired()); // unbinding lets go of the action (and what it holds)
    EXPECT_TRUE(grabber.press(kLockChord));
    EXPECT_EQ(presses, 1);

    test::FakeKeyGrabber other;
    {
        ShortcutBinder scoped(settings, other);
        scoped.registerDefaultShortcuts({{keys::HotKey, kLockChord}});
        scoped.bindShortcutWithDefaultsKey(keys::HotKey, [] {});
        EXPECT_EQ(other.grabbed.size(), 1);
    }
    EXPECT_TRUE(other.grabbed.isEmpty()); // a binder that goes releases its grabs
}

} // namespace
