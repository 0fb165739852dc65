#ifndef TANDEO_PLATFORM_NET_SOCKET_OPS_H
#define TANDEO_PLATFORM_NET_SOCKET_OPS_H

// The few POSIX socket operations the control channel needs, in place of Winsock: TCP connect
// with a time-out, whole sends with a time-out and without SIGPIPE, receives and readiness
// waits that ride over EINTR. Each function owns no state. Addresses are numeric only
// (ipv4_address.h): nothing here asks a resolver.

#include "ipv4_address.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>

namespace net {

// Owns one descriptor and closes it exactly once.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) { }
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) { }
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

enum class ConnectStatus {
    Connected,
    SocketFailed, // no socket could be created
    NotConnected, // refused, unreachable, or not made within the time-out
};

struct ConnectResult
{
    ConnectStatus status = ConnectStatus::NotConnected;
    UniqueFd socket; // a blocking socket with SO_KEEPALIVE when Connected, else empty
    int error = 0; // errno of the failure
};

// Non-blocking connect waited for at most `timeout`, then back to blocking with SO_KEEPALIVE.
// A failed attempt's socket is closed here.
ConnectResult connectTcp(
        const Ipv4Address &address, std::uint16_t port, std::chrono::milliseconds timeout);

// Sends all of `bytes` (looping over partial sends and EINTR) without raising SIGPIPE when the
// peer is gone, waiting for room whenever the socket is full, but no longer than `timeout` in all;
// for blocking and non-blocking sockets alike. Returns the byte count, or -1 on an error or
// when time ran out (errno ETIMEDOUT: the peer takes nothing off its socket).
ssize_t sendAllWithin(
        int fd, std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout);

// One receive of at most buffer.size() bytes, retried on EINTR: > 0 bytes, 0 closed, -1 error.
ssize_t receiveSome(int fd, std::span<std::uint8_t> buffer);

enum class WaitResult { Readable, TimedOut, Failed };

// Waits until fd has something to read (data, end of stream or an error), at most `timeout`.
WaitResult waitReadable(int fd, std::chrono::microseconds timeout);

// Ends both directions so a thread waiting on fd wakes; the descriptor stays open.
void shutdownBoth(int fd);

} // namespace net

#endif // TANDEO_PLATFORM_NET_SOCKET_OPS_H
