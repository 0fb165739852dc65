#ifndef TANDEO_UNITSIM_CONTROL_UNIT_H
#define TANDEO_UNITSIM_CONTROL_UNIT_H

// The unit's side of one control connection without the socket: splits the received bytes
// into messages, decides the unit's answers and its own requests, and describes every message
// for the records. The bytes are written and read with the shared control codec.
//
// The exchange of one share, as the unit plays it:
//
//   client                         unit
//   MSG_CONNECT (items) ------->
//                      <-------   MSG_RESPONSE 0 answers 1 + items (or refusal + reason)
//   MSG_SHARE ----------------->
//                      <-------   MSG_RESPONSE 0 answers 2 (or refusal + reason)
//                      <-------   MSG_SHARE             (the unit asks for the first picture)
//   MSG_RESPONSE 0 answers 2 -->
//   ... RTP frame ...
//   MSG_FRAME_SENT ------------>
//                      <-------   MSG_NEXT_FRAME        (until the frame budget is spent)
//   ...
//   MSG_STOP ------------------>
//                      <-------   MSG_RESPONSE 0 answers 3

#include "unit_sim.h"

#include <control_codec.h>
#include <cstdint>
#include <span>
#include <vector>

namespace unitsim {

struct ControlOutput
{
    std::vector<std::vector<std::uint8_t>> messages; // to send, in order
    bool close = false; // close the connection after sending them
    // A pull that waits for the pull interval: call duePull() at this time.
    std::optional<std::int64_t> pullAtMs;
};

class ControlUnit
{
public:
    // Decides what the unit does on one whole message from the client; nowMs is the time on
    // any steady clock (for the pull interval).
    ControlOutput onMessage(
            const Options &options, std::span<const std::uint8_t> message, std::int64_t nowMs = 0);
    // The pull a ControlOutput put off; empty when the share ended in the meantime.
    std::vector<std::uint8_t> duePull(const Options &options, std::int64_t nowMs);

    // The unit's own messages (header version 1, the session's tag, param 1). Building a
    // MSG_SHARE starts a share on the unit's side, MSG_STOP and MSG_DISCONNECT end it.
    std::vector<std::uint8_t> shareRequest(const Options &options);
    std::vector<std::uint8_t> stopRequest(const Options &options);
    std::vector<std::uint8_t> disconnect(const Options &options);
    std::vector<std::uint8_t> params(const Options &options, const ControlItems &items);
    std::vector<std::uint8_t> nextFrame(const Options &options);

    bool sharing() const { return m_sharing; }
    int framesInShare() const { return m_framesInShare; }
    int pullsInShare() const { return m_pullsInShare; }
    int framesSentReported() const { return m_framesSentReported; }
    int nextFramesSent() const { return m_nextFramesSent; }
    int shareRequestsSent() const { return m_shareRequestsSent; }

private:
    std::vector<std::uint8_t> connectAnswer(
            const Options &options, std::span<const std::uint8_t> payload);
    void onFrameSent(const Options &options, std::int64_t nowMs, ControlOutput &out);
    std::vector<std::uint8_t> response(const Options &options, bool accept,
            control::MsgType answers, std::span<const std::uint8_t> acceptTail = {});

    bool m_sharing = false;
    int m_framesInShare = 0;
    int m_pullsInShare = 0;
    int m_framesSentReported = 0;
    int m_nextFramesSent = 0;
    int m_shareRequestsSent = 0;
    std::optional<std::int64_t> m_lastPullMs;
    bool m_pullPending = false;
};

// The fields of one message for the records, with the rule breaks of a message from the
// client (the client writes version 1, param 1, the session's tag, and lengths fixed by type).
ControlMessage describeControlMessage(std::span<const std::uint8_t> message, Direction direction,
        const std::array<std::uint8_t, 4> &expectedTag);

const char *controlTypeName(std::uint8_t type);

} // namespace unitsim

#endif // TANDEO_UNITSIM_CONTROL_UNIT_H
