// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMutex>

#include <deque>
#include <functional>

namespace wl {

class SessionLocker;
class Settings;

// What asked for a lock, for the log.
enum class LockTrigger
{
    KeyDevice,
    Shortcut,
    CommandLine,
    Menu
};

// The lock action: locks the session or starts the screen saver, by "UseScreenSaver" read at
// each trigger, and hears how each request ended. Takes the locker's outcomes for as long as it
// lives.
class LockAction
{
public:
    // finished hears every outcome the locker reports, on the main thread.
    LockAction(Settings& settings, SessionLocker& locker,
               std::function<void(bool confirmed)> finished = {});
    ~LockAction();
    LockAction(const LockAction&) = delete;
    LockAction& operator=(const LockAction&) = delete;

    // Any thread. done, if set, hears on the main thread whether this request was confirmed (if
    // the locker can tell).
    void lockIt(LockTrigger trigger = LockTrigger::KeyDevice,
                std::function<void(bool confirmed)> done = {});

private:
    void outcome(bool lockRequest, bool confirmed);

    Settings& m_settings;
    SessionLocker& m_locker;
    std::function<void(bool)> m_finished;
    // Who waits for the outcome of each request, oldest first; empty entries for requests nobody
    // waits for.
    QMutex m_mutex;
    std::deque<std::function<void(bool)>> m_waiters;
};

} // namespace wl
