// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/usb/UdevUsbRegistry.h"

#include "platform/log/Log.h"
#include "platform/usb/UsbIdentity.h"
#include "platform/usb/UsbSysfsCatalogue.h"

#include <QMetaObject>

#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace wl {

namespace {

// Large enough for a burst of hub and device events while the main thread is busy.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
constexpr int kReopenDelayMs = 1000;

struct DeviceUnref
{
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceUnref>;

std::optional<std::string_view> view(const char* text)
{
    if (!text)
        return std::nullopt;
    return std::string_view(text);
}

QByteArray devnumOf(udev_device* device)
{
    const char* devnum = udev_device_get_property_value(device, "DEVNUM");
    return devnum ? QByteArray(devnum) : QByteArray();
}

} // namespace

UdevUsbRegistry::UdevUsbRegistry(QObject* parent) : QObject(parent), m_udev(udev_new())
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kReopenDelayMs);
    connect(&m_retry, &QTimer::timeout, this, [this] { recover(0); });
    if (!m_udev)
        log(QStringLiteral("Could not open the USB device database (udev)"), LogCategory::Usb);
}

UdevUsbRegistry::~UdevUsbRegistry()
{
    closeMonitor();
    if (m_udev)
        udev_unref(m_udev);
}

std::optional<QList<UsbDevice>> UdevUsbRegistry::attachedDevices()
{
    std::optional<std::vector<ScannedUsbDevice>> scanned = scanUsbBus(m_udev);
    if (!scanned)
        return std::nullopt;
    QList<UsbDevice> devices;
    devices.reserve(qsizetype(scanned->size()));
    for (ScannedUsbDevice& s : *scanned)
        devices.push_back(std::move(s.device));
    return devices;
}

QHash<QString, UdevUsbRegistry::Attached>
UdevUsbRegistry::matching(const std::vector<ScannedUsbDevice>& scanned, const UsbMatch& match)
{
    QHash<QString, Attached> result;
    for (const ScannedUsbDevice& s : scanned) {
        if (match.matches(s.device.vendorId, s.device.productId))
            result.insert(s.device.path, Attached{s.devnum, s.device});
    }
    return result;
}

bool UdevUsbRegistry::openMonitor()
{
    if (m_monitor)
        return true;
    udev_monitor* monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!monitor)
        return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        return false;
    }
    if (udev_monitor_set_receive_buffer_size(monitor, kReceiveBufferBytes) < 0 &&
        !m_bufferWarningLogged) {
        m_bufferWarningLogged = true;
        log(QStringLiteral("Could not raise the USB event buffer; a burst of events may be "
                           "lost and is then recovered by a rescan"),
            LogCategory::Usb);
    }
    const int fd = udev_monitor_get_fd(monitor);
    if (fd < 0) {
        udev_monitor_unref(monitor);
        return false;
    }
    m_monitor = monitor;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UdevUsbRegistry::onMonitorReadable);
    m_notifier = notifier;
    return true;
}

void UdevUsbRegistry::closeMonitor()
{
    if (m_notifier) {
        // The notifier may be the one whose signal is running right now.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_monitor) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }
}

UsbRegistry::AddResult UdevUsbRegistry::addMatchingNotification(const char* type,
                                                                const UsbMatch& match,
                                                                Callback callback, void* context,
                                                                Handle* handle)
{
    *handle = 0;
    // No device database, or numbers that no USB device can carry.
    if (!m_udev || match.vendorId < 0 || match.vendorId > 0xFFFF)
        return AddResult::NoMatching;
    if (!type || std::strcmp(type, kUsbTerminateNotification) != 0 || !callback)
        return AddResult::Refused;
    if (!openMonitor())
        return AddResult::Refused;
    // Remember which matching devices are attached now: a rescan after lost events compares
    // against this.
    const std::optional<std::vector<ScannedUsbDevice>> scanned = scanUsbBus(m_udev);
    *handle = m_registrations.add(match, callback, context);
    m_attached[*handle] = scanned ? matching(*scanned, match) : QHash<QString, Attached>();
    return AddResult::Added;
}

std::optional<UsbDevice> UdevUsbRegistry::iteratorNext(Handle iterator)
{
    return m_registrations.next(iterator);
}

bool UdevUsbRegistry::iteratorIsValid(Handle iterator) const
{
    return m_registrations.isValid(iterator);
}

void UdevUsbRegistry::release(Handle handle)
{
    m_registrations.release(handle);
    m_attached.erase(handle);
}

void UdevUsbRegistry::setPresenceObserver(std::function<void()> observer)
{
    m_presenceObserver = std::move(observer);
}

std::optional<int> UdevUsbRegistry::attachedMatching(Handle handle) const
{
    const auto it = m_attached.find(handle);
    if (it == m_attached.end())
        return std::nullopt;
    return int(it->second.size());
}

void UdevUsbRegistry::injectMonitorError(int error)
{
    m_injectedError = error;
    QMetaObject::invokeMethod(this, &UdevUsbRegistry::onMonitorReadable, Qt::QueuedConnection);
}

void UdevUsbRegistry::onMonitorReadable()
{
    if (!m_monitor)
        return;
    // Read everything first: deliveries may run nested event loops that land here again.
    std::vector<DevicePtr> events;
    int error = 0;
    for (;;) {
        if (m_injectedError != 0) {
            error = m_injectedError;
            m_injectedError = 0;
            break;
        }
        errno = 0;
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device) {
            events.emplace_back(device);
            continue;
        }
        const int e = errno;
        if (e != 0 && e != EAGAIN && e != EWOULDBLOCK && e != EINTR)
            error = e;
        break;
    }
    for (const DevicePtr& device : events)
        handleEvent(device.get());
    if (error != 0)
        recover(error);
}

