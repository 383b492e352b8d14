// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/KeyGrabber.h"

#include <QAbstractNativeEventFilter>
#include <QList>

#include <cstdint>

struct xcb_connection_t;
struct _XCBKeySymbols; // xcb_key_symbols_t

namespace wl {

// Grabs chords on the root windows of the application's X11 connection. A grab covers the four
// variants of Caps Lock and Num Lock, so the chord works whatever their state; presses arrive
// through the application's native event filter. Without an X11 connection (Wayland, offscreen),
// or on XWayland, where a grab sees only keys typed into X11 windows, it logs once and every
// grab reports Unavailable.
class X11KeyGrabber : public KeyGrabber, public QAbstractNativeEventFilter
{
public:
    // Needs the application object: without one it finds no connection.
    X11KeyGrabber();
    ~X11KeyGrabber() override;
    X11KeyGrabber(const X11KeyGrabber&) = delete;
    X11KeyGrabber& operator=(const X11KeyGrabber&) = delete;

    // An X11 connection whose grabs see the desktop's keys (not XWayland's).
    bool hasConnection() const { return m_connection != nullptr; }
    // Whether the application talks to an X server at all.
    static bool applicationHasConnection();
    // Whether the desktop session is Wayland, whatever platform Qt runs on.
    static bool waylandSession();

    GrabResult grab(const Shortcut& shortcut) override;
    void ungrab(const Shortcut& shortcut) override;

    // Key presses of grabbed chords seen, autorepeats included.
    int rawPressCount() const { return m_rawPresses; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    // X keysym of a Qt key, 0 when there is none.
    static std::uint32_t keysymForKey(Qt::Key key);
    // X modifier mask (Shift, Control, Mod1, Mod4) of Qt modifiers.
    static std::uint16_t modifierMaskFor(Qt::KeyboardModifiers modifiers);

private:
    struct Grab
    {
        Shortcut shortcut;
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
        bool held = false;
        std::uint32_t pressTime = 0;
        std::uint32_t releaseTime = 0;
    };

    bool connectionStillOurs() const;
    QList<std::uint32_t> queryRoots() const;
    void ungrabKeycode(std::uint8_t keycode, std::uint16_t modifiers, bool waitForServer);

    xcb_connection_t* m_connection = nullptr;
    _XCBKeySymbols* m_keySymbols = nullptr;
    QList<std::uint32_t> m_roots;
    QList<Grab> m_grabs;
    int m_rawPresses = 0;
};

} // namespace wl
