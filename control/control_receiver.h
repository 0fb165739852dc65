#ifndef TANDEO_CONTROL_RECEIVER_H
#define TANDEO_CONTROL_RECEIVER_H

// What the client does with the bytes the unit sends, without sockets or threads: reassembly
// into whole messages, the dispatch table, and the automatic responses. The socket adapter
// feeds received pieces in and sends out what the reply sink is handed.

#include "control_codec.h"
#include "control_events.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace control {

// Bytes received but not yet a whole message. A message may arrive split over several reads,
// or several may come in one: keep the tail until it is whole. A message is never longer than
// 12 + 65535 bytes, so what is held stays bounded.
class Reassembler
{
public:
    void append(std::span<const std::uint8_t> piece);

    // Removes and returns the next whole message (header and payload), or nullopt while the
    // bytes held do not yet make one.
    std::optional<std::vector<std::uint8_t>> takeMessage();

    std::size_t pendingBytes() const { return m_bytes.size() - m_start; }
    void clear();

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_start = 0; // bytes before this are dispatched
};

struct Callbacks
{
    NotifyCallback notify = nullptr; // an unset callback is skipped
    RequestCallback request = nullptr; // unset: the request is answered as accepted (0)
};

// Receives each automatic response, whole, in the order they arise.
using ReplySink = std::function<void(std::span<const std::uint8_t> message)>;

enum class DispatchResult {
    Continue,
    PeerLeft, // a MSG_DISCONNECT arrived: the channel is to be closed
};

// Dispatches one whole message by its type. Types 0, 1, 8 and above are ignored, and so is a
// MSG_RESPONSE with fewer than 2 payload bytes or an unknown `answers`. Automatic responses
// carry peerTag.
DispatchResult dispatchMessage(std::span<const std::uint8_t> message, const SessionTag &peerTag,
        const Callbacks &callbacks, const ReplySink &reply);

// Reassembly and dispatch for one connection; a new connection starts with a new Receiver, so
// an incomplete tail of the last connection is never mixed into the next.
class Receiver
{
public:
    explicit Receiver(const SessionTag &peerTag) : m_peerTag(peerTag) { }

    // Appends one received piece and dispatches every message it completes, in order. Once the
    // unit said MSG_DISCONNECT the rest is dropped and every later call returns PeerLeft: the
    // unit has left, nothing after that is answered.
    DispatchResult feed(std::span<const std::uint8_t> piece, const Callbacks &callbacks,
            const ReplySink &reply);

    std::size_t pendingBytes() const { return m_reassembler.pendingBytes(); }

private:
    SessionTag m_peerTag;
    Reassembler m_reassembler;
    bool m_peerLeft = false;
};

} // namespace control

#endif // TANDEO_CONTROL_RECEIVER_H
