// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "devices/WLDeviceListProtocol.h"
#include "platform/audio/AudioHardware.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace wl {

// The headphone watch. Offers "Headphones" while headphones play or are the chosen device;
// while they are chosen ("useHeadphones"), a change of the default output device's data
// source away from headphones reports the key device gone. The watch follows the audio
// server: it arms as soon as a default output can be read (however late the server starts),
// moves with the default output, and re-arms after the server restarts. A move to another
// output reports only when it takes headphones away; the server going away while watched
// reports too. Listeners run on the audio layer's thread and report from there; every
// property is safe to read from any thread.
class WLDeviceListAudio : public WLDeviceListProtocol, public WLDeviceListDelegate
{
public:
    static constexpr char kHeadphonesName[] = "Headphones";

    WLDeviceListAudio(std::weak_ptr<WLDeviceListDelegate> delegate, AudioHardware& hardware,
                      Settings& settings = Settings::standardUserDefaults(),
                      NotificationCenter& center = NotificationCenter::defaultCenter());
    // Ends the registration quietly, so the audio layer never calls a watcher that is gone.
    ~WLDeviceListAudio() override;
    WLDeviceListAudio(const WLDeviceListAudio&) = delete;
    WLDeviceListAudio& operator=(const WLDeviceListAudio&) = delete;

    // WLDeviceListProtocol: the watch follows the setting, not a search.
    void startSearch() override {}
    void stopSearch() override {}
    QStringList getCurrentDeviceList() override;

    // True only while the default output device plays through headphones; logs "headphone"
    // or "speaker" when it can tell. The device list asks the same without logging.
    bool areHeadphonesConnected();

    // The "kSetNewDeviceEvent" handler: arms for "Headphones", disarms for anything else.
    void setNewDeviceName(const Notification& notification);

    void startWatchingAudio();
    void stopWatchingAudio();

    // WLDeviceListDelegate: passed on to the delegate while it exists.
    void watchedDeviceRemoved() override;

    // Whether an output is watched now, and whether it played through headphones at the last
    // look. Any thread.
    bool isWatchingOutput() const { return m_watchedNow.load() != audio::kNoObject; }
    bool headphonesPlaying() const { return m_headphonesNow.load(); }
    // Called after the watch changed (armed, moved, lost, or its source changed), on the thread
    // that changed it: the audio thread or the one choosing.
    void setStateObserver(std::function<void()> observer);

    std::weak_ptr<WLDeviceListDelegate> delegate() const;
    void setDelegate(std::weak_ptr<WLDeviceListDelegate> delegate);
    // The output device watched now, or last read as the default; 0 when none could be read.
    AudioObjectID defaultDevice() const { return m_defaultDevice.load(); }
    void setDefaultDevice(AudioObjectID device) { m_defaultDevice.store(device); }
    AudioObjectPropertyAddress propertyAddress() const;
    void setPropertyAddress(const AudioObjectPropertyAddress& address);
    AudioObjectPropertyAddress sourceAddress() const;
    void setSourceAddress(const AudioObjectPropertyAddress& address);

private:
    // What makes the watch look again; handled one at a time, in order (see follow()).
    enum class Step
    {
        Arm,
        Disarm,
        DefaultChanged,
        SourceChanged
    };
    struct Request
    {
        Step step;
        AudioObjectID device = 0; // SourceChanged: the device whose source changed
    };

    static AudioStatus dataSourceListener(AudioObjectID inObjectID, quint32 inNumberAddresses,
                                          const AudioObjectPropertyAddress* inAddresses,
                                          void* inClientData);
    static AudioStatus defaultOutputListener(AudioObjectID inObjectID, quint32 inNumberAddresses,
                                             const AudioObjectPropertyAddress* inAddresses,
                                             void* inClientData);
    // The default output device now (0 when it cannot be read) and the read's status.
    AudioObjectID readDefaultDevice(AudioStatus* status = nullptr);
    // A device's data source now; 0 when it cannot be read.
    quint32 readDataSource(AudioObjectID device);

    // Queues a request and runs the queue unless another thread runs it now. From the main
    // thread it returns once the request was handled; from a listener it never waits, since
    // the thread running the queue may be waiting for that very listener call to end.
    void follow(Request request, bool fromListener);
    void handle(const Request& request);
    // The watched output is no longer the default one: decides whether that took the
    // headphones away, then watches target (0: nothing to watch).
    void moveTo(AudioObjectID target, AudioStatus status);
    // Moves the data-source registration from the watched device to device (0: none).
    void bindTo(AudioObjectID device);

    AudioHardware& m_hardware;
    Settings& m_settings;

    mutable std::mutex m_propertyMutex; // makes each property read or write whole
    std::weak_ptr<WLDeviceListDelegate> m_delegate;
    std::atomic<AudioObjectID> m_defaultDevice{0};
    AudioObjectPropertyAddress m_propertyAddress;
    AudioObjectPropertyAddress m_sourceAddress;

    // Whether the watch is wanted: "Headphones" chosen and not disarmed since.
    std::atomic<bool> m_watching{false};
    // The follow queue and what it decides on, under m_followMutex.
    std::mutex m_followMutex;
    std::condition_variable m_followIdle;
    std::deque<Request> m_requests;
    bool m_following = false;
    AudioObjectID m_watched = 0; // the device holding our data-source registration
    quint32 m_lastSource = 0;    // what it played through at the last look; 0 unknown
    // The two above as any thread may read them.
    std::atomic<AudioObjectID> m_watchedNow{0};
    std::atomic<bool> m_headphonesNow{false};
    std::function<void()> m_stateObserver; // under m_propertyMutex

    ObserverRegistration m_newDeviceObserver;
};

} // namespace wl
