// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/audio/AudioHardware.h"
#include "platform/audio/AudioListenerRegistry.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace wl::test {

// An audio system in memory. Changes made by the test are announced to listeners on a thread
// of the fake's own, as a real audio system does; reads answer at once from any thread.
class FakeAudioHardware : public AudioHardware
{
public:
    struct Request
    {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc listener;
        void* clientData;
    };

    static constexpr AudioObjectPropertyAddress kSourceAddress{
        audio::kDataSource, audio::kScopeOutput, audio::kElementMain};
    static constexpr AudioObjectPropertyAddress kDefaultAddress{
        audio::kDefaultOutputDevice, audio::kScopeGlobal, audio::kElementMain};

    FakeAudioHardware() : m_thread([this] { run(); }) {}
    ~FakeAudioHardware() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    // 0: no audio server, so the default output device cannot be read.
    void setDefaultOutputDevice(AudioObjectID device)
    {
        std::lock_guard lock(m_mutex);
        m_defaultDevice = device;
    }

    // Sets the default output device and announces the change on the fake's thread.
    void changeDefaultOutputDevice(AudioObjectID device)
    {
        {
            std::lock_guard lock(m_mutex);
            m_defaultDevice = device;
            m_queue.push_back({audio::kSystemObject, kDefaultAddress});
            ++m_announced;
        }
        m_wake.notify_all();
    }

    // Sets what the device plays through (0: the read fails) without telling anyone.
    void presetDataSource(AudioObjectID device, quint32 source)
    {
        std::lock_guard lock(m_mutex);
        m_sources[device] = source;
    }

    // Sets the data source and announces the change on the fake's thread.
    void changeDataSource(AudioObjectID device, quint32 source)
    {
        {
            std::lock_guard lock(m_mutex);
            m_sources[device] = source;
            m_queue.push_back({device, kSourceAddress});
            ++m_announced;
        }
        m_wake.notify_all();
    }

    // Waits until every announcement made so far has been delivered.
    bool waitForDelivery(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_mutex);
        return m_deliveredCv.wait_for(lock, timeout, [&] { return m_delivered == m_announced; });
    }

    std::vector<Request> addRequests() const
    {
        std::lock_guard lock(m_mutex);
        return m_adds;
    }
    std::vector<Request> removeRequests() const
    {
        std::lock_guard lock(m_mutex);
        return m_removes;
    }
    size_t registrations() const { return m_listeners.size(); }
    bool isRegistered(AudioObjectID device) const
    {
        return m_listeners.isRegistered(device, kSourceAddress);
    }
    bool followsDefault() const
    {
        return m_listeners.isRegistered(audio::kSystemObject, kDefaultAddress);
    }
    // The requests for data-source listeners alone.
    static std::vector<Request> onSources(const std::vector<Request>& requests)
    {
        std::vector<Request> kept;
        for (const Request& r : requests) {
            if (r.address == kSourceAddress)
                kept.push_back(r);
        }
        return kept;
    }
    std::thread::id notificationThread() const { return m_thread.get_id(); }

    AudioStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress& inAddress, quint32,
                                           const void*, quint32* ioDataSize, void* outData) override
    {
        if (!ioDataSize || *ioDataSize < sizeof(quint32) || !outData)
            return audio::kBadPropertySize;
        quint32 value = 0;
        {
            std::lock_guard lock(m_mutex);
            if (inObjectID == audio::kSystemObject && inAddress == kDefaultAddress) {
                if (m_defaultDevice == 0)
                    return audio::kNotRunning;
                value = m_defaultDevice;
            } else if (inObjectID != audio::kNoObject && inAddress == kSourceAddress) {
                const auto it = m_sources.find(inObjectID);
                value = it == m_sources.end() ? 0 : it->second;
            }
        }
        if (value == 0)
            return audio::kBadObject; // outData untouched
        std::memcpy(outData, &value, sizeof value);
        *ioDataSize = sizeof value;
        return audio::kNoError;
    }

    AudioStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                               const AudioObjectPropertyAddress& inAddress,
                                               AudioObjectPropertyListenerProc inListener,
                                               void* inClientData) override
    {
        record(m_adds, {inObjectID, inAddress, inListener, inClientData});
        m_listeners.add(inObjectID, inAddress, inListener, inClientData);
        return audio::kNoError;
    }

    AudioStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress& inAddress,
                                                  AudioObjectPropertyListenerProc inListener,
                                                  void* inClientData) override
    {
        record(m_removes, {inObjectID, inAddress, inListener, inClientData});
        m_listeners.remove(inObjectID, inAddress, inListener, inClientData);
        return audio::kNoError;
    }

private:
    void record(std::vector<Request>& requests, const Request& request)
    {
        std::lock_guard lock(m_mutex);
        requests.push_back(request);
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            const auto [object, address] = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            m_listeners.notify(object, address);
            lock.lock();
            ++m_delivered;
            m_deliveredCv.notify_all();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_deliveredCv;
    AudioObjectID m_defaultDevice = 0;
    std::map<AudioObjectID, quint32> m_sources;
    std::deque<std::pair<AudioObjectID, AudioObjectPropertyAddress>> m_queue;
    quint64 m_announced = 0;
    quint64 m_delivered = 0;
    bool m_stopping = false;
    std::vector<Request> m_adds;
    std::vector<Request> m_removes;
    AudioListenerRegistry m_listeners;
    std::thread m_thread; // last: starts when everything above exists
};

} // namespace wl::test
