// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/audio/AudioHardware.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace wl {

// The property listeners of one audio layer. An identical registration is kept once; one
// removal ends it. Calls happen one at a time, with no lock held that a listener could need:
// a listener may read properties, add or remove listeners. A removal made on another thread
// while a call is in progress returns after that call, so the client data it named is free.
class AudioListenerRegistry
{
public:
    // False when the same registration is already in force (it stays one).
    bool add(AudioObjectID object, const AudioObjectPropertyAddress& address,
             AudioObjectPropertyListenerProc listener, void* clientData);
    // False when no such registration was in force.
    bool remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                AudioObjectPropertyListenerProc listener, void* clientData);

    // Calls every listener registered on (object, address), on the calling thread.
    // Returns how many were called.
    int notify(AudioObjectID object, const AudioObjectPropertyAddress& address);

    bool isRegistered(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    size_t size() const;

private:
    struct Entry
    {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc listener;
        void* clientData;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    bool contains(const Entry& entry) const; // m_mutex held

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    // Held for the whole of a notify; a remover on another thread passes through it.
    std::recursive_mutex m_dispatchMutex;
    std::atomic<std::thread::id> m_dispatchThread{};
};

} // namespace wl
