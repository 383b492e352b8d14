// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/audio/AudioHardware.h"

#include <QString>

#include <chrono>
#include <memory>
#include <span>

namespace wl {

// One port of a sink as the audio server reports it.
struct SinkPortRecord
{
    QString name;
    quint32 type = 0;  // the server's port type; 0 when it reports none
    int available = 0; // 0 unknown, 1 unplugged, 2 plugged
};

// The data source a sink plays through, from its ports, the name of its active port and its
// form factor: headphones or headset ports read headphones, speaker ports the internal
// speaker, any other active port (and headphones whose jack is unplugged) another non-zero
// code. Where the server gives no type the port's name decides. A sink that is itself a
// headset ("headphone", "headset", "hands-free") plays through headphones on any port but a
// speaker. No active port gives 0 (nothing to read), or headphones for such a sink.
quint32 dataSourceForSink(std::span<const SinkPortRecord> ports, const QString& activePort,
                          const QString& formFactor = {});

// How soon a lost or missing server is tried again: the wait starts at first and doubles up to
// longest. A server starting on the local socket is noticed from its socket appearing, so the
// waits only back that up; where no socket can be watched they stay within longestBlind.
struct PulseRetry
{
    std::chrono::milliseconds first{100};
    std::chrono::milliseconds longest{60000};
    std::chrono::milliseconds longestBlind{2000};
};

// The audio system on a PulseAudio server (or PipeWire's pulse server). The default output
// device is the default sink; each sink is an object whose id stays the same for its name for
// the life of the process. Reads answer from a mirror of the server's state, kept current by
// the server's events on the audio thread, so they never wait on the server. Listeners of a
// sink's data source are called on the audio thread when its active port changes, when the
// sink goes away and when the connection is lost; listeners of the system object's default
// output device when what a read of it gives changes (another default sink, the server
// coming or going). The connection is tried again in the background, at once when the
// server's local socket appears. With no server the default output device reads
// kNotRunning; with a server but no default output, kBadObject.
class PulseAudioHardware : public AudioHardware
{
public:
    // Connects in the background; waits at most startWait for the server's first state.
    explicit PulseAudioHardware(
        std::chrono::milliseconds startWait = std::chrono::milliseconds(1500),
        PulseRetry retry = {});
    ~PulseAudioHardware() override;
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

    AudioStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress& inAddress,
                                           quint32 inQualifierDataSize, const void* inQualifierData,
                                           quint32* ioDataSize, void* outData) override;
    AudioStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                               const AudioObjectPropertyAddress& inAddress,
                                               AudioObjectPropertyListenerProc inListener,
                                               void* inClientData) override;
    AudioStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                                  const AudioObjectPropertyAddress& inAddress,
                                                  AudioObjectPropertyListenerProc inListener,
                                                  void* inClientData) override;

    // Whether the server's state is mirrored now (connected and first state read).
    bool isSynchronized() const;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace wl
