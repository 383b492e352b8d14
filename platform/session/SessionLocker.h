#pragma once

namespace wl {

// Locks the user's own session or starts the screen saver. Both calls return at once, from any
// thread; the request is on its way when they return. A lock that cannot be confirmed is
// logged by the implementation.
class SessionLocker
{
public:
    virtual ~SessionLocker() = default;
    virtual void lockScreenImmediate() = 0;
    virtual void startScreenSaver() = 0;
};

} // namespace wl
