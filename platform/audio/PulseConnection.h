// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/audio/PulseAudioHardware.h"

#include <pulse/context.h>
#include <pulse/mainloop-api.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <string>

namespace wl {

class PulseSinkMirror;

// The connection to the audio server on its own thread: the context, tried again with a
// growing wait while the server is lost or missing, and a watch of the server's local socket
// so that a server starting is tried at once. Tells the mirror when the server is ready or
// lost and passes it the server's events, all on the audio thread.
class PulseConnection
{
public:
    PulseConnection(PulseSinkMirror& mirror, PulseRetry retry);
    // Stops the audio thread; the mirror hears nothing more after it.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Starts the audio thread, watching the socket and connecting; false when no thread runs.
    bool start();

private:
    void connect();
    void dropContext();
    void scheduleRetry();
    void connectionLost();

    void watchSocket();
    void watchFolder();
    void unwatchSocket();
    void serverMayBeBack();

    static void onSocketWatch(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                              void* data);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data);
    static void onState(pa_context* c, void* data);
    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                        void* data);

    PulseSinkMirror& m_mirror;

    // Audio thread only (or with the loop locked).
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_time_event* m_retry = nullptr;
    PulseRetry m_retryPolicy;
    std::chrono::milliseconds m_backoff;
    bool m_connected = false;
    // The local server's socket, watched so that a server starting is noticed at once. The
    // folder is watched for the socket, its parent for the folder.
    struct SocketWatch
    {
        int fd = -1;
        pa_io_event* event = nullptr;
        std::string folder, name, parent, folderName;
        int folderWatch = -1;
        int parentWatch = -1;
    } m_watch;
};

} // namespace wl
