// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds uevent properties ("KEY=value" lines, as the kernel and udevd send them, and as a
// device's uevent file holds them) to the identity and uevent file parsers. Beyond crashes it
// checks that the first line of a key gives its value, and that an identity written back in
// either event form reads back the same.

#include "FuzzCheck.h"

#include "platform/usb/UsbIdentity.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

using namespace wl;
using wl::fuzz::check;

namespace {

// The value of the first "key=" line, read independently of the parser.
std::optional<std::string_view> firstValue(std::string_view input, std::string_view key)
{
    for (size_t start = 0; start <= input.size();) {
        const size_t end = std::min(input.find('\n', start), input.size());
        const std::string_view line = input.substr(start, end - start);
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == '=')
            return line.substr(key.size() + 1);
        start = end + 1;
    }
    return std::nullopt;
}

std::string hex(unsigned value, int width)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*x", width, value);
    return buffer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"TYPE", "DEVTYPE", "PRODUCT", "ID_VENDOR_ID", "ID_MODEL_ID"})
        check(ueventValue(input, key) == firstValue(input, key), key);
    if (const auto type = ueventValue(input, "TYPE"))
        parseTypeClass(*type);

    const std::optional<UsbIdentity> identity =
        parseUeventIdentity(ueventValue(input, "PRODUCT"), ueventValue(input, "ID_VENDOR_ID"),
                            ueventValue(input, "ID_MODEL_ID"));
    if (!identity)
        return 0;
    // Written back the way the kernel and udevd write it, the identity reads the same.
    const std::string kernel =
        hex(identity->vendorId, 0) + '/' + hex(identity->productId, 0) + "/100";
    check(parseUeventIdentity(kernel, std::nullopt, std::nullopt) == identity, "PRODUCT form");
    const std::string vendor = hex(identity->vendorId, 4), model = hex(identity->productId, 4);
    check(parseUeventIdentity(std::nullopt, vendor, model) == identity, "ID_* form");
    return 0;
}
