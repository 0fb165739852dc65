#ifndef ZELRTP_SEND_ROOM_H
#define ZELRTP_SEND_ROOM_H

// Pacing a frame to the link. The RTP socket is non-blocking and its send buffer small (a
// burst of about 64 KB), so the kernel's queue drains at the speed of the link: before each
// packet the sender waits until the socket has room, rather than handing the kernel a packet it
// would refuse (and lose). A frame whose packets find no room for a long time is abandoned, and
// one being sent can be cancelled from another thread.

#include <atomic>
#include <chrono>

namespace zelrtp {

// The socket send buffer asked for: the kernel doubles it and takes packets while less than
// this much is queued, so this is the burst that leaves at line rate.
constexpr int SendBufferBytes = 64 * 1024;
// No room for this long: the link is gone.
constexpr std::chrono::milliseconds StallLimit{ 2000 };

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

private:
    std::atomic<bool> m_cancelled{ false };
    int m_wakeFd = -1; // readable while cancelled, so a waiting poll() returns
};

enum class Room {
    Ready, // the next packet fits (or the socket has an error the send will report)
    Cancelled,
    Stalled, // no room within the limit
};

// Waits until socket can take one more packet. gate may be null.
Room waitForRoom(int socket, const SendGate *gate, std::chrono::milliseconds limit = StallLimit);

// Gives the socket the send buffer above. False when the socket refuses it.
bool limitSendBuffer(int socket);

} // namespace zelrtp

#endif // ZELRTP_SEND_ROOM_H
