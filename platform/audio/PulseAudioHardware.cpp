// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/PulseAudioHardware.h"

#include "platform/audio/AudioListenerRegistry.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace wl {

namespace {

constexpr AudioObjectPropertyAddress kDefaultOutputAddress{
    audio::kDefaultOutputDevice, audio::kScopeGlobal, audio::kElementMain};
constexpr AudioObjectPropertyAddress kDataSourceAddress{audio::kDataSource, audio::kScopeOutput,
                                                        audio::kElementMain};
constexpr AudioObjectID kFirstDeviceId = 2; // 0 names nothing, 1 is the system object

// A socket can appear a moment before its server listens: try again soon after.
constexpr std::chrono::milliseconds kRetryAfterSocket{50};

// The local socket a connection goes to, as the client library finds it; nothing when the
// server is remote or given as a list.
std::optional<std::string> localServerSocket()
{
    if (const char* server = std::getenv("PULSE_SERVER"); server && *server) {
        std::string_view address(server);
        if (address.substr(0, 5) == "unix:")
            address.remove_prefix(5);
        if (address.empty() || address.front() != '/' ||
            address.find_first_of(" \t") != std::string_view::npos)
            return std::nullopt;
        return std::string(address);
    }
    if (const char* runtime = std::getenv("PULSE_RUNTIME_PATH"); runtime && *runtime)
        return std::string(runtime) + "/native";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/pulse/native";
    return std::nullopt;
}

// The folder part and the last name of a path ("/run/user/1000/pulse", "native").
std::pair<std::string, std::string> splitPath(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

quint32 sourceForPortName(const QString& name)
{
    const QString n = name.toLower();
    if (n.contains(QLatin1String("headphone")) || n.contains(QLatin1String("headset")))
        return audio::kSourceHeadphones;
    if (n.contains(QLatin1String("speaker")))
        return audio::kSourceInternalSpeaker;
    return audio::kSourceOther;
}

} // namespace

quint32 dataSourceForSink(std::span<const SinkPortRecord> ports, const QString& activePort,
                          const QString& formFactor)
{
    // USB and Bluetooth headsets are outputs of their own, often with one generic port.
    const bool worn = formFactor == QLatin1String("headphone") ||
                      formFactor == QLatin1String("headset") ||
                      formFactor == QLatin1String("hands-free");
    const auto it = std::find_if(ports.begin(), ports.end(),
                                 [&](const SinkPortRecord& p) { return p.name == activePort; });
    if (activePort.isEmpty() || it == ports.end())
        return worn ? audio::kSourceHeadphones : 0;
    quint32 source = audio::kSourceOther;
    switch (it->type) {
    case PA_DEVICE_PORT_TYPE_HEADPHONES:
    case PA_DEVICE_PORT_TYPE_HEADSET:
        source = audio::kSourceHeadphones;
        break;
    case PA_DEVICE_PORT_TYPE_SPEAKER:
        source = audio::kSourceInternalSpeaker;
        break;
    case PA_DEVICE_PORT_TYPE_UNKNOWN:
        source = sourceForPortName(it->name);
        break;
    default:
        break;
    }
    if (worn && source == audio::kSourceOther)
        source = audio::kSourceHeadphones;
    // A jack port can stay active after its plug is pulled (no other port to switch to):
    // that is not headphones.
    if (source == audio::kSourceHeadphones && it->available == PA_PORT_AVAILABLE_NO)
        source = audio::kSourceOther;
    return source;
}

struct PulseAudioHardware::Private
{
    struct Sink
    {
        uint32_t index;
        quint32 source; // 0: no active port
    };
    // One listing of every sink; sinks it does not name are gone.
    struct ListRound
    {
        Private* d;
        bool initial;
        std::set<std::string> seen;
    };

