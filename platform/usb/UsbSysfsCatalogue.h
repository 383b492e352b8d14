// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/usb/UsbRegistry.h"

#include <QByteArray>

#include <optional>
#include <vector>

struct udev;

namespace wl {

struct ScannedUsbDevice
{
    UsbDevice device;
    QByteArray devnum; // changes on every plug-in
};

// The usb_device entries of the USB bus folder in sysfs, sorted by their name on the bus; the
// names come from the hardware database only for devices without a product string. Empty on a
// machine without USB; nothing when the bus cannot be read or there is no device database.
std::optional<std::vector<ScannedUsbDevice>> scanUsbBus(udev* database);

} // namespace wl
