// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/usb/UsbIdentity.h"

#include <charconv>

namespace wl {

namespace {

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view space = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

// The number the whole text spells, or nothing when any of it is not a digit or it overflows.
template <typename Number> std::optional<Number> whole(std::string_view text, int base)
{
    Number value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::optional<quint16> parseId(std::string_view text)
{
    const std::optional<quint32> value = parseHexNumber(text);
    if (!value || *value > 0xFFFF)
        return std::nullopt;
    return quint16(*value);
}

} // namespace

std::optional<quint32> parseHexNumber(std::string_view text)
{
    text = trimmed(text);
    // No sign and no "0x" (from_chars takes neither for an unsigned type); more than 8 digits
    // is malformed even when the leading ones are zeros.
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    return whole<quint32>(text, 16);
}

std::optional<UsbIdentity> parseUeventIdentity(std::optional<std::string_view> product,
                                               std::optional<std::string_view> vendorId,
                                               std::optional<std::string_view> modelId)
{
    if (product) {
        const std::string_view text = *product;
        const size_t first = text.find('/');
        const size_t second =
            first == std::string_view::npos ? std::string_view::npos : text.find('/', first + 1);
        if (second != std::string_view::npos &&
            text.find('/', second + 1) == std::string_view::npos) {
            const auto vendor = parseId(text.substr(0, first));
            const auto model = parseId(text.substr(first + 1, second - first - 1));
            if (vendor && model)
                return UsbIdentity{*vendor, *model};
        }
    }
    if (vendorId && modelId) {
        const auto vendor = parseId(*vendorId);
        const auto model = parseId(*modelId);
        if (vendor && model)
            return UsbIdentity{*vendor, *model};
    }
    return std::nullopt;
}

std::optional<std::string_view> ueventValue(std::string_view uevent, std::string_view key)
{
    size_t start = 0;
    while (start < uevent.size()) {
        size_t end = uevent.find('\n', start);
        if (end == std::string_view::npos)
            end = uevent.size();
        const std::string_view line = uevent.substr(start, end - start);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=')
            return line.substr(key.size() + 1);
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<quint8> parseTypeClass(std::string_view type)
{
    const std::string_view first = type.substr(0, type.find('/'));
    if (first.empty() || first.size() > 3)
        return std::nullopt;
    return whole<quint8>(first, 10);
}

} // namespace wl
