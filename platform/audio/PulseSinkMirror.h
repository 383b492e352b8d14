// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/audio/AudioHardware.h"
#include "platform/audio/AudioListenerRegistry.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace wl {

inline constexpr AudioObjectPropertyAddress kPulseDefaultOutputAddress{
    audio::kDefaultOutputDevice, audio::kScopeGlobal, audio::kElementMain};
inline constexpr AudioObjectPropertyAddress kPulseDataSourceAddress{
    audio::kDataSource, audio::kScopeOutput, audio::kElementMain};

// The server's sinks and default sink as last read, with the ids handed out for sink names
// and the listeners told of changes. The connection feeds it on the audio thread; reads take
// its mutex from any thread and never wait on the server.
class PulseSinkMirror
{
public:
    PulseSinkMirror() = default;
    PulseSinkMirror(const PulseSinkMirror&) = delete;
    PulseSinkMirror& operator=(const PulseSinkMirror&) = delete;

    // --- any thread -------------------------------------------------------------------

    AudioListenerRegistry& listeners() { return m_listeners; }

    // Whether the server's state is mirrored now (connected and first state read).
    bool isSynchronized() const;
    // Waits at most wait for the first connection attempt to end one way or the other.
    void waitForFirstState(std::chrono::milliseconds wait);
    // Whether id names a sink this process has seen; ids are never taken back.
    bool knowsObject(AudioObjectID id) const;
    // The default output device: kNotRunning with no server (or not yet read), kBadObject
    // with a server but no default output now.
    AudioStatus readDefaultOutput(AudioObjectID& id);
    // The data source of a sink: kBadObject when it is gone (or there is no connection),
    // kUnknownProperty when it has no active port.
    AudioStatus readDataSource(AudioObjectID id, quint32& source) const;

    // --- audio thread only ------------------------------------------------------------

    // The connection is ready: subscribe has been asked for, the first state is read now.
    void serverReady(pa_context* context);
    // Every sink that was there is gone for its listeners; reads fail until the next sync.
    void serverLost();
    void serverEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index);
    // The context is let go: its listings will not answer.
    void dropRounds() { m_rounds.clear(); }

private:
    struct Sink
    {
        uint32_t index;
        quint32 source; // 0: no active port
    };
    // One listing of every sink; sinks it does not name are gone.
    struct ListRound
    {
        PulseSinkMirror* mirror;
        bool initial;
        std::set<std::string> seen;
    };

    AudioObjectID idForLocked(const std::string& name);
    const std::string* nameForLocked(AudioObjectID id) const;
    // The default output device as a read would give it now; 0 when it cannot be read.
    AudioObjectID readableDefaultLocked();
    void announceFirstStateLocked();
    void announceDefault();
    void notifyDataSource(const std::vector<AudioObjectID>& changed);

    void syncStepDone();
    void requestSinkList(pa_context* context, bool initial);
    void applySink(const pa_sink_info& info);
    void sinkRemoved(uint32_t index);
    void dropUnseen(const std::set<std::string>& seen);
    template <typename Gone> void dropSinks(Gone isGone);

    static void onServerInfo(pa_context*, const pa_server_info* info, void* data);
    static void onServerInfoFirst(pa_context* c, const pa_server_info* info, void* data);
    static void onSinkListed(pa_context*, const pa_sink_info* info, int eol, void* data);
    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* data);

    // Audio thread only.
    int m_pendingSync = 0;
    std::vector<std::unique_ptr<ListRound>> m_rounds;

    // Any thread, under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_firstState;
    // The first connection attempt ended one way or the other. Written under m_mutex; atomic
    // as well, since g++ 12's ThreadSanitizer does not see the mutex taken back inside
    // wait_for.
    std::atomic<bool> m_stateKnown{false};
    bool m_synced = false;
    std::string m_defaultSink;
    // The default output device as last announced to its listeners; 0 none.
    AudioObjectID m_announcedDefault = 0;
    std::map<std::string, Sink> m_sinks;
    std::map<std::string, AudioObjectID> m_ids;
    std::vector<std::string> m_names; // by id - kFirstDeviceId

    AudioListenerRegistry m_listeners;
};

} // namespace wl
