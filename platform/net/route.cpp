#include "route.h"

#include "socket_ops.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace net {

std::optional<std::string> localAddressTowards(const std::string &peerAddress, std::uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (inet_pton(AF_INET, peerAddress.c_str(), &peer.sin_addr) != 1)
        return std::nullopt;
    const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0)
        return std::nullopt;
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0
            || ::getsockname(socket.get(), reinterpret_cast<sockaddr *>(&own), &ownLength) != 0)
        return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &own.sin_addr, text, sizeof text))
        return std::nullopt;
    return std::string(text);
}

} // namespace net
