#include "platform/usb/UsbIdentity.h"

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
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    quint32 value = 0;
    for (const char c : text) {
        quint32 digit = 0;
        if (c >= '0' && c <= '9')
            digit = quint32(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = quint32(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = quint32(c - 'A' + 10);
        else
            return std::nullopt;
        value = value << 4 | digit;
    }
    return value;
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

} // namespace wl
