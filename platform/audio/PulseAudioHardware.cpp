// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/PulseAudioHardware.h"

#include "platform/audio/PulseConnection.h"
#include "platform/audio/PulseSinkMirror.h"

#include <pulse/introspect.h>

#include <algorithm>
#include <cstring>

namespace wl {

namespace {

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

// The mirror outlives the connection, whose thread feeds it until the connection is gone.
struct PulseAudioHardware::Private
{
    explicit Private(PulseRetry retry) : connection(mirror, retry) {}

    PulseSinkMirror mirror;
    PulseConnection connection;
};

PulseAudioHardware::PulseAudioHardware(std::chrono::milliseconds startWait, PulseRetry retry)
    : d(std::make_unique<Private>(retry))
{
    if (!d->connection.start())
        return;
    // A short wait so the default output device can be read right after construction; a
    // server that does not answer in time is picked up in the background.
    d->mirror.waitForFirstState(startWait);
}

PulseAudioHardware::~PulseAudioHardware() = default;

bool PulseAudioHardware::isSynchronized() const
{
    return d->mirror.isSynchronized();
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
    AudioStatus status = audio::kNoError;
    if (inObjectID == audio::kSystemObject) {
        if (!(inAddress == kPulseDefaultOutputAddress))
            return audio::kUnknownProperty;
        status = d->mirror.readDefaultOutput(value);
    } else {
        // Ids are never taken back: one known now stays known.
        if (!d->mirror.knowsObject(inObjectID))
            return audio::kBadObject;
        if (!(inAddress == kPulseDataSourceAddress))
            return audio::kUnknownProperty;
        status = d->mirror.readDataSource(inObjectID, value);
    }
    if (status != audio::kNoError)
        return status;
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
    if (inObjectID == audio::kSystemObject && inAddress == kPulseDefaultOutputAddress) {
        d->mirror.listeners().add(inObjectID, inAddress, inListener, inClientData);
        return audio::kNoError;
    }
    if (!d->mirror.knowsObject(inObjectID))
        return inObjectID == audio::kSystemObject ? audio::kUnknownProperty : audio::kBadObject;
    if (!(inAddress == kPulseDataSourceAddress))
        return audio::kUnknownProperty;
    d->mirror.listeners().add(inObjectID, inAddress, inListener, inClientData);
    return audio::kNoError;
}

AudioStatus PulseAudioHardware::AudioObjectRemovePropertyListener(
    AudioObjectID inObjectID, const AudioObjectPropertyAddress& inAddress,
    AudioObjectPropertyListenerProc inListener, void* inClientData)
{
    d->mirror.listeners().remove(inObjectID, inAddress, inListener, inClientData);
    return audio::kNoError;
}

} // namespace wl
