// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

namespace wl {

// Locks the user's own session or starts the screen saver. Both calls return at once, from any
// thread; the request is on its way when they return. A lock that cannot be confirmed is
// logged by the implementation.
class SessionLocker
{
public:
    // lockRequest: a lock (not a screen saver start); confirmed: something showed it happened.
    using OutcomeHandler = std::function<void(bool lockRequest, bool confirmed)>;

    virtual ~SessionLocker() = default;
    virtual void lockScreenImmediate() = 0;
    virtual void startScreenSaver() = 0;
    // Hears how each request ended, on the main thread; a locker that cannot tell never calls it.
    virtual void setOutcomeHandler(OutcomeHandler handler) { (void)handler; }
};

} // namespace wl
