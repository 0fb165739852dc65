#ifndef TANDEO_PLATFORM_NET_IPV4_ADDRESS_H
#define TANDEO_PLATFORM_NET_IPV4_ADDRESS_H

// Dotted IPv4 text as the profiles hold it. Every octet is read as a DECIMAL number: leading
// zeros are allowed and change nothing ("010" is ten, never eight), so an address typed with
// padded fields reaches the same unit as the plain one. Pure: no I/O.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace net {

struct Ipv4Address
{
    std::array<std::uint8_t, 4> octets{}; // first octet first, as written

    // The address as a 32-bit number in host order (first octet in the high byte).
    std::uint32_t toHostOrder() const;

    bool operator==(const Ipv4Address &) const = default;
};

// Accepts exactly four fields of 1 to 3 ASCII decimal digits each, separated by single dots,
// each 0 to 255 after reading it in decimal. Nothing else is accepted: no signs, no spaces, no
// hexadecimal or octal forms, no shortened forms such as "127.1".
std::optional<Ipv4Address> parseIpv4(std::string_view text);

// Canonical text: four decimal octets without leading zeros ("10.0.0.1").
std::string formatIpv4(const Ipv4Address &address);

// parseIpv4 then formatIpv4: "010.000.000.001" gives "10.0.0.1"; nullopt when not an address.
std::optional<std::string> canonicalIpv4(std::string_view text);

} // namespace net

#endif // TANDEO_PLATFORM_NET_IPV4_ADDRESS_H
