#include "send_room.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
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

void Pacer::refill(Clock::time_point now)
{
    const double elapsed = std::chrono::duration<double>(now - m_last).count();
    m_tokens = std::min(BurstBytes, m_tokens + elapsed * PacingBytesPerSecond);
    m_last = now;
}

int Pacer::takeUpTo(double bytes, int count, Clock::time_point now)
{
    refill(now);
    const int taken = std::clamp(int(m_tokens / bytes), 0, std::max(count, 0));
    m_tokens -= taken * bytes;
    return taken;
}

std::chrono::nanoseconds Pacer::untilTokens(double wanted) const
{
    const double seconds = (wanted - m_tokens) / PacingBytesPerSecond;
    return std::chrono::nanoseconds(std::int64_t(seconds * 1e9) + 1);
}

std::chrono::nanoseconds Pacer::delayForTurn(double bytes, int count, Clock::time_point now)
{
    refill(now);
    const double wanted = bytes * std::clamp(int(PacingChunkBytes / bytes), 1, std::max(count, 1));
    return m_tokens >= wanted ? std::chrono::nanoseconds::zero() : untilTokens(wanted);
}

std::chrono::nanoseconds Pacer::delayFor(double bytes, Clock::time_point now)
{
    refill(now);
    if (m_tokens >= bytes) {
        m_tokens -= bytes;
        return {};
    }
    return untilTokens(std::max(bytes, PacingChunkBytes));
}

namespace {

// Sleeps for delay unless the gate is cancelled meanwhile; false when it was.
bool sleepUnlessCancelled(const SendGate &gate, std::chrono::nanoseconds delay)
{
    const auto end = std::chrono::steady_clock::now() + delay;
    pollfd wake{ gate.wakeFd(), POLLIN, 0 };
    for (;;) {
        if (gate.cancelled())
            return false;
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{ time_t(ns / 1'000'000'000), long(ns % 1'000'000'000) };
        ppoll(&wake, 1, &timeout, nullptr);
    }
}

// Sleeps until the pacer's next delay is zero; false when the gate was cancelled meanwhile.
template <typename NextDelay> bool waitForPacer(const SendGate &gate, NextDelay nextDelay)
{
    for (;;) {
        const std::chrono::nanoseconds delay = nextDelay(std::chrono::steady_clock::now());
        if (delay == std::chrono::nanoseconds::zero())
            return true;
        if (!sleepUnlessCancelled(gate, delay))
            return false;
    }
}

} // namespace

SendQueue::SendQueue(int socket) : m_socket(socket)
{
    int sendBuffer = 0;
    socklen_t length = sizeof sendBuffer;
    if (getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) == 0 && sendBuffer > 0)
        m_sendBufferBytes = sendBuffer;
}

bool SendQueue::askForRoom(std::size_t bytes)
{
    int queued = 0;
    if (m_sendBufferBytes <= 0 || ioctl(m_socket, SIOCOUTQ, &queued) != 0)
        return false;
    // The n-th packet from now is taken while the n - 1 before it leave less than the buffer
    // queued.
    const long long room = (long long)m_sendBufferBytes - queued;
    m_packetsThatFit = room > 0 ? int(1 + (room - 1) / (long long)queuedBytesBound(bytes)) : 0;
    return true;
}

Room SendQueue::waitForRoom(SendGate *gate, std::size_t bytes, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    if (gate) {
        // The packet's turn first: a wait here never counts as a stalled link.
        if (!waitForPacer(*gate, [&](Clock::time_point now) {
                return gate->pacer.delayFor(double(bytes), now);
            }))
            return Room::Cancelled;
        if (gate->cancelled())
            return Room::Cancelled;
    }
    if (m_packetsThatFit > 0 || (askForRoom(bytes) && m_packetsThatFit > 0)) {
        --m_packetsThatFit;
        return Room::Ready;
    }
    const Clock::time_point deadline = Clock::now() + limit;
    pollfd fds[2] = { { m_socket, POLLOUT, 0 }, { gate ? gate->wakeFd() : -1, POLLIN, 0 } };
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
        if (ready < 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return Room::Ready;
        // Writable means half the buffer is free: ask how many packets that makes.
        if (fds[0].revents & POLLOUT) {
            if (askForRoom(bytes) && m_packetsThatFit > 0)
                --m_packetsThatFit;
            return Room::Ready;
        }
        if (ready == 0 && left.count() <= 0)
            return Room::Stalled;
    }
}

SendQueue::Turn SendQueue::waitForTurn(
        SendGate *gate, std::size_t bytes, int most, std::chrono::milliseconds limit)
{
    if (gate && !waitForPacer(*gate, [&](Pacer::Clock::time_point now) {
            return gate->pacer.delayForTurn(double(bytes), most, now);
        }))
        return { Room::Cancelled, 0 };
    const Room room = waitForRoom(gate, bytes, limit);
    if (room != Room::Ready)
        return { room, 0 };
    // The room counted before the last turn left is usually stale by now: the link took it.
    if (m_packetsThatFit < most - 1 && askForRoom(bytes))
        --m_packetsThatFit; // the packet waitForRoom() let go
    int more = std::clamp(most - 1, 0, std::max(m_packetsThatFit, 0));
    if (gate && more > 0)
        more = gate->pacer.takeUpTo(double(bytes), more, std::chrono::steady_clock::now());
    m_packetsThatFit -= more;
    return { Room::Ready, 1 + more };
}

Room waitForRoom(int socket, SendGate *gate, std::size_t bytes, std::chrono::milliseconds limit)
{
    return SendQueue(socket).waitForRoom(gate, bytes, limit);
}

bool limitSendBuffer(int socket)
{
    const int bytes = SendBufferBytes;
    return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

} // namespace zelrtp
