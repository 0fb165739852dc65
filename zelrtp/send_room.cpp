#include "send_room.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelrtp {

SendGate::SendGate() : m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) { }

SendGate::~SendGate()
{
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void SendGate::setCancelled(bool cancelled)
{
    m_cancelled.store(cancelled, std::memory_order_release);
    if (m_wakeFd < 0)
        return;
    std::uint64_t count = 1;
    if (cancelled) {
        [[maybe_unused]] const ssize_t written = write(m_wakeFd, &count, sizeof count);
    } else {
        [[maybe_unused]] const ssize_t read = ::read(m_wakeFd, &count, sizeof count);
    }
}

Room waitForRoom(int socket, const SendGate *gate, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    pollfd fds[2] = { { socket, POLLOUT, 0 }, { gate ? gate->wakeFd() : -1, POLLIN, 0 } };
    for (;;) {
        if (gate && gate->cancelled())
            return Room::Cancelled;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready = poll(fds, 2, left.count() > 0 ? int(left.count()) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (gate && gate->cancelled())
            return Room::Cancelled;
        // A failing poll() or a socket error: the send itself says what is wrong.
        if (ready < 0 || (fds[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)))
            return Room::Ready;
        if (ready == 0 && left.count() <= 0)
            return Room::Stalled;
    }
}

bool limitSendBuffer(int socket)
{
    const int bytes = SendBufferBytes;
    return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

} // namespace zelrtp
