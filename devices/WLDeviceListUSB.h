// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "devices/WLDeviceListProtocol.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"
#include "platform/usb/UsbRegistry.h"

#include <QMap>
#include <QMutex>

#include <map>
#include <memory>

namespace wl {

// The catalogue's record of one device: the numbers stored when it is chosen.
struct DeviceEntry
{
    qint64 idVendor = 0;
    qint64 idProduct = 0;
    // Stored numbers 0/0 mean that nothing is chosen, so a device reporting them cannot be
    // watched: its removal would never lock.
    bool watchable() const { return idVendor != 0 || idProduct != 0; }
    friend bool operator==(const DeviceEntry&, const DeviceEntry&) = default;
};

// The USB key device: lists the attachable devices by name and watches the chosen one. When
// a device with the stored "idVendor"/"idProduct" numbers goes away, the delegate hears
// watchedDeviceRemoved. Main thread only, except the devices accessors.
class WLDeviceListUSB : public WLDeviceListProtocol
{
public:
    using DeviceMap = QMap<QString, DeviceEntry>;

    // Arms the watch from the stored numbers, then observes "kSetNewDeviceEvent". The registry
    // must outlive the watcher.
    WLDeviceListUSB(std::weak_ptr<WLDeviceListDelegate> delegate, UsbRegistry& registry,
                    Settings& settings = Settings::standardUserDefaults(),
                    NotificationCenter& center = NotificationCenter::defaultCenter());
    ~WLDeviceListUSB() override;
    WLDeviceListUSB(const WLDeviceListUSB&) = delete;
    WLDeviceListUSB& operator=(const WLDeviceListUSB&) = delete;

    void startSearch() override;
    void stopSearch() override;
    QStringList getCurrentDeviceList() override;

    // What the last successful listing found; null before the first one. A reader always gets
    // a whole dictionary, from any thread.
    std::shared_ptr<const DeviceMap> devices() const;
    void setDevices(std::shared_ptr<const DeviceMap> devices);

    void startWatchingUSB();
    void stopWatchingUSB();
    void setNewDeviceName(const Notification& notification);
    // Releases previous first: at most one registration is ever held. Returns the new
    // registration, 0 when it could not be made.
    UsbRegistry::Handle setupUSBCallbacks(const char* type, UsbRegistry::Callback callback,
                                          UsbRegistry::Handle iterator);

    std::weak_ptr<WLDeviceListDelegate> delegate() const { return m_delegate; }
    void setDelegate(std::weak_ptr<WLDeviceListDelegate> delegate)
    {
        m_delegate = std::move(delegate);
    }
    UsbRegistry::Handle lostDeviceIterator() const { return m_lostDeviceIterator; }
    void setLostDeviceIterator(UsbRegistry::Handle iterator) { m_lostDeviceIterator = iterator; }

private:
    // What a registration's callback gets: the delegate as it was at arming time.
    struct RemovalContext
    {
        UsbRegistry* registry;
        std::weak_ptr<WLDeviceListDelegate> delegate;
    };
    static void deviceRemoved(void* context, UsbRegistry::Handle iterator);
    static void drain(UsbRegistry& registry, UsbRegistry::Handle iterator);

    UsbRegistry::Handle m_lostDeviceIterator = 0;
    std::weak_ptr<WLDeviceListDelegate> m_delegate;
    mutable QMutex m_devicesMutex;
    std::shared_ptr<const DeviceMap> m_devices;

    UsbRegistry& m_registry;
    Settings& m_settings;
    NotificationCenter& m_center;
    // One per registration this watcher made and has not released.
    std::map<UsbRegistry::Handle, std::unique_ptr<RemovalContext>> m_contexts;
    ObserverRegistration m_observer;
};

} // namespace wl
