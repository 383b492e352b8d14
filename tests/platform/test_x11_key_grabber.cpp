// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "menubar/ShortcutRecorder.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "platform/shortcut/X11KeyGrabber.h"
#include "support/LogCapture.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>

using namespace wl;
using GrabResult = KeyGrabber::GrabResult;

namespace {

const Shortcut kLockChord(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
constexpr std::uint16_t kLockChordMask = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
constexpr std::uint16_t kLockVariants[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                           XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

xcb_keycode_t keycodeOfL(xcb_connection_t* c)
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(c);
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, 'l');
    const xcb_keycode_t keycode = codes ? codes[0] : 0;
    std::free(codes);
    xcb_key_symbols_free(symbols);
    return keycode;
}

xcb_window_t rootOf(xcb_connection_t* c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

// Another X client on the same display, to hold chords the program wants.
class OtherClient
{
public:
    ~OtherClient() { xcb_disconnect(m_connection); }
    // Grabs L with modifiers, or lets it go; the X error code, 0 on success.
    int grabL(std::uint16_t modifiers, bool grab = true)
    {
        xcb_generic_error_t* error = xcb_request_check(
            m_connection,
            grab ? xcb_grab_key_checked(m_connection, 1, m_root, modifiers, m_keycodeL,
                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)
                 : xcb_ungrab_key_checked(m_connection, m_keycodeL, m_root, modifiers));
        const int code = error ? error->error_code : 0;
        std::free(error);
        return code;
    }
    bool ok() const { return !xcb_connection_has_error(m_connection) && m_keycodeL != 0; }

private:
    xcb_connection_t* m_connection = xcb_connect(nullptr, nullptr);
    xcb_window_t m_root = rootOf(m_connection);
    xcb_keycode_t m_keycodeL = keycodeOfL(m_connection);
};

class X11KeyGrabberTest : public ::testing::Test
{
protected:
    X11KeyGrabberTest()
    {
        grabber.setPressedHandler([this](const Shortcut& s) {
            if (s == kLockChord)
                ++actions;
        });
    }
    // A key event as the server sends it, fed straight to the grabber, for the timing cases
    // xdotool cannot produce on demand; ownWindow: into one of ours instead of the root window.
    bool feed(bool press, std::uint32_t time, bool ownWindow, std::uint16_t state)
    {
        xcb_key_press_event_t event{};
        event.response_type = press ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
        event.detail = keycodeOfL(c);
        event.time = time;
        event.root = rootOf(c);
        event.event = event.root + (ownWindow ? 1 : 0);
        event.state = state;
        return grabber.nativeEventFilter("xcb_generic_event_t", &event, nullptr);
    }

    X11KeyGrabber grabber;
    int actions = 0;
    xcb_connection_t* c =
        qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
};

TEST_F(X11KeyGrabberTest, EveryRealPressOfTheChordActsOnceWhateverTheLockKeys)
{
    ASSERT_EQ(grabber.grab(kLockChord), GrabResult::Ok);
    ASSERT_NE(keycodeOfL(c), 0);

    const struct
    {
        bool press;
        std::uint32_t time;
        bool ownWindow;
        bool filtered;
        int actions;                                           // so far
        std::uint16_t state = kLockChordMask | XCB_MOD_MASK_2; // Num Lock on
    } events[] = {
        {true, 1000, false, true, 1}, // held: repeats as presses only
        {true, 1500, false, true, 1},
        {true, 1530, false, true, 1},
        {false, 1560, false, true, 1}, // repeats as release/press pairs with one timestamp
        {true, 1560, false, true, 1},
        {false, 1700, false, true, 1},
        {true, 1800, false, true, 2},
        // A release into one of our own windows (the recorder had the keyboard) ends the hold.
        {false, 1900, true, false, 2},
        {true, 1950, false, true, 3},
        // A release that went to another program is never seen; a later press still counts.
        {true, 60000, false, true, 4},
        // Presses that are not on the root window belong to whoever holds the keyboard.
        {false, 60100, false, true, 4},
        {true, 60200, true, false, 4},
        // Other chords on the same key, and the chord with Caps Lock on.
        {true, 61000, false, false, 4, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1},
        {true, 62000, false, true, 5, kLockChordMask | XCB_MOD_MASK_LOCK},
    };
    for (const auto& e : events) {
        EXPECT_EQ(feed(e.press, e.time, e.ownWindow, e.state), e.filtered) << e.time;
        EXPECT_EQ(actions, e.actions) << e.time;
    }
}

TEST_F(X11KeyGrabberTest, ChordHeldByAnotherClientIsTakenAndLeavesNoPartialGrab)
{
    OtherClient other;
    ASSERT_TRUE(other.ok());
    // The other client holds only the Num Lock variant: the first grabs of ours succeed.
    ASSERT_EQ(other.grabL(kLockChordMask | XCB_MOD_MASK_2), 0);
    EXPECT_EQ(grabber.grab(kLockChord), GrabResult::Taken);
    other.grabL(kLockChordMask | XCB_MOD_MASK_2, false);

    // Nothing of ours is left: the other client can take every variant, and while it holds
    // them ours is refused.
    const auto otherTakesAll = [&](auto whileHeld) {
        for (std::uint16_t extra : kLockVariants)
            EXPECT_EQ(other.grabL(kLockChordMask | extra), 0) << extra;
        whileHeld();
        for (std::uint16_t extra : kLockVariants)
            other.grabL(kLockChordMask | extra, false);
    };
    otherTakesAll([&] { EXPECT_EQ(grabber.grab(kLockChord), GrabResult::Taken); });

    EXPECT_EQ(grabber.grab(kLockChord), GrabResult::Ok);
    EXPECT_EQ(other.grabL(kLockChordMask), 10); // BadAccess: now ours
    grabber.ungrab(kLockChord);
    otherTakesAll([] {});
}

TEST_F(X11KeyGrabberTest, RecordingTheBoundChordRecordsItInsteadOfLocking)
{
    QTemporaryDir dir;
    Settings settings(dir.filePath("wardlatch.conf"));
    ShortcutBinder binder(settings, grabber);
    binder.registerDefaultShortcuts({{keys::HotKey, kLockChord}});
    int locks = 0;
    binder.bindShortcutWithDefaultsKey(keys::HotKey, [&] { ++locks; });

    ShortcutRecorder recorder;
    recorder.setBinder(binder);
    recorder.setAssociatedUserDefaultsKey(keys::HotKey);
    recorder.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&recorder));
    recorder.startRecording();
    const auto typeChord = [] { return QProcess::execute("xdotool", {"key", "ctrl+alt+super+l"}); };
    ASSERT_EQ(typeChord(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.isRecording(); }, 5000));
    EXPECT_EQ(locks, 0);
    EXPECT_EQ(settings.stringForKey(keys::HotKey), "Meta+Ctrl+Alt+L");

    // Once the server has handled the keyboard grab given back, the chord locks again even with
    // the recorder still focused.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    ASSERT_EQ(typeChord(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return locks == 1; }, 5000));
}

// Qt on XWayland: an X11 grab is granted but sees only keys typed into X11 windows. Nothing
// pretends to be bound, and the user hears once where to bind a lock key instead.
TEST(ShortcutOnXWayland, NoChordPretendsToWorkAndTheUserHearsWhereToBindOne)
{
    qputenv("WAYLAND_DISPLAY", "wayland-x");
    const auto x11Again = qScopeGuard([] { qunsetenv("WAYLAND_DISPLAY"); });
    test::LogCapture logs;
    X11KeyGrabber x11;
    EXPECT_EQ(x11.grab(kLockChord), GrabResult::Unavailable);
    EXPECT_EQ(logs.count(QStringLiteral("No global shortcut is available in this session: bind "
                                        "\u201cwardlatch --lock\u201d to a key in the desktop's "
                                        "keyboard settings")),
              1);
}

} // namespace