    // Audio thread only (or with the loop locked).
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_time_event* retry = nullptr;
    PulseRetry retryPolicy;
    std::chrono::milliseconds backoff{100};
    bool connected = false;
    // The local server's socket, watched so that a server starting is noticed at once. The
    // folder is watched for the socket, its parent for the folder.
    struct SocketWatch
    {
        int fd = -1;
        pa_io_event* event = nullptr;
        std::string folder, name, parent, folderName;
        int folderWatch = -1;
        int parentWatch = -1;
    } watch;
    int pendingSync = 0;
    std::vector<std::unique_ptr<ListRound>> rounds;

    // The mirror: any thread, under mutex.
    mutable std::mutex mutex;
    std::condition_variable firstState;
    // The first connection attempt ended one way or the other. Written under mutex; atomic as
    // well, since g++ 12's ThreadSanitizer does not see the mutex taken back inside wait_for.
    std::atomic<bool> stateKnown{false};
    bool synced = false;
    std::string defaultSink;
    // The default output device as last announced to its listeners; 0 none.
    AudioObjectID announcedDefault = 0;
    std::map<std::string, Sink> sinks;
    std::map<std::string, AudioObjectID> ids;
    std::vector<std::string> names; // by id - kFirstDeviceId

    AudioListenerRegistry listeners;

    AudioObjectID idForLocked(const std::string& name)
    {
        const auto it = ids.find(name);
        if (it != ids.end())
            return it->second;
        const AudioObjectID id = kFirstDeviceId + AudioObjectID(names.size());
        ids.emplace(name, id);
        names.push_back(name);
        return id;
    }
    const std::string* nameForLocked(AudioObjectID id) const
    {
        if (id < kFirstDeviceId || id - kFirstDeviceId >= names.size())
            return nullptr;
        return &names[id - kFirstDeviceId];
    }

    void notifyDataSource(const std::vector<AudioObjectID>& changed)
    {
        for (AudioObjectID id : changed)
            listeners.notify(id, kDataSourceAddress);
    }

    // The default output device as a read would give it now; 0 when it cannot be read.
    AudioObjectID readableDefaultLocked()
    {
        if (!synced || defaultSink.empty() || !sinks.contains(defaultSink))
            return 0;
        return idForLocked(defaultSink);
    }

    // Tells the default output's listeners when what a read gives has changed: the server
    // came, went, or named another default sink, or that sink came or went.
    void announceDefault()
    {
        {
            std::lock_guard lock(mutex);
            const AudioObjectID now = readableDefaultLocked();
            if (now == announcedDefault)
                return;
            announcedDefault = now;
        }
        listeners.notify(audio::kSystemObject, kDefaultOutputAddress);
    }

    void announceFirstState()
    {
        // mutex held
        if (!stateKnown) {
            stateKnown = true;
            firstState.notify_all();
        }
    }

    // --- connection -------------------------------------------------------------------

