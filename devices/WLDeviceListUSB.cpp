// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/WLDeviceListUSB.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"

#include <array>

namespace wl {

namespace {

constexpr qint32 kHubClass = 9;

struct VendorProduct
{
    qint32 vendor;
    qint32 product;
};

struct VendorName
{
    qint32 vendor;
    const char* name;
};

// The computer maker's own built-in devices: never a key device.
constexpr std::array<VendorProduct, 1> kExcludedByProduct{{{1452, 612}}};
constexpr std::array<VendorName, 4> kExcludedByName{{
    {1452, "Built-in iSight"},
    {1452, "IR Receiver"},
    {1452, "FaceTime HD Camera (Built-in)"},
    {1452, "Bluetooth USB Host Controller"},
}};

bool excluded(const UsbDevice& device)
{
    for (const VendorProduct& row : kExcludedByProduct) {
        if (row.vendor == device.vendorId && row.product == device.productId)
            return true;
    }
    for (const VendorName& row : kExcludedByName) {
        if (row.vendor == device.vendorId && device.name == QLatin1String(row.name))
            return true;
    }
    return false;
}

} // namespace

WLDeviceListUSB::WLDeviceListUSB(std::weak_ptr<WLDeviceListDelegate> delegate,
                                 UsbRegistry& registry, Settings& settings,
                                 NotificationCenter& center)
    : m_delegate(std::move(delegate)), m_registry(registry), m_settings(settings), m_center(center)
{
    startWatchingUSB();
    m_observer = ObserverRegistration(m_center, QString::fromLatin1(events::kSetNewDeviceEvent),
                                      [this](const Notification& n) { setNewDeviceName(n); });
}

WLDeviceListUSB::~WLDeviceListUSB()
{
    m_observer = ObserverRegistration();
    // Their contexts die with us.
    for (const auto& [handle, context] : m_contexts)
        m_registry.release(handle);
}

void WLDeviceListUSB::startSearch()
{
    getCurrentDeviceList();
}

void WLDeviceListUSB::stopSearch() {}

QStringList WLDeviceListUSB::getCurrentDeviceList()
{
    const std::optional<QList<UsbDevice>> attached = m_registry.attachedDevices();
    if (!attached)
        return {};

    auto devices = std::make_shared<DeviceMap>();
    QStringList names;
    for (const UsbDevice& device : *attached) {
        if (device.deviceClass == kHubClass || excluded(device))
            continue;
        devices->insert(device.name, DeviceEntry{device.vendorId, device.productId});
        names.append(device.name);
    }

    // Keep the chosen device selectable while it is unplugged.
    const qint64 vendor = m_settings.integerForKey(keys::idVendor);
    const qint64 product = m_settings.integerForKey(keys::idProduct);
    if (vendor != 0 || product != 0) {
        const std::optional<QString> chosen = m_settings.stringForKey(keys::kDeviceName);
        if (chosen && !chosen->isEmpty() && !devices->contains(*chosen)) {
            devices->insert(*chosen, DeviceEntry{vendor, product});
            names.prepend(*chosen);
        }
    }

    setDevices(std::move(devices));
    return names;
}

std::shared_ptr<const WLDeviceListUSB::DeviceMap> WLDeviceListUSB::devices() const
{
    QMutexLocker lock(&m_devicesMutex);
    return m_devices;
}

void WLDeviceListUSB::setDevices(std::shared_ptr<const DeviceMap> devices)
{
    std::shared_ptr<const DeviceMap> old;
    {
        QMutexLocker lock(&m_devicesMutex);
        old = std::exchange(m_devices, std::move(devices));
    }
    // old is freed outside the lock.
}

void WLDeviceListUSB::startWatchingUSB()
{
    if (m_settings.integerForKey(keys::idVendor) == 0 &&
        m_settings.integerForKey(keys::idProduct) == 0) {
        // No device is chosen: nothing may stay armed for an earlier choice either.
        stopWatchingUSB();
        return;
    }
    m_lostDeviceIterator =
        setupUSBCallbacks(kUsbTerminateNotification, &deviceRemoved, m_lostDeviceIterator);
}

void WLDeviceListUSB::stopWatchingUSB()
{
    if (m_registry.iteratorIsValid(m_lostDeviceIterator)) {
        m_registry.release(m_lostDeviceIterator);
        m_contexts.erase(m_lostDeviceIterator);
        m_lostDeviceIterator = 0;
    }
}

void WLDeviceListUSB::setNewDeviceName(const Notification& notification)
{
    const QVariant title = notification.userInfo.value(QString::fromLatin1(events::kNewDeviceName));
    const std::shared_ptr<const DeviceMap> catalogue = devices();
    if (title.typeId() == QMetaType::QString && catalogue) {
        const auto entry = catalogue->constFind(title.toString());
        if (entry != catalogue->cend()) {
            if (!entry->watchable()) {
                // The panel does not offer it; should it come anyway, the device already
                // guarded stays guarded rather than none.
                log(QStringLiteral("\"%1\" has no vendor and product numbers to watch; the key "
                                   "device stays as it was")
                        .arg(entry.key()),
                    LogCategory::Usb);
                return;
            }
            m_settings.setObject(keys::idVendor, entry->idVendor);
            m_settings.setObject(keys::idProduct, entry->idProduct);
            startWatchingUSB();
            return;
        }
    }
    m_settings.removeObjectForKey(keys::idVendor);
    m_settings.removeObjectForKey(keys::idProduct);
    stopWatchingUSB();
}

UsbRegistry::Handle WLDeviceListUSB::setupUSBCallbacks(const char* type,
                                                       UsbRegistry::Callback callback,
                                                       UsbRegistry::Handle iterator)
{
    if (iterator != 0) {
        m_registry.release(iterator);
        m_contexts.erase(iterator);
    }
    if (iterator == m_lostDeviceIterator)
        m_lostDeviceIterator = 0;

    const UsbMatch match{m_settings.integerForKey(keys::idVendor),
                         qint16(quint16(m_settings.integerForKey(keys::idProduct) & 0xFFFF))};
    auto context = std::make_unique<RemovalContext>(RemovalContext{&m_registry, m_delegate});
    UsbRegistry::Handle handle = 0;
    switch (m_registry.addMatchingNotification(type, match, callback, context.get(), &handle)) {
    case UsbRegistry::AddResult::NoMatching:
        log(QStringLiteral("Could not create matching dictionary"), LogCategory::Usb);
        return 0;
    case UsbRegistry::AddResult::Refused:
        log(QStringLiteral("error adding removal notification"), LogCategory::Usb);
        return 0;
    case UsbRegistry::AddResult::Added:
        break;
    }
    m_contexts[handle] = std::move(context);
    drain(m_registry, handle);
    return handle;
}

void WLDeviceListUSB::drain(UsbRegistry& registry, UsbRegistry::Handle iterator)
{
    while (registry.iteratorNext(iterator)) {
    }
}

void WLDeviceListUSB::deviceRemoved(void* context, UsbRegistry::Handle iterator)
{
    const auto* removal = static_cast<const RemovalContext*>(context);
    // Emptying the delivery re-arms the registration for the next removal.
    drain(*removal->registry, iterator);
    // The context may be gone once the delegate returns (a nested loop can re-arm).
    if (const std::shared_ptr<WLDeviceListDelegate> delegate = removal->delegate.lock())
        delegate->watchedDeviceRemoved();
}

} // namespace wl
