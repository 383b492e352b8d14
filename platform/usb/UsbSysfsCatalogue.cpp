// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/usb/UsbSysfsCatalogue.h"

#include "platform/usb/UsbIdentity.h"

#include <libudev.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace wl {

namespace {

struct DeviceUnref
{
    void operator()(udev_device* device) const { udev_device_unref(device); }
};

struct DirClose
{
    void operator()(DIR* directory) const { ::closedir(directory); }
};

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

// The device descriptor's product string, else the hardware database's model name: both
// stay the same across unplugging and plugging in.
QString deviceName(udev* database, int directory, const QByteArray& device)
{
    if (const std::optional<QByteArray> name = readAttribute(directory, device, "product"))
        return QString::fromUtf8(*name);
    const std::unique_ptr<udev_device, DeviceUnref> known(
        udev_device_new_from_subsystem_sysname(database, "usb", device.constData()));
    const char* model =
        known ? udev_device_get_property_value(known.get(), "ID_MODEL_FROM_DATABASE") : nullptr;
    return model ? QString::fromUtf8(model) : QString();
}

} // namespace

// Sysfs is read directly rather than through a udev enumeration: one or two small files per
// device instead of a device object with a dozen lookups keeps a full bus listing cheap.
std::optional<std::vector<ScannedUsbDevice>> scanUsbBus(udev* database)
{
    if (!database)
        return std::nullopt;
    const int directory = ::open(kUsbBusDevices, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        if (errno == ENOENT)
            return std::vector<ScannedUsbDevice>(); // no USB support on this machine
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

    std::vector<ScannedUsbDevice> result;
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
        result.push_back(
            ScannedUsbDevice{UsbDevice{*deviceClass, deviceName(database, directory, name), *vendor,
                                       *product, QString::fromUtf8(name)},
                             bytes(ueventValue(properties, "DEVNUM")).value_or(QByteArray())});
    }
    return result;
}

} // namespace wl
