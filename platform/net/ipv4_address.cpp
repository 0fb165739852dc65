#include "ipv4_address.h"

namespace net {

std::uint32_t Ipv4Address::toHostOrder() const
{
    return (std::uint32_t{ octets[0] } << 24) | (std::uint32_t{ octets[1] } << 16)
            | (std::uint32_t{ octets[2] } << 8) | std::uint32_t{ octets[3] };
}

std::optional<Ipv4Address> parseIpv4(std::string_view text)
{
    Ipv4Address address;
    std::size_t pos = 0;
    for (std::size_t field = 0; field < address.octets.size(); ++field) {
        if (field != 0) {
            if (pos >= text.size() || text[pos] != '.')
                return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (++digits > 3)
                return std::nullopt;
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        address.octets[field] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size())
        return std::nullopt;
    return address;
}

std::string formatIpv4(const Ipv4Address &address)
{
    std::string text;
    for (std::size_t i = 0; i < address.octets.size(); ++i) {
        if (i != 0)
            text += '.';
        text += std::to_string(address.octets[i]);
    }
    return text;
}

std::optional<std::string> canonicalIpv4(std::string_view text)
{
    if (const auto address = parseIpv4(text))
        return formatIpv4(*address);
    return std::nullopt;
}

} // namespace net
