#ifndef TANDEO_PLATFORM_NET_ROUTE_H
#define TANDEO_PLATFORM_NET_ROUTE_H

// The host's own IPv4 address on the route to a peer, as the system would pick it for a packet
// there.

#include <cstdint>
#include <optional>
#include <string>

namespace net {

// peerAddress is dotted decimal IPv4. Empty when it is not such an address or there is no
// route to it. Nothing is sent: a UDP socket connected to the peer tells the address.
std::optional<std::string> localAddressTowards(const std::string &peerAddress, std::uint16_t port);

} // namespace net

#endif // TANDEO_PLATFORM_NET_ROUTE_H
