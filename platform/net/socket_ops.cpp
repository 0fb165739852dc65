#include "socket_ops.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace net {

namespace {

using Clock = std::chrono::steady_clock;

bool setBlocking(int fd, bool blocking)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) == 0;
}

timespec toTimespec(std::chrono::nanoseconds duration)
{
    if (duration.count() < 0)
        duration = {};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds.count());
    ts.tv_nsec = static_cast<long>((duration - seconds).count());
    return ts;
}

} // namespace

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

ConnectResult connectTcp(
        const Ipv4Address &address, std::uint16_t port, std::chrono::milliseconds timeout)
{
    ConnectResult result;
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd.valid()) {
        result.status = ConnectStatus::SocketFailed;
        result.error = errno;
        return result;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address.toHostOrder());

    if (!setBlocking(fd.get(), false)) {
        result.error = errno;
        return result;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            result.error = errno;
            return result;
        }
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            pollfd watch{ fd.get(), POLLOUT, 0 };
            const timespec left = toTimespec(deadline - Clock::now());
            const int ready = ::ppoll(&watch, 1, &left, nullptr);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0) {
                result.error = ready == 0 ? ETIMEDOUT : errno;
                return result;
            }
            break;
        }
        // Writable also means "failed": the outcome is in SO_ERROR.
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        if (error != 0) {
            result.error = error;
            return result;
        }
    }
    const int on = 1;
    if (!setBlocking(fd.get(), true)
            || ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        result.error = errno;
        return result;
    }
    result.status = ConnectStatus::Connected;
    result.socket = std::move(fd);
    return result;
}

ssize_t sendAllWithin(
        int fd, std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
                ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return -1;
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd watch{ fd, POLLOUT, 0 };
        ::poll(&watch, 1, static_cast<int>(left.count()));
    }
    return static_cast<ssize_t>(sent);
}

ssize_t receiveSome(int fd, std::span<std::uint8_t> buffer)
{
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

WaitResult waitReadable(int fd, std::chrono::microseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd watch{ fd, POLLIN, 0 };
        const timespec left = toTimespec(deadline - Clock::now());
        const int ready = ::ppoll(&watch, 1, &left, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return WaitResult::Failed;
        return ready == 0 ? WaitResult::TimedOut : WaitResult::Readable;
    }
}

void shutdownBoth(int fd)
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

} // namespace net
