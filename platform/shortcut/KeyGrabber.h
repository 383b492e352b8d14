// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/Shortcut.h"

#include <functional>

namespace wl {

// A system-wide key grab: while a chord is grabbed, pressing it anywhere in the session calls
// the pressed handler once per press (held keys do not repeat it). Where the desktop decides a
// grab later (it may ask the user first), grab answers Ok and the outcome follows through the
// status handler; so does a grab that stops working.
class KeyGrabber
{
public:
    enum class GrabResult
    {
        Ok,
        Taken,       // another program holds the chord
        Unavailable, // no way to grab keys in this session, or a key with no key code here
    };
    using PressedHandler = std::function<void(const Shortcut&)>;
    using StatusHandler = std::function<void(const Shortcut&, GrabResult)>;

    virtual ~KeyGrabber() = default;

    // Either the whole chord is grabbed or nothing is.
    virtual GrabResult grab(const Shortcut& shortcut) = 0;
    virtual void ungrab(const Shortcut& shortcut) = 0;

    void setPressedHandler(PressedHandler handler) { m_pressed = std::move(handler); }
    void setStatusHandler(StatusHandler handler) { m_status = std::move(handler); }

    // False while this session is known to offer no global shortcut at all, whatever the chord:
    // every grab then answers Unavailable, and only the desktop's own keyboard settings can
    // start a lock from a key.
    bool sessionHasGlobalShortcuts() const { return !m_noneInSession; }

protected:
    void notifyPressed(const Shortcut& shortcut)
    {
        if (m_pressed)
            m_pressed(shortcut);
    }
    void notifyStatus(const Shortcut& shortcut, GrabResult result)
    {
        if (m_status)
            m_status(shortcut, result);
    }
    // Called before the status handler hears of the grabs it affects, so that it sees the new
    // state. The first time, the log says where the user can bind a lock key instead.
    void setNoGlobalShortcuts(bool none);

private:
    PressedHandler m_pressed;
    StatusHandler m_status;
    bool m_noneInSession = false;
    bool m_noneLogged = false;
};

} // namespace wl
