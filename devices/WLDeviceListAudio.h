#pragma once

#include "app/NotificationCenter.h"
#include "app/Settings.h"
#include "devices/WLDeviceListProtocol.h"
#include "platform/audio/AudioHardware.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace wl {

// The headphone watch. Offers "Headphones" while headphones play or are the chosen device;
// while they are chosen ("useHeadphones"), a change of the default output device's data
// source away from headphones reports the key device gone. The default output device is read
// once, at creation, and stays the watched one. The listener runs on the audio layer's thread
// and reports from there; every property is safe to read from any thread.
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

    // True only while the watched device plays through headphones.
    bool areHeadphonesConnected();

    // The "kSetNewDeviceEvent" handler: arms for "Headphones", disarms for anything else.
    void setNewDeviceName(const Notification& notification);

    void startWatchingAudio();
    void stopWatchingAudio();

    // WLDeviceListDelegate: passed on to the delegate while it exists.
    void watchedDeviceRemoved() override;

    std::weak_ptr<WLDeviceListDelegate> delegate() const;
    void setDelegate(std::weak_ptr<WLDeviceListDelegate> delegate);
    AudioObjectID defaultDevice() const { return m_defaultDevice.load(); }
    void setDefaultDevice(AudioObjectID device) { m_defaultDevice.store(device); }
    AudioObjectPropertyAddress propertyAddress() const;
    void setPropertyAddress(const AudioObjectPropertyAddress& address);
    AudioObjectPropertyAddress sourceAddress() const;
    void setSourceAddress(const AudioObjectPropertyAddress& address);

private:
    static AudioStatus dataSourceListener(AudioObjectID inObjectID, quint32 inNumberAddresses,
                                          const AudioObjectPropertyAddress* inAddresses,
                                          void* inClientData);
    // The watched device's data source now; 0 when it cannot be read.
    quint32 readDataSource();

    AudioHardware& m_hardware;
    Settings& m_settings;

    mutable std::mutex m_propertyMutex; // makes each property read or write whole
    std::weak_ptr<WLDeviceListDelegate> m_delegate;
    std::atomic<AudioObjectID> m_defaultDevice{0};
    AudioObjectPropertyAddress m_propertyAddress;
    AudioObjectPropertyAddress m_sourceAddress;

    ObserverRegistration m_newDeviceObserver;
};

} // namespace wl
