#ifndef ZELRTP_SEND_ROOM_H
#define ZELRTP_SEND_ROOM_H

// Pacing a frame to the link and to the unit. The RTP socket is non-blocking and its send
// buffer small, so the kernel's queue drains at the speed of the link: before each packet the
// sender waits until the socket has room, rather than handing the kernel a packet it would
// refuse (and lose). A leaky bucket spaces the packets beyond a first burst, so a unit with a
// small receive buffer is not flooded at line rate on a fast link. A frame whose packets find
// no room for a long time is abandoned, and one being sent can be cancelled from another thread.

#include <atomic>
#include <chrono>
#include <cstddef>

namespace zelrtp {

// The socket send buffer asked for. The kernel doubles it to cover its own overhead of each
// packet: about 70 KB of a frame's payload waits in it, the burst that leaves at line rate.
constexpr int SendBufferBytes = 64 * 1024;
// No room for this long: the link is gone.
constexpr std::chrono::milliseconds StallLimit{ 2000 };
// The leaky bucket: this much leaves at line rate after a pause, then the packets follow at the
// pacing rate, 300 Mbit/s: far above what a frame a unit pulls needs on any office link, and
// slow enough for an embedded unit to read its socket as they come. The burst is half of a
// small 64 KB receive buffer, so a unit that reads it late by a millisecond loses nothing.
constexpr double BurstBytes = 32 * 1024;
constexpr double PacingBytesPerSecond = 37.5e6;
// Once the bucket is empty the sender sleeps until this much may go, and hands it over at once:
// a wake-up per dozen and a half packets rather than one per packet. Less than the bucket holds,
// so the time a sleep overruns still counts towards the next chunk: the pacing rate holds.
constexpr double PacingChunkBytes = 24 * 1024;

class Pacer
{
public:
    using Clock = std::chrono::steady_clock;

    // How long to wait before `bytes` may go at `now`; zero when they may go now, and then
    // they are counted as gone.
    std::chrono::nanoseconds delayFor(double bytes, Clock::time_point now);
    // How many of `count` packets of `bytes` may go at `now` without a wait; they are counted
    // as gone.
    int takeUpTo(double bytes, int count, Clock::time_point now);
    // How long to wait before a turn of `count` packets of `bytes` may go at once, or as many
    // of them as make a chunk; zero when they may go now. Nothing is counted as gone. Waiting
    // for whole turns keeps the packets that trickle in while a turn is sent from making a
    // turn of their own.
    std::chrono::nanoseconds delayForTurn(double bytes, int count, Clock::time_point now);

private:
    void refill(Clock::time_point now);
    // How long until the bucket holds `wanted` at the pacing rate.
    std::chrono::nanoseconds untilTokens(double wanted) const;

    double m_tokens = BurstBytes;
    Clock::time_point m_last{};
};

// What a frame call waits on besides the socket: a cancel request from another thread. One per
// session opened by initSession(); a session made otherwise has none and is never cancelled.
class SendGate
{
public:
    SendGate();
    ~SendGate();
    SendGate(const SendGate &) = delete;
    SendGate &operator=(const SendGate &) = delete;

    // Any thread: while set, waits end at once as cancelled.
    void setCancelled(bool cancelled);
    bool cancelled() const { return m_cancelled.load(std::memory_order_acquire); }
    int wakeFd() const { return m_wakeFd; }

    Pacer pacer; // the sending thread's only

private:
    std::atomic<bool> m_cancelled{ false };
    int m_wakeFd = -1; // readable while cancelled, so a waiting poll() returns
};

enum class Room {
    Ready, // the next packet fits (or the socket has an error the send will report)
    Cancelled,
    Stalled, // no room within the limit
};

// The room in one socket's send queue while a frame leaves. The kernel takes a datagram while
// less than the send buffer is queued (in its own accounting, where a packet costs its payload
// and some overhead), but poll() reports room only below half of it. Asking for the queue's
// size lets a frame fill the whole buffer and wait only when it is full. The size is asked
// once for as many packets as surely fit, not for every packet: on a fast link a frame then
// costs its sends and a few questions. One per frame, on the sending thread.
class SendQueue
{
public:
    explicit SendQueue(int socket); // reads the socket's send buffer size once

    // Waits until the socket can take one more packet of `bytes`: its turn in the gate's
    // pacer, then room in the socket; a Ready packet is counted as queued. gate may be null
    // (no pacing, no cancelling).
    Room waitForRoom(
            SendGate *gate, std::size_t bytes, std::chrono::milliseconds limit = StallLimit);

    struct Turn
    {
        Room room;
        int packets; // that may go now, one after the other; 0 unless Ready
    };
    // Waits for the pacer to let a turn of `most` packets go (or a chunk's worth of them), then
    // as waitForRoom() for one packet, and adds those of the same size that may follow at once
    // (their turn in the pacer and room in the socket), up to `most` in all. All of them are
    // counted as queued: a batch of them can go in one call.
    Turn waitForTurn(SendGate *gate, std::size_t bytes, int most,
            std::chrono::milliseconds limit = StallLimit);

private:
    // Asks the kernel; false when the socket will not say (then poll() decides).
    bool askForRoom(std::size_t bytes);

    int m_socket;
    int m_sendBufferBytes = 0; // the kernel's accounting; 0 when unknown
    int m_packetsThatFit = 0; // without asking again
};

// The most a datagram of `bytes` payload can count against a send buffer: its payload, the
// IP and UDP headers and the kernel's bookkeeping, rounded up to its allocation. A 1412-byte
// packet counts 2304 bytes on this kernel; the bound leaves room for others.
constexpr std::size_t queuedBytesBound(std::size_t bytes)
{
    return 2 * bytes + 1024;
}

// Waits as SendQueue does for one packet on a socket of its own.
Room waitForRoom(int socket, SendGate *gate, std::size_t bytes,
        std::chrono::milliseconds limit = StallLimit);

// Gives the socket the send buffer above. False when the socket refuses it.
bool limitSendBuffer(int socket);

} // namespace zelrtp

#endif // ZELRTP_SEND_ROOM_H
