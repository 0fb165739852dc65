#ifndef TANDEO_UNITSIM_ENDPOINT_SOCKETS_H
#define TANDEO_UNITSIM_ENDPOINT_SOCKETS_H

// The socket chores the emulator's endpoints share: binding the listening and receiving
// sockets, accepting a client, reading with the kernel's arrival time, and the texts for the
// log. Every socket is non-blocking.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <socket_ops.h>
#include <string>
#include <sys/types.h>
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
// "bind tcp 127.0.0.40:80: Address already in use". A listening socket has the kernel stamp
// what arrives (see receiveStamped); the clients it accepts inherit that, so bytes that come
// before the accept carry their time too.
std::variant<net::UniqueFd, std::string> bindSocket(
        int type, const std::string &address, std::uint16_t port, bool reuseAddress);

struct Accepted
{
    net::UniqueFd fd; // invalid when nothing could be accepted
    std::string peer;
};

// Accepts one waiting client as a non-blocking socket whose reads carry arrival times.
Accepted acceptClient(int listenFd);

// Has the kernel stamp each received segment with its arrival time (SO_TIMESTAMPNS).
void stampArrivals(int fd);

// One read: recv's result (errno set as recv sets it) and when the bytes arrived.
struct Received
{
    ssize_t bytes = -1;
    // Microseconds of CLOCK_REALTIME when the kernel took in the last segment this read
    // returned, so a message completed by this read arrived then. Empty when the socket does
    // not stamp or nothing was read.
    std::optional<std::int64_t> arrivedUs;
};
Received receiveStamped(int fd, void *buffer, std::size_t size);

} // namespace unitsim

#endif // TANDEO_UNITSIM_ENDPOINT_SOCKETS_H