void UdevUsbRegistry::handleEvent(udev_device* device)
{
    const char* action = udev_device_get_action(device);
    if (!action)
        return;
    const bool removed = std::strcmp(action, "remove") == 0;
    const bool added = std::strcmp(action, "add") == 0;
    if (!removed && !added)
        return; // change, bind, unbind, move: the device is still there
    // Devices are known by their name on the bus ("1-1.2"), which is unique while attached.
    const char* sysnameText = udev_device_get_sysname(device);
    const QString sysname = sysnameText ? QString::fromUtf8(sysnameText) : QString();
    // Remove events carry no sysfs attributes: only the event's own properties are reliable.
    const std::optional<UsbIdentity> identity =
        parseUeventIdentity(view(udev_device_get_property_value(device, "PRODUCT")),
                            view(udev_device_get_property_value(device, "ID_VENDOR_ID")),
                            view(udev_device_get_property_value(device, "ID_MODEL_ID")));

    bool touched = false;
    for (const auto& [handle, match] : m_registrations.all()) {
        const auto attached = m_attached.find(handle);
        if (attached == m_attached.end())
            continue; // released by an earlier delivery
        const bool matches = identity && match.matches(identity->vendorId, identity->productId);
        if (added) {
            if (matches) {
                UsbDevice info{0, QString(), identity->vendorId, identity->productId, sysname};
                attached->second.insert(sysname, Attached{devnumOf(device), info});
                touched = true;
            }
            continue;
        }
        // A device we saw attached with the watched numbers counts even if its event lacks them.
        const bool known = attached->second.remove(sysname) > 0;
        if (!matches && !known)
            continue;
        touched = true;
        const qint32 vendor = identity ? identity->vendorId : qint32(match.vendorId);
        const qint32 product = identity ? identity->productId : quint16(match.productId);
        m_registrations.deliver(handle, {UsbDevice{0, QString(), vendor, product, sysname}});
    }
    if (touched && m_presenceObserver)
        m_presenceObserver();
}

void UdevUsbRegistry::recover(int error)
{
    if (error != 0)
        log(QStringLiteral("USB event monitor failed (%1); reopening it and rescanning devices")
                .arg(QString::fromLocal8Bit(std::strerror(error))),
            LogCategory::Usb);
    closeMonitor();
    ++m_rebuilds;
    if (!openMonitor()) {
        // Nothing would report a removal: keep trying, and rescan once the monitor is back.
        log(QStringLiteral("error adding removal notification"), LogCategory::Usb);
        m_retry.start();
        return;
    }

    const std::optional<std::vector<ScannedUsbDevice>> scanned = scanUsbBus(m_udev);
    if (!scanned) {
        // Cannot tell what went; keep what we knew.
        log(QStringLiteral("Could not list USB devices after the monitor failed"),
            LogCategory::Usb);
        Q_EMIT monitorRecovered();
        return;
    }
    for (const auto& [handle, match] : m_registrations.all()) {
        const auto known = m_attached.find(handle);
        if (known == m_attached.end())
            continue; // released by an earlier delivery
        QHash<QString, Attached> now = matching(*scanned, match);
        QList<UsbDevice> gone;
        for (auto it = known->second.cbegin(); it != known->second.cend(); ++it) {
            const auto still = now.constFind(it.key());
            // Same place but a new device number: it was unplugged and plugged in meanwhile.
            if (still == now.cend() || still->devnum != it->devnum)
                gone.push_back(it->device);
        }
        known->second = std::move(now);
        m_registrations.deliver(handle, gone);
    }
    if (m_presenceObserver)
        m_presenceObserver();
    Q_EMIT monitorRecovered();
}

} // namespace wl
