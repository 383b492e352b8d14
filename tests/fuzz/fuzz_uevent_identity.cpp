// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds uevent properties ("KEY=value" lines, as the kernel and udevd send them, and as a
// device's uevent file holds them) to the identity and uevent file parsers. Beyond crashes it
// checks the answers: every accepted number is what the text says, and an identity written back
// in either event form reads back the same.

#include "FuzzCheck.h"

#include "platform/usb/UsbIdentity.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

using namespace wl;
using wl::fuzz::check;

namespace {

// Independent of the parser: std::from_chars over the trimmed text.
std::optional<quint32> expectedHex(std::string_view text)
{
    constexpr std::string_view space = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return std::nullopt;
    text = text.substr(first, text.find_last_not_of(space) - first + 1);
    if (text.size() > 8 || text.front() == '+' || text.front() == '-')
        return std::nullopt;
    quint32 value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
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
    std::optional<std::string_view> product, vendorId, modelId, firstType, firstDevtype;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        const std::string_view line = input.substr(start, end - start);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            const std::string_view key = line.substr(0, eq);
            const std::string_view value = line.substr(eq + 1);
            if (key == "PRODUCT")
                product = value;
            else if (key == "ID_VENDOR_ID")
                vendorId = value;
            else if (key == "ID_MODEL_ID")
                modelId = value;
            else if (key == "TYPE" && !firstType)
                firstType = value;
            else if (key == "DEVTYPE" && !firstDevtype)
                firstDevtype = value;
        }
        start = end + 1;
    }

    // Read as a uevent file, the first line of a key gives its value.
    check(ueventValue(input, "TYPE") == firstType, "uevent TYPE");
    check(ueventValue(input, "DEVTYPE") == firstDevtype, "uevent DEVTYPE");
    if (firstType) {
        const std::string_view type = *firstType;
        const std::string_view digits = type.substr(0, type.find('/'));
        unsigned expected = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), expected, 10);
        const bool readable = !digits.empty() && digits.size() <= 3 && digits.front() != '-' &&
                              digits.front() != '+' && error == std::errc() &&
                              end == digits.data() + digits.size() && expected <= 0xFF;
        const std::optional<quint8> deviceClass = parseTypeClass(type);
        check(deviceClass.has_value() == readable, "TYPE class accepted");
        check(!deviceClass || *deviceClass == expected, "TYPE class value");
    }

    for (const auto& field : {product, vendorId, modelId}) {
        if (field)
            check(parseHexNumber(*field) == expectedHex(*field), "hex number");
    }
    if (product) {
        // Each slash-separated part of PRODUCT is a number of its own.
        std::string_view rest = *product;
        for (size_t slash; (slash = rest.find('/')) != std::string_view::npos;
             rest = rest.substr(slash + 1))
            check(parseHexNumber(rest.substr(0, slash)) == expectedHex(rest.substr(0, slash)),
                  "PRODUCT part");
    }

    const std::optional<UsbIdentity> identity = parseUeventIdentity(product, vendorId, modelId);
    if (!identity) {
        check(!vendorId || !modelId || !expectedHex(*vendorId) || !expectedHex(*modelId) ||
                  *expectedHex(*vendorId) > 0xFFFF || *expectedHex(*modelId) > 0xFFFF,
              "readable ID_VENDOR_ID and ID_MODEL_ID ignored");
        return 0;
    }
    const unsigned vid = identity->vendorId;
    const unsigned pid = identity->productId;
    const bool fromIds =
        vendorId && modelId && expectedHex(*vendorId) == vid && expectedHex(*modelId) == pid;
    const std::string_view p = product.value_or(std::string_view());
    const size_t first = p.find('/');
    const size_t second = first == p.npos ? p.npos : p.find('/', first + 1);
    const bool fromProduct = second != p.npos && expectedHex(p.substr(0, first)) == vid &&
                             expectedHex(p.substr(first + 1, second - first - 1)) == pid;
    check(fromIds || fromProduct, "identity from nowhere");

    // Written back the way the kernel and udevd write it, the identity reads the same.
    const std::string kernel = hex(vid, 0) + '/' + hex(pid, 0) + "/100";
    check(parseUeventIdentity(kernel, std::nullopt, std::nullopt) == identity, "PRODUCT form");
    const std::string paddedVendor = hex(vid, 4), paddedModel = hex(pid, 4);
    check(parseUeventIdentity(std::nullopt, paddedVendor, paddedModel) == identity, "ID_* form");
    return 0;
}