    void connect()
    {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        context = pa_context_new(api, "Wardlatch");
        if (!context) {
            scheduleRetry();
            return;
        }
        pa_context_set_state_callback(context, &Private::onState, this);
        pa_context_set_subscribe_callback(context, &Private::onEvent, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            connectionLost();
    }

    void dropContext()
    {
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
        rounds.clear();
    }

    void scheduleRetry()
    {
        if (retry)
            return;
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        timeval when{};
        pa_gettimeofday(&when);
        const bool watching = watch.folderWatch >= 0 || watch.parentWatch >= 0;
        const auto wait = watching ? backoff : std::min(backoff, retryPolicy.longestBlind);
        pa_timeval_add(&when, pa_usec_t(wait.count()) * PA_USEC_PER_MSEC);
        retry = api->time_new(api, &when, &Private::onRetry, this);
        backoff = std::min(backoff * 2, std::max(retryPolicy.longest, backoff));
    }

    // --- the local socket ---------------------------------------------------------------

    void watchSocket()
    {
        const std::optional<std::string> socket = localServerSocket();
        if (!socket)
            return;
        watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch.fd < 0)
            return;
        std::tie(watch.folder, watch.name) = splitPath(*socket);
        std::tie(watch.parent, watch.folderName) = splitPath(watch.folder);
        watch.parentWatch =
            inotify_add_watch(watch.fd, watch.parent.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        watchFolder();
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        watch.event = api->io_new(api, watch.fd, PA_IO_EVENT_INPUT, &Private::onSocketWatch, this);
    }

    void watchFolder()
    {
        if (watch.folderWatch < 0)
            watch.folderWatch = inotify_add_watch(watch.fd, watch.folder.c_str(),
                                                  IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
    }

    void unwatchSocket()
    {
        if (watch.event)
            pa_threaded_mainloop_get_api(loop)->io_free(watch.event);
        if (watch.fd >= 0)
            ::close(watch.fd);
        watch = SocketWatch{};
    }

    static void onSocketWatch(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                              void* data)
    {
        auto* d = static_cast<Private*>(data);
        alignas(inotify_event) char buffer[4096];
        bool appeared = false;
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + e->len);
                const std::string_view name = e->len ? std::string_view(e->name) : "";
                if (e->mask & IN_Q_OVERFLOW) {
                    appeared = true; // events were lost: look anyway
                } else if (e->mask & IN_IGNORED) {
                    // The folder went away; its parent reports it coming back.
                    if (e->wd == d->watch.folderWatch)
                        d->watch.folderWatch = -1;
                } else if (e->wd == d->watch.parentWatch && name == d->watch.folderName) {
                    d->watchFolder();
                    appeared = true; // the socket may be in it already
                } else if (e->wd == d->watch.folderWatch && name == d->watch.name) {
                    appeared = true;
                }
            }
        }
        if (appeared)
            d->serverMayBeBack();
    }

    // A socket turned up where the server listens: try now, and soon again if it was early.
    void serverMayBeBack()
    {
        if (connected)
            return;
        backoff = kRetryAfterSocket;
        if (retry) {
            pa_threaded_mainloop_get_api(loop)->time_free(retry);
            retry = nullptr;
            dropContext();
            connect();
        }
        // Otherwise an attempt is under way; should it fail, the retry comes soon.
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data)
    {
        auto* d = static_cast<Private*>(data);
        api->time_free(event);
        d->retry = nullptr;
        d->dropContext();
        d->connect();
    }

