#pragma once

#include "platform/shortcut/Shortcut.h"

#include <functional>

namespace wl {

// A system-wide key grab: while a chord is grabbed, pressing it anywhere in the session calls
// the pressed handler once per press (held keys do not repeat it).
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

    virtual ~KeyGrabber() = default;

    // Either the whole chord is grabbed or nothing is.
    virtual GrabResult grab(const Shortcut& shortcut) = 0;
    virtual void ungrab(const Shortcut& shortcut) = 0;

    void setPressedHandler(PressedHandler handler) { m_pressed = std::move(handler); }

protected:
    void notifyPressed(const Shortcut& shortcut)
    {
        if (m_pressed)
            m_pressed(shortcut);
    }

private:
    PressedHandler m_pressed;
};

} // namespace wl
