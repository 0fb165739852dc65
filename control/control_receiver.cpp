#include "control_receiver.h"

#include <algorithm>

namespace control {

namespace {

// Compact once the dispatched head is at least this large and more than half the buffer, so
// the buffer neither grows without end nor is shifted for every message.
constexpr std::size_t CompactBytes = 4096;

void notify(const Callbacks &callbacks, int event, const unsigned char *data, int length)
{
    if (callbacks.notify)
        callbacks.notify(event, data, length);
}

int request(const Callbacks &callbacks, int event, const void *data, int length)
{
    return callbacks.request ? callbacks.request(event, data, length) : 0;
}

void dispatchResponse(std::span<const std::uint8_t> payload, const Callbacks &callbacks)
{
    const auto response = decodeResponse(payload);
    if (!response)
        return; // too short to say what it answers
    int acceptEvent = -1;
    int rejectEvent = -1;
    switch (static_cast<MsgType>(response->answers)) {
    case MsgType::MSG_CONNECT:
        acceptEvent = CONNECT_ACCEPT;
        rejectEvent = CONNECT_REJECT;
        break;
    case MsgType::MSG_SHARE:
        acceptEvent = SHARE_ACCEPT;
        rejectEvent = SHARE_REJECT;
        break;
    case MsgType::MSG_STOP:
        acceptEvent = STOP_ACCEPT;
        rejectEvent = STOP_REJECT;
        break;
    case MsgType::MSG_PARAMS:
        acceptEvent = PARAMS_ACCEPT;
        rejectEvent = PARAMS_REJECT;
        break;
    default:
        return;
    }
    if (response->result != 0) {
        const auto reason = reasonBytes(*response);
        notify(callbacks, rejectEvent, reason.data(), 0);
        return;
    }
    if (acceptEvent == CONNECT_ACCEPT) {
        const ControlParams params = decodeItems(response->tail);
        notify(callbacks, acceptEvent, reinterpret_cast<const unsigned char *>(&params),
                static_cast<int>(response->tail.size()));
        return;
    }
    notify(callbacks, acceptEvent, nullptr, 0);
}

} // namespace

void Reassembler::append(std::span<const std::uint8_t> piece)
{
    if (m_start >= CompactBytes && m_start * 2 >= m_bytes.size()) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_bytes.insert(m_bytes.end(), piece.begin(), piece.end());
}

std::optional<std::vector<std::uint8_t>> Reassembler::takeMessage()
{
    const std::span<const std::uint8_t> held(m_bytes.data() + m_start, pendingBytes());
    const auto header = decodeHeader(held);
    if (!header)
        return std::nullopt;
    const std::size_t total = HeaderSize + header->length;
    if (held.size() < total)
        return std::nullopt;
    std::vector<std::uint8_t> message(held.begin(), held.begin() + total);
    m_start += total;
    if (m_start == m_bytes.size()) {
        m_bytes.clear();
        m_start = 0;
    }
    return message;
}

void Reassembler::clear()
{
    m_bytes.clear();
    m_start = 0;
}

DispatchResult dispatchMessage(std::span<const std::uint8_t> message, const SessionTag &peerTag,
        const Callbacks &callbacks, const ReplySink &reply)
{
    const auto header = decodeHeader(message);
    if (!header)
        return DispatchResult::Continue;
    // Never trust `length` beyond what is actually there.
    const auto payload = message.subspan(
            HeaderSize, std::min<std::size_t>(header->length, message.size() - HeaderSize));
    const auto answer = [&](MsgType answers, int decision) {
        if (reply)
            reply(encodeClientResponse(peerTag, static_cast<std::uint8_t>(answers), decision));
    };

    switch (static_cast<MsgType>(header->type)) {
    case MsgType::MSG_SHARE:
        answer(MsgType::MSG_SHARE, request(callbacks, REQUESTBYPEER_SHARE, nullptr, 0));
        break;
    case MsgType::MSG_STOP:
        answer(MsgType::MSG_STOP, request(callbacks, REQUESTBYPEER_STOP, nullptr, 0));
        break;
    case MsgType::MSG_DISCONNECT:
        notify(callbacks, PEER_DISCONNECT, nullptr, 0);
        return DispatchResult::PeerLeft;
    case MsgType::MSG_PARAMS: {
        const ControlParams params = decodeItems(payload);
        answer(MsgType::MSG_PARAMS, request(callbacks, REQUESTBYPEER_PARAMS, &params, 0));
        break;
    }
    case MsgType::MSG_NEXT_FRAME: {
        const ControlParams params = decodeItems(payload);
        request(callbacks, REQUESTBYPEER_NEXT_FRAME, &params, 0);
        break;
    }
    case MsgType::MSG_RESPONSE:
        dispatchResponse(payload, callbacks);
        break;
    default:
        break; // 0, MSG_CONNECT, MSG_FRAME_SENT and unknown types are consumed and ignored
    }
    return DispatchResult::Continue;
}

DispatchResult Receiver::feed(
        std::span<const std::uint8_t> piece, const Callbacks &callbacks, const ReplySink &reply)
{
    if (m_peerLeft)
        return DispatchResult::PeerLeft;
    m_reassembler.append(piece);
    while (auto message = m_reassembler.takeMessage()) {
        if (dispatchMessage(*message, m_peerTag, callbacks, reply) == DispatchResult::PeerLeft) {
            m_peerLeft = true;
            m_reassembler.clear();
            return DispatchResult::PeerLeft;
        }
    }
    return DispatchResult::Continue;
}

} // namespace control