    static void onState(pa_context* c, void* data)
    {
        auto* d = static_cast<Private*>(data);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            d->connected = true;
            d->backoff = d->retryPolicy.first;
            pa_operation_unref(pa_context_subscribe(
                c,
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER |
                                       PA_SUBSCRIPTION_MASK_CARD),
                nullptr, nullptr));
            d->pendingSync = 2;
            pa_operation_unref(pa_context_get_server_info(c, &Private::onServerInfoFirst, d));
            d->requestSinkList(true);
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            d->connectionLost();
            break;
        default:
            break;
        }
    }

    // Every sink that was there is gone for its listeners; reads fail until the next sync.
    void connectionLost()
    {
        connected = false;
        std::vector<AudioObjectID> gone;
        {
            std::lock_guard lock(mutex);
            for (const auto& entry : sinks)
                gone.push_back(idForLocked(entry.first));
            sinks.clear();
            defaultSink.clear();
            synced = false;
            announceFirstState();
        }
        notifyDataSource(gone);
        announceDefault();
        // The context is let go from the retry, never inside its own callback.
        scheduleRetry();
    }

    void syncStepDone()
    {
        if (pendingSync == 0 || --pendingSync != 0)
            return;
        {
            std::lock_guard lock(mutex);
            synced = true;
            announceFirstState();
        }
        announceDefault();
    }

    // --- server events ----------------------------------------------------------------

    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                        void* data)
    {
        auto* d = static_cast<Private*>(data);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SINK:
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE)
                d->sinkRemoved(index);
            else
                pa_operation_unref(
                    pa_context_get_sink_info_by_index(c, index, &Private::onSink, d));
            break;
        case PA_SUBSCRIPTION_EVENT_SERVER:
            pa_operation_unref(pa_context_get_server_info(c, &Private::onServerInfo, d));
            break;
        case PA_SUBSCRIPTION_EVENT_CARD:
            // Jack and profile changes: read every sink again.
            d->requestSinkList(false);
            break;
        default:
            break;
        }
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* data)
    {
        auto* d = static_cast<Private*>(data);
        if (!info)
            return;
        {
            std::lock_guard lock(d->mutex);
            d->defaultSink = info->default_sink_name ? info->default_sink_name : "";
            if (!d->defaultSink.empty())
                d->idForLocked(d->defaultSink);
        }
        d->announceDefault();
    }

    static void onServerInfoFirst(pa_context* c, const pa_server_info* info, void* data)
    {
        onServerInfo(c, info, data);
        static_cast<Private*>(data)->syncStepDone();
    }

    void requestSinkList(bool initial)
    {
        rounds.push_back(std::make_unique<ListRound>(ListRound{this, initial, {}}));
        pa_operation_unref(
            pa_context_get_sink_info_list(context, &Private::onSinkListed, rounds.back().get()));
    }

    static void onSinkListed(pa_context*, const pa_sink_info* info, int eol, void* data)
    {
        auto* round = static_cast<ListRound*>(data);
        Private* d = round->d;
        if (eol == 0 && info) {
            round->seen.insert(info->name);
            d->applySink(*info);
            return;
        }
        if (eol > 0)
            d->dropUnseen(round->seen);
        const bool initial = round->initial;
        std::erase_if(d->rounds, [&](const auto& r) { return r.get() == round; });
        if (initial)
            d->syncStepDone();
    }

    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* data)
    {
        if (eol == 0 && info)
            static_cast<Private*>(data)->applySink(*info);
    }

    void applySink(const pa_sink_info& info)
    {
        std::vector<SinkPortRecord> ports;
        for (uint32_t i = 0; i < info.n_ports; ++i) {
            const pa_sink_port_info* p = info.ports[i];
            ports.push_back({QString::fromUtf8(p->name), p->type, p->available});
        }
        const QString active =
            info.active_port ? QString::fromUtf8(info.active_port->name) : QString();
        const char* formFactor = pa_proplist_gets(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
        const quint32 source = dataSourceForSink(ports, active, QString::fromUtf8(formFactor));

        std::vector<AudioObjectID> changed;
        {
            std::lock_guard lock(mutex);
            const AudioObjectID id = idForLocked(info.name);
            const auto it = sinks.find(info.name);
            // A sink that appears (again) changes nothing for its listeners.
            if (it != sinks.end() && it->second.source != source)
                changed.push_back(id);
            sinks[info.name] = Sink{info.index, source};
        }
        notifyDataSource(changed);
        announceDefault();
    }

    void sinkRemoved(uint32_t index)
    {
        dropSinks([&](const std::string&, const Sink& sink) { return sink.index == index; });
    }

    void dropUnseen(const std::set<std::string>& seen)
    {
        dropSinks([&](const std::string& name, const Sink&) { return !seen.contains(name); });
    }

    // Sinks that went away: their listeners hear of it.
    template <typename Gone> void dropSinks(Gone isGone)
    {
        std::vector<AudioObjectID> gone;
        {
            std::lock_guard lock(mutex);
            for (auto it = sinks.begin(); it != sinks.end();) {
                if (isGone(it->first, it->second)) {
                    gone.push_back(idForLocked(it->first));
                    it = sinks.erase(it);
                } else {
                    ++it;
                }
            }
        }
        notifyDataSource(gone);
        announceDefault();
    }
};

