// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

namespace wl {

// Audio objects are numbered; 0 names none.
using AudioObjectID = quint32;
// Result of an audio call: 0 is success.
using AudioStatus = qint32;

// Where a property lives: what (selector), in which direction (scope), on which element.
struct AudioObjectPropertyAddress
{
    quint32 mSelector = 0;
    quint32 mScope = 0;
    quint32 mElement = 0;

    friend bool operator==(const AudioObjectPropertyAddress&,
                           const AudioObjectPropertyAddress&) = default;
};

// A four-character code: the four ASCII characters, most significant byte first.
constexpr quint32 fourCharCode(const char (&code)[5])
{
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) |
           (quint32(quint8(code[2])) << 8) | quint32(quint8(code[3]));
}

namespace audio {
inline constexpr AudioObjectID kNoObject = 0;
inline constexpr AudioObjectID kSystemObject = 1;

inline constexpr quint32 kDefaultOutputDevice = fourCharCode("dOut"); // selector
inline constexpr quint32 kScopeGlobal = fourCharCode("glob");
inline constexpr quint32 kDataSource = fourCharCode("ssrc"); // selector
inline constexpr quint32 kScopeOutput = fourCharCode("outp");
inline constexpr quint32 kElementMain = 0;

// Data-source values.
inline constexpr quint32 kSourceHeadphones = fourCharCode("hdpn");
inline constexpr quint32 kSourceInternalSpeaker = fourCharCode("ispk");
inline constexpr quint32 kSourceOther = fourCharCode("othr"); // line out, HDMI, unplugged jack

// Failure statuses.
inline constexpr AudioStatus kNoError = 0;
inline constexpr AudioStatus kNotRunning = AudioStatus(fourCharCode("stop"));
inline constexpr AudioStatus kBadObject = AudioStatus(fourCharCode("!obj"));
inline constexpr AudioStatus kUnknownProperty = AudioStatus(fourCharCode("who?"));
inline constexpr AudioStatus kBadPropertySize = AudioStatus(fourCharCode("!siz"));
inline constexpr AudioStatus kBadArgument = AudioStatus(fourCharCode("!arg"));
} // namespace audio

// Called when a property of an object changed: the object, the changed addresses and the
// client data given at registration. Returns 0.
using AudioObjectPropertyListenerProc =
    AudioStatus (*)(AudioObjectID inObjectID, quint32 inNumberAddresses,
                    const AudioObjectPropertyAddress* inAddresses, void* inClientData);

// The audio system as the headphone watch sees it. Listeners are called on a thread of the
// implementation's choosing, never with an internal lock held, so a listener may read
// properties. Removing a listener waits for a call of it in progress on another thread.
class AudioHardware
{
public:
    virtual ~AudioHardware() = default;

    // Copies the property's value into outData. ioDataSize holds the buffer's size on entry
    // and the bytes written on success. A failed call leaves outData untouched.
    virtual AudioStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                                   const AudioObjectPropertyAddress& inAddress,
                                                   quint32 inQualifierDataSize,
                                                   const void* inQualifierData, quint32* ioDataSize,
                                                   void* outData) = 0;

    // An identical registration (same object, address, listener and client data) is kept once;
    // one removal ends it. Removing a registration that is not in force is harmless.
    virtual AudioStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                                       const AudioObjectPropertyAddress& inAddress,
                                                       AudioObjectPropertyListenerProc inListener,
                                                       void* inClientData) = 0;
    virtual AudioStatus AudioObjectRemovePropertyListener(
        AudioObjectID inObjectID, const AudioObjectPropertyAddress& inAddress,
        AudioObjectPropertyListenerProc inListener, void* inClientData) = 0;
};

} // namespace wl
