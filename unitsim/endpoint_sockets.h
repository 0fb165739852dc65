#ifndef TANDEO_UNITSIM_ENDPOINT_SOCKETS_H
#define TANDEO_UNITSIM_ENDPOINT_SOCKETS_H

// The socket chores the emulator's endpoints share: binding the listening and receiving
// sockets, accepting a client, and the texts for the log. Every socket is non-blocking.

#include <chrono>
#include <cstdint>
#include <socket_ops.h>
#include <string>
#include <variant>

struct sockaddr_in;

namespace unitsim {

// How long a send waits for room in a full socket before it counts as failed.
constexpr std::chrono::milliseconds SendTimeout{ 1000 };

// "what: the system's text of errno".
std::string errnoText(const std::string &what);
// "address:port".
std::string endpointText(const sockaddr_in &addr);

// A bound socket (listening, for SOCK_STREAM), or the error text, e.g.
// "bind tcp 127.0.0.40:80: Address already in use".
std::variant<net::UniqueFd, std::string> bindSocket(
        int type, const std::string &address, std::uint16_t port, bool reuseAddress);

struct Accepted
{
    net::UniqueFd fd; // invalid when nothing could be accepted
    std::string peer;
};

// Accepts one waiting client as a non-blocking socket.
Accepted acceptClient(int listenFd);

} // namespace unitsim

#endif // TANDEO_UNITSIM_ENDPOINT_SOCKETS_H
