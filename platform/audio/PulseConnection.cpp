// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/PulseConnection.h"

#include "platform/audio/PulseSinkMirror.h"

#include <pulse/timeval.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

namespace wl {

namespace {

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

} // namespace

PulseConnection::PulseConnection(PulseSinkMirror& mirror, PulseRetry retry)
    : m_mirror(mirror), m_retryPolicy(retry), m_backoff(retry.first)
{
}

bool PulseConnection::start()
{
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop)
        return false;
    pa_threaded_mainloop_set_name(m_loop, "wardlatch-audio");
    pa_threaded_mainloop_lock(m_loop);
    watchSocket();
    connect();
    const bool started = pa_threaded_mainloop_start(m_loop) == 0;
    pa_threaded_mainloop_unlock(m_loop);
    return started;
}

PulseConnection::~PulseConnection()
{
    if (!m_loop)
        return;
    pa_threaded_mainloop_lock(m_loop);
    if (m_retry) {
        pa_threaded_mainloop_get_api(m_loop)->time_free(m_retry);
        m_retry = nullptr;
    }
    unwatchSocket();
    dropContext();
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

// --- connection -----------------------------------------------------------------------

void PulseConnection::connect()
{
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    m_context = pa_context_new(api, "Wardlatch");
    if (!m_context) {
        scheduleRetry();
        return;
    }
    pa_context_set_state_callback(m_context, &PulseConnection::onState, this);
    pa_context_set_subscribe_callback(m_context, &PulseConnection::onEvent, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        connectionLost();
}

void PulseConnection::dropContext()
{
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
    m_mirror.dropRounds();
}

void PulseConnection::scheduleRetry()
{
    if (m_retry)
        return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    timeval when{};
    pa_gettimeofday(&when);
    const bool watching = m_watch.folderWatch >= 0 || m_watch.parentWatch >= 0;
    const auto wait = watching ? m_backoff : std::min(m_backoff, m_retryPolicy.longestBlind);
    pa_timeval_add(&when, pa_usec_t(wait.count()) * PA_USEC_PER_MSEC);
    m_retry = api->time_new(api, &when, &PulseConnection::onRetry, this);
    m_backoff = std::min(m_backoff * 2, std::max(m_retryPolicy.longest, m_backoff));
}

void PulseConnection::connectionLost()
{
    m_connected = false;
    m_mirror.serverLost();
    // The context is let go from the retry, never inside its own callback.
    scheduleRetry();
}

void PulseConnection::onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*,
                              void* data)
{
    auto* c = static_cast<PulseConnection*>(data);
    api->time_free(event);
    c->m_retry = nullptr;
    c->dropContext();
    c->connect();
}

void PulseConnection::onState(pa_context* c, void* data)
{
    auto* self = static_cast<PulseConnection*>(data);
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        self->m_connected = true;
        self->m_backoff = self->m_retryPolicy.first;
        pa_operation_unref(pa_context_subscribe(c,
                                                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK |
                                                                       PA_SUBSCRIPTION_MASK_SERVER |
                                                                       PA_SUBSCRIPTION_MASK_CARD),
                                                nullptr, nullptr));
        self->m_mirror.serverReady(c);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        self->connectionLost();
        break;
    default:
        break;
    }
}

void PulseConnection::onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                              void* data)
{
    static_cast<PulseConnection*>(data)->m_mirror.serverEvent(c, type, index);
}

// --- the local socket -------------------------------------------------------------------

void PulseConnection::watchSocket()
{
    const std::optional<std::string> socket = localServerSocket();
    if (!socket)
        return;
    m_watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch.fd < 0)
        return;
    std::tie(m_watch.folder, m_watch.name) = splitPath(*socket);
    std::tie(m_watch.parent, m_watch.folderName) = splitPath(m_watch.folder);
    m_watch.parentWatch =
        inotify_add_watch(m_watch.fd, m_watch.parent.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    watchFolder();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    m_watch.event =
        api->io_new(api, m_watch.fd, PA_IO_EVENT_INPUT, &PulseConnection::onSocketWatch, this);
}

void PulseConnection::watchFolder()
{
    if (m_watch.folderWatch < 0)
        m_watch.folderWatch = inotify_add_watch(m_watch.fd, m_watch.folder.c_str(),
                                                IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
}

void PulseConnection::unwatchSocket()
{
    if (m_watch.event)
        pa_threaded_mainloop_get_api(m_loop)->io_free(m_watch.event);
    if (m_watch.fd >= 0)
        ::close(m_watch.fd);
    m_watch = SocketWatch{};
}

void PulseConnection::onSocketWatch(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                                    void* data)
{
    auto* c = static_cast<PulseConnection*>(data);
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
                if (e->wd == c->m_watch.folderWatch)
                    c->m_watch.folderWatch = -1;
            } else if (e->wd == c->m_watch.parentWatch && name == c->m_watch.folderName) {
                c->watchFolder();
                appeared = true; // the socket may be in it already
            } else if (e->wd == c->m_watch.folderWatch && name == c->m_watch.name) {
                appeared = true;
            }
        }
    }
    if (appeared)
        c->serverMayBeBack();
}

// A socket turned up where the server listens: try now, and soon again if it was early.
void PulseConnection::serverMayBeBack()
{
    if (m_connected)
        return;
    m_backoff = kRetryAfterSocket;
    if (m_retry) {
        pa_threaded_mainloop_get_api(m_loop)->time_free(m_retry);
        m_retry = nullptr;
        dropContext();
        connect();
    }
    // Otherwise an attempt is under way; should it fail, the retry comes soon.
}

} // namespace wl
