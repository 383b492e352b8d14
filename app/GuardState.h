// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <optional>

namespace wl {

// What the key device watch is doing, as the watchers and the settings tell it.
struct KeyDeviceFacts
{
    enum class Choice
    {
        None,
        Usb,
        Headphones
    };
    Choice choice = Choice::None;
    QString name;         // the chosen name, as the panel shows it
    bool watched = false; // a removal watch is in force (USB) or an output is watched (audio)
    bool present = false; // the USB device is attached, or the watched output plays on headphones
    friend bool operator==(const KeyDeviceFacts&, const KeyDeviceFacts&) = default;
};

// The guard's state, computed in one place from the key device facts, the pause and the last
// lock's outcome. Every view (tooltip, tray status, panel line, command line) reads it; it changes
// on events only. Main thread, except isPaused().
class GuardState : public QObject
{
    Q_OBJECT
public:
    enum class Kind
    {
        NothingChosen, // no key device: nothing locks but the shortcut
        Guarding,      // the key device is there and watched: taking it away locks
        NotConnected,  // chosen and watched, but not there now
        CannotWatch,   // chosen, but no watch could be set up (no audio output, registry refused)
        Paused,        // the key device does not lock until the pause ends
    };
    struct Snapshot
    {
        Kind kind = Kind::NothingChosen;
        KeyDeviceFacts facts;
        bool paused = false; // also with nothing chosen, where there is nothing to pause
        std::optional<QDateTime> pausedUntil; // while paused; none: until resumed
        bool lastLockUnconfirmed = false;

        bool guarding() const { return kind == Kind::Guarding; }
        // Not guarding, or locks are failing.
        bool needsAttention() const { return !guarding() || lastLockUnconfirmed; }
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    explicit GuardState(QObject* parent = nullptr);

    Snapshot snapshot() const { return m_snapshot; }
    // One or two plain sentences for the tooltip, the panel's status line and --status.
    QString description() const { return describe(m_snapshot); }
    static QString describe(const Snapshot& snapshot);

    void setFacts(const KeyDeviceFacts& facts);
    // Pauses the key device for duration, or until resume() without one. Ends by itself.
    void pause(std::optional<std::chrono::milliseconds> duration);
    void resume();
    // Whether a key device's removal must not lock now. Any thread.
    bool isPaused() const { return m_paused.load(); }
    // The outcome of a lock request: an unconfirmed one is shown until a lock is confirmed.
    void lockFinished(bool confirmed);

Q_SIGNALS:
    void changed();
    // The pause ran out by itself (not by resume()).
    void pauseEnded();

private:
    void update();

    KeyDeviceFacts m_facts;
    bool m_pausedFlag = false;
    std::optional<QDateTime> m_pausedUntil;
    bool m_lastLockUnconfirmed = false;
    std::atomic<bool> m_paused{false};
    QTimer m_pauseTimer;
    Snapshot m_snapshot;
};

} // namespace wl