PulseAudioHardware::PulseAudioHardware(std::chrono::milliseconds startWait, PulseRetry retry)
    : d(std::make_unique<Private>())
{
    d->retryPolicy = retry;
    d->backoff = retry.first;
    d->loop = pa_threaded_mainloop_new();
    if (!d->loop)
        return;
    pa_threaded_mainloop_set_name(d->loop, "wardlatch-audio");
    pa_threaded_mainloop_lock(d->loop);
    d->watchSocket();
    d->connect();
    const bool started = pa_threaded_mainloop_start(d->loop) == 0;
    pa_threaded_mainloop_unlock(d->loop);
    if (!started)
        return;
    // A short wait so the default output device can be read right after construction; a
    // server that does not answer in time is picked up in the background.
    std::unique_lock lock(d->mutex);
    d->firstState.wait_for(lock, startWait, [&] { return d->stateKnown.load(); });
}

PulseAudioHardware::~PulseAudioHardware()
{
    if (!d->loop)
        return;
    pa_threaded_mainloop_lock(d->loop);
    if (d->retry) {
        pa_threaded_mainloop_get_api(d->loop)->time_free(d->retry);
        d->retry = nullptr;
    }
    d->unwatchSocket();
    d->dropContext();
    pa_threaded_mainloop_unlock(d->loop);
    pa_threaded_mainloop_stop(d->loop);
    pa_threaded_mainloop_free(d->loop);
}

bool PulseAudioHardware::isSynchronized() const
{
    std::lock_guard lock(d->mutex);
    return d->synced;
}

AudioStatus
PulseAudioHardware::AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                               const AudioObjectPropertyAddress& inAddress, quint32,
                                               const void*, quint32* ioDataSize, void* outData)
{
    if (!ioDataSize || !outData)
        return audio::kBadArgument;
    if (*ioDataSize < sizeof(quint32))
        return audio::kBadPropertySize;

    quint32 value = 0;
    {
        std::lock_guard lock(d->mutex);
        if (inObjectID == audio::kSystemObject) {
            if (!(inAddress == kDefaultOutputAddress))
                return audio::kUnknownProperty;
            if (!d->synced)
                return audio::kNotRunning; // no server, or not yet read
            value = d->readableDefaultLocked();
            if (value == 0)
                return audio::kBadObject; // a server without a default output now
        } else {
            const std::string* name = d->nameForLocked(inObjectID);
            if (!name)
                return audio::kBadObject;
            if (!(inAddress == kDataSourceAddress))
                return audio::kUnknownProperty;
            const auto it = d->sinks.find(*name);
            if (it == d->sinks.end())
                return audio::kBadObject; // gone, or no connection
            if (it->second.source == 0)
                return audio::kUnknownProperty; // no active port
            value = it->second.source;
        }
    }
    std::memcpy(outData, &value, sizeof value);
    *ioDataSize = sizeof value;
    return audio::kNoError;
}

AudioStatus PulseAudioHardware::AudioObjectAddPropertyListener(
    AudioObjectID inObjectID, const AudioObjectPropertyAddress& inAddress,
    AudioObjectPropertyListenerProc inListener, void* inClientData)
{
    if (!inListener)
        return audio::kBadArgument;
    if (inObjectID == audio::kSystemObject && inAddress == kDefaultOutputAddress) {
        d->listeners.add(inObjectID, inAddress, inListener, inClientData);
        return audio::kNoError;
    }
    {
        std::lock_guard lock(d->mutex);
        if (!d->nameForLocked(inObjectID))
            return inObjectID == audio::kSystemObject ? audio::kUnknownProperty : audio::kBadObject;
    }
    if (!(inAddress == kDataSourceAddress))
        return audio::kUnknownProperty;
    d->listeners.add(inObjectID, inAddress, inListener, inClientData);
    return audio::kNoError;
}

AudioStatus PulseAudioHardware::AudioObjectRemovePropertyListener(
    AudioObjectID inObjectID, const AudioObjectPropertyAddress& inAddress,
    AudioObjectPropertyListenerProc inListener, void* inClientData)
{
    d->listeners.remove(inObjectID, inAddress, inListener, inClientData);
    return audio::kNoError;
}

} // namespace wl
