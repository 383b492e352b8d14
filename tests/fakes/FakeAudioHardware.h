// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/audio/AudioHardware.h"
#include "platform/audio/AudioListenerRegistry.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace wl::test {

// An audio system in memory. Changes made by the test are announced to listeners on a thread
// of the fake's own, as a real audio system does; reads answer at once from any thread.
class FakeAudioHardware : public AudioHardware
{
public:
    static constexpr AudioObjectPropertyAddress kSourceAddress{
        audio::kDataSource, audio::kScopeOutput, audio::kElementMain};
    static constexpr AudioObjectPropertyAddress kDefaultAddress{
        audio::kDefaultOutputDevice, audio::kScopeGlobal, audio::kElementMain};

    FakeAudioHardware() : m_thread([this](std::stop_token stop) { run(stop); }) {}

    // The default output device (0: no audio server) and what a device plays through (0: the
    // read fails). The change versions also announce it on the fake's thread.
    void setDefaultOutputDevice(AudioObjectID device) { set(audio::kSystemObject, device, false); }
    void changeDefaultOutputDevice(AudioObjectID device)
    {
        set(audio::kSystemObject, device, true);
    }
    void presetDataSource(AudioObjectID device, quint32 source) { set(device, source, false); }
    void changeDataSource(AudioObjectID device, quint32 source) { set(device, source, true); }

    // Waits until every announcement made so far has been delivered.
    bool waitForDelivery()
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return m_queue.empty() && !m_busy; });
    }

    size_t registrations() const { return m_listeners.size(); }
    // Data-source listener removals asked for, also of none in force.
    int sourceRemovals() const { return m_sourceRemovals; }
    bool isRegistered(AudioObjectID device) const
    {
        return m_listeners.isRegistered(device, kSourceAddress);
    }

    AudioStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress& inAddress, quint32,
                                           const void*, quint32* ioDataSize, void* outData) override
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_values.find(inObjectID);
        const bool system = inObjectID == audio::kSystemObject;
        if (it == m_values.end() || it->second == 0 ||
            inAddress != (system ? kDefaultAddress : kSourceAddress))
            return system ? audio::kNotRunning : audio::kBadObject; // outData untouched
        std::memcpy(outData, &it->second, sizeof it->second);
        *ioDataSize = sizeof it->second;
        return audio::kNoError;
    }
    AudioStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                               const AudioObjectPropertyAddress& inAddress,
                                               AudioObjectPropertyListenerProc inListener,
                                               void* inClientData) override
    {
        m_listeners.add(inObjectID, inAddress, inListener, inClientData);
        return audio::kNoError;
    }
    AudioStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress& inAddress,
                                                  AudioObjectPropertyListenerProc inListener,
                                                  void* inClientData) override
    {
        m_sourceRemovals += inAddress == kSourceAddress;
        m_listeners.remove(inObjectID, inAddress, inListener, inClientData);
        return audio::kNoError;
    }

private:
    // The system object holds the default output device, any other its data source.
    void set(AudioObjectID object, quint32 value, bool announce)
    {
        {
            std::lock_guard lock(m_mutex);
            m_values[object] = value;
            if (announce)
                m_queue.push_back(object);
        }
        m_changed.notify_all();
    }

    void run(std::stop_token stop)
    {
        std::unique_lock lock(m_mutex);
        while (m_changed.wait(lock, stop, [&] { return !m_queue.empty(); })) {
            const AudioObjectID object = m_queue.front();
            m_queue.pop_front();
            m_busy = true;
            lock.unlock();
            m_listeners.notify(object,
                               object == audio::kSystemObject ? kDefaultAddress : kSourceAddress);
            lock.lock();
            m_busy = false;
            m_changed.notify_all();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable_any m_changed; // announcements made or delivered
    std::map<AudioObjectID, quint32> m_values;
    std::deque<AudioObjectID> m_queue;
    bool m_busy = false;
    std::atomic<int> m_sourceRemovals{0};
    AudioListenerRegistry m_listeners;
    std::jthread m_thread; // last: starts when everything above exists, ends first
};

} // namespace wl::test
