// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/usb/UdevUsbRegistry.h"

#include "platform/log/Log.h"
#include "platform/usb/UsbIdentity.h"

#include <QMetaObject>

#include <libudev.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

struct DirClose
{
    void operator()(DIR* directory) const { ::closedir(directory); }
};

std::optional<std::string_view> view(const char* text)
{
    if (!text)
        return std::nullopt;
    return std::string_view(text);
}

constexpr char kUsbBusDevices[] = "/sys/bus/usb/devices";
// Sysfs attributes fit one page; the bound only guards against a file that never ends.
constexpr qsizetype kMaxFileBytes = 64 * 1024;

// A small file below a directory, or nothing when it cannot be read (the device went away).
std::optional<QByteArray> readBelow(int directory, const QByteArray& relative)
{
    const int fd = ::openat(directory, relative.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    QByteArray content;
    char buffer[4096];
    bool failed = false;
    while (content.size() < kMaxFileBytes) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failed = true;
        if (n <= 0)
            break;
        content.append(buffer, n);
        // Sysfs hands out an attribute in one read; a short read is the end of the file.
        if (size_t(n) < sizeof buffer)
            break;
    }
    ::close(fd);
    if (failed)
        return std::nullopt;
    return content;
}

// An attribute's text as udev hands it out: up to the first NUL, trailing line ends removed.
std::optional<QByteArray> readAttribute(int directory, const QByteArray& device, const char* name)
{
    std::optional<QByteArray> text = readBelow(directory, device + '/' + name);
    if (!text)
        return std::nullopt;
    const qsizetype nul = text->indexOf('\0');
    if (nul >= 0)
        text->truncate(nul);
    while (text->endsWith('\n') || text->endsWith('\r'))
        text->chop(1);
    return text;
}

std::optional<qint32> hexAttribute(int directory, const QByteArray& device, const char* name)
{
    const std::optional<QByteArray> text = readAttribute(directory, device, name);
    if (!text)
        return std::nullopt;
    const std::optional<quint32> value = parseHexNumber(std::string_view(*text));
    if (!value)
        return std::nullopt;
    return qint32(*value);
}

std::optional<QByteArray> bytes(std::optional<std::string_view> text)
{
    if (!text)
        return std::nullopt;
    return QByteArray(text->data(), qsizetype(text->size()));
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

// Sysfs is read directly rather than through a udev enumeration: one or two small files per
// device instead of a device object with a dozen lookups keeps a full bus listing cheap.
std::optional<std::vector<UdevUsbRegistry::Scanned>> UdevUsbRegistry::scan()
{
    if (!m_udev)
        return std::nullopt;
    const int directory = ::open(kUsbBusDevices, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        if (errno == ENOENT)
            return std::vector<Scanned>(); // no USB support on this machine
        return std::nullopt;
    }
    DIR* listing = ::fdopendir(directory);
    if (!listing) {
        ::close(directory);
        return std::nullopt;
    }
    const std::unique_ptr<DIR, DirClose> owner(listing);
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        // Interfaces ("1-1:1.0") share the folder with the devices; a device name has no colon.
        if (name.startsWith('.') || name.contains(':'))
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());

    std::vector<Scanned> result;
    result.reserve(names.size());
    for (const QByteArray& name : names) {
        const std::optional<QByteArray> uevent = readBelow(directory, name + "/uevent");
        if (!uevent)
            continue; // went away while we looked
        const std::string_view properties(*uevent);
        if (ueventValue(properties, "DEVTYPE") != std::string_view("usb_device"))
            continue;
        // The kernel's PRODUCT carries the same numbers as idVendor/idProduct, and is what a
        // removal reports; the attribute files are asked only when it is unreadable.
        std::optional<qint32> vendor, product;
        if (const auto identity = parseUeventIdentity(ueventValue(properties, "PRODUCT"), {}, {})) {
            vendor = identity->vendorId;
            product = identity->productId;
        } else {
            vendor = hexAttribute(directory, name, "idVendor");
            product = hexAttribute(directory, name, "idProduct");
        }
        std::optional<qint32> deviceClass;
        if (const auto type = ueventValue(properties, "TYPE"); type && parseTypeClass(*type))
            deviceClass = *parseTypeClass(*type);
        else
            deviceClass = hexAttribute(directory, name, "bDeviceClass");
        if (!deviceClass || !vendor || !product)
            continue;
        result.push_back(Scanned{UsbDevice{*deviceClass, deviceName(directory, name), *vendor,
                                           *product, QString::fromUtf8(name)},
                                 bytes(ueventValue(properties, "DEVNUM")).value_or(QByteArray())});
    }
    return result;
}

// The device descriptor's product string, else the hardware database's model name: both
// stay the same across unplugging and plugging in.
QString UdevUsbRegistry::deviceName(int directory, const QByteArray& device) const
{
    if (const std::optional<QByteArray> name = readAttribute(directory, device, "product"))
        return QString::fromUtf8(*name);
    const DevicePtr known(
        udev_device_new_from_subsystem_sysname(m_udev, "usb", device.constData()));
    const char* model =
        known ? udev_device_get_property_value(known.get(), "ID_MODEL_FROM_DATABASE") : nullptr;
    return model ? QString::fromUtf8(model) : QString();
}

std::optional<QList<UsbDevice>> UdevUsbRegistry::attachedDevices()
{
    std::optional<std::vector<Scanned>> scanned = scan();
    if (!scanned)
        return std::nullopt;
    QList<UsbDevice> devices;
    devices.reserve(qsizetype(scanned->size()));
    for (Scanned& s : *scanned)
        devices.push_back(std::move(s.device));
    return devices;
}

QHash<QString, UdevUsbRegistry::Attached>
UdevUsbRegistry::matching(const std::vector<Scanned>& scanned, const UsbMatch& match)
{
    QHash<QString, Attached> result;
    for (const Scanned& s : scanned) {
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
    const std::optional<std::vector<Scanned>> scanned = scan();
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

    const std::optional<std::vector<Scanned>> scanned = scan();
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
