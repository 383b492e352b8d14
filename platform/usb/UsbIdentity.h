// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <optional>
#include <string_view>

namespace wl {

struct UsbIdentity
{
    quint16 vendorId = 0;
    quint16 productId = 0;
    friend bool operator==(const UsbIdentity&, const UsbIdentity&) = default;
};

// Hexadecimal text as sysfs attributes and uevent fields carry it ("046d", "c52b", "9"):
// 1 to 8 hex digits, surrounding ASCII whitespace ignored, no sign, no "0x".
std::optional<quint32> parseHexNumber(std::string_view text);

// The vendor and product numbers of a device from the properties of its uevent, which is all
// a remove event carries: PRODUCT ("vid/pid/bcd" in unpadded hex, set by the kernel) first,
// then ID_VENDOR_ID and ID_MODEL_ID (padded hex, set by udevd). Missing properties are
// nullopt. Numbers beyond 16 bits are malformed.
std::optional<UsbIdentity> parseUeventIdentity(std::optional<std::string_view> product,
                                               std::optional<std::string_view> vendorId,
                                               std::optional<std::string_view> modelId);

// The value of one "KEY=value" line of a uevent file, or nullopt when the key is missing.
std::optional<std::string_view> ueventValue(std::string_view uevent, std::string_view key);

// The device class from a usb_device's TYPE ("class/subclass/protocol" in decimal).
std::optional<quint8> parseTypeClass(std::string_view type);

} // namespace wl
