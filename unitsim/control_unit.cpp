#include "control_unit.h"

#include "json_line.h"

namespace unitsim {

namespace {

using control::MsgType;

control::Header unitHeader(const Options &options, MsgType type)
{
    // The unit writes its headers the way the client does: version 1, param 1, the tag of
    // the session it issued.
    return control::makeHeader(type, control::sessionTagFromText(options.sessionId), 1);
}

} // namespace

std::vector<std::uint8_t> ControlUnit::response(const Options &options, bool accept,
        MsgType answers, std::span<const std::uint8_t> acceptTail)
{
    const auto answered = static_cast<std::uint8_t>(answers);
    if (accept)
        return control::encodeResponse(
                unitHeader(options, MsgType::MSG_RESPONSE), 0, answered, acceptTail);
    return control::encodeResponse(
            unitHeader(options, MsgType::MSG_RESPONSE), 1, answered, options.rejectReason);
}

std::vector<std::uint8_t> ControlUnit::connectAnswer(
        const Options &options, std::span<const std::uint8_t> payload)
{
    if (options.rejectConnect)
        return response(options, false, MsgType::MSG_CONNECT);
    // Accept with the picture size echoed back and the JPEG payload type.
    const control::ControlParams asked = control::decodeItems(payload);
    control::ControlParams answer;
    answer.count = 3;
    answer.item1 = { 26 };
    answer.item4 = asked.item4;
    answer.item5 = asked.item5;
    if (answer.item4 == 0)
        --answer.count;
    if (answer.item5 == 0)
        --answer.count;
    return response(options, true, MsgType::MSG_CONNECT, control::encodeItems(answer));
}

// A frame of the share went out: end the share as the options say, or pull the next frame
// while the budget lasts (at once, or when the pull interval has passed).
void ControlUnit::onFrameSent(const Options &options, std::int64_t nowMs, ControlOutput &out)
{
    ++m_framesInShare;
    if (options.stopAfterFrames >= 0 && m_framesInShare >= options.stopAfterFrames) {
        out.messages.push_back(stopRequest(options));
        return;
    }
    if (options.disconnectAfterFrames >= 0 && m_framesInShare >= options.disconnectAfterFrames) {
        out.messages.push_back(disconnect(options));
        out.close = true;
        return;
    }
    if (options.closeAfterFrames >= 0 && m_framesInShare >= options.closeAfterFrames) {
        m_sharing = false;
        out.close = true;
        return;
    }
    if (options.frameBudget >= 0 && m_pullsInShare >= options.frameBudget)
        return;
    ++m_pullsInShare;
    const std::int64_t due = m_lastPullMs && options.pullIntervalMs > 0
            ? *m_lastPullMs + options.pullIntervalMs
            : nowMs;
    if (due > nowMs) {
        m_pullPending = true;
        out.pullAtMs = due;
    } else {
        m_lastPullMs = nowMs;
        out.messages.push_back(nextFrame(options));
    }
}

ControlOutput ControlUnit::onMessage(
        const Options &options, std::span<const std::uint8_t> message, std::int64_t nowMs)
{
    ControlOutput out;
    std::optional<control::Header> header = control::decodeHeader(message);
    if (!header)
        return out;
    std::span<const std::uint8_t> payload = message.subspan(control::HeaderSize);
    const bool silent = options.silentControl;

    switch (static_cast<MsgType>(header->type)) {
    case MsgType::MSG_CONNECT:
        if (!silent)
            out.messages.push_back(connectAnswer(options, payload));
        break;
    case MsgType::MSG_SHARE:
        if (silent)
            break;
        if (options.rejectShare) {
            out.messages.push_back(response(options, false, MsgType::MSG_SHARE));
            break;
        }
        out.messages.push_back(response(options, true, MsgType::MSG_SHARE));
        if (options.autoShareRequest)
            out.messages.push_back(shareRequest(options));
        break;
    case MsgType::MSG_STOP:
        if (silent || options.stopAnswer == StopAnswer::Silent)
            break;
        if (options.stopAnswer == StopAnswer::Close) {
            // A unit that goes away while the client waits for its answer.
            m_sharing = false;
            out.close = true;
            break;
        }
        if (options.stopAnswer == StopAnswer::Reject) {
            out.messages.push_back(response(options, false, MsgType::MSG_STOP));
            break;
        }
        m_sharing = false;
        out.messages.push_back(response(options, true, MsgType::MSG_STOP));
        break;
    case MsgType::MSG_DISCONNECT:
        // The client leaves: no answer, the unit closes its side.
        m_sharing = false;
        out.close = true;
        break;
    case MsgType::MSG_FRAME_SENT:
        ++m_framesSentReported;
        if (!silent && m_sharing)
            onFrameSent(options, nowMs, out);
        break;
    case MsgType::MSG_RESPONSE:
    case MsgType::MSG_PARAMS:
    case MsgType::MSG_NEXT_FRAME:
        // Answers to the unit's own requests are only recorded; the other two are the unit's
        // messages and mean nothing coming from the client.
        break;
    }
    return out;
}

std::vector<std::uint8_t> ControlUnit::shareRequest(const Options &options)
{
    m_sharing = true;
    m_pullPending = false;
    m_framesInShare = 0;
    m_pullsInShare = 0;
    ++m_shareRequestsSent;
    return control::encodeMessage(unitHeader(options, MsgType::MSG_SHARE));
}

std::vector<std::uint8_t> ControlUnit::stopRequest(const Options &options)
{
    m_sharing = false;
    return control::encodeMessage(unitHeader(options, MsgType::MSG_STOP));
}

std::vector<std::uint8_t> ControlUnit::disconnect(const Options &options)
{
    m_sharing = false;
    return control::encodeMessage(unitHeader(options, MsgType::MSG_DISCONNECT));
}

std::vector<std::uint8_t> ControlUnit::params(const Options &options, const ControlItems &items)
{
    return control::encodeMessage(unitHeader(options, MsgType::MSG_PARAMS), items);
}

std::vector<std::uint8_t> ControlUnit::duePull(const Options &options, std::int64_t nowMs)
{
    if (!m_pullPending || !m_sharing)
        return {};
    m_pullPending = false;
    m_lastPullMs = nowMs;
    return nextFrame(options);
}

std::vector<std::uint8_t> ControlUnit::nextFrame(const Options &options)
{
    ++m_nextFramesSent;
    // Item 2 counts the pulls (1 to 65535, then round again), so a log shows which is which.
    control::ControlParams items;
    items.count = 1;
    items.item2 = static_cast<std::uint16_t>((m_nextFramesSent - 1) % 65535 + 1);
    return control::encodeMessage(unitHeader(options, MsgType::MSG_NEXT_FRAME), items);
}

const char *controlTypeName(std::uint8_t type)
{
    switch (type) {
    case 1:
        return "MSG_CONNECT";
    case 2:
        return "MSG_SHARE";
    case 3:
        return "MSG_STOP";
    case 4:
        return "MSG_DISCONNECT";
    case 5:
        return "MSG_PARAMS";
    case 6:
        return "MSG_NEXT_FRAME";
    case 7:
        return "MSG_RESPONSE";
    case 8:
        return "MSG_FRAME_SENT";
    default:
        return "unknown";
    }
}

ControlMessage describeControlMessage(std::span<const std::uint8_t> message, Direction direction,
        const std::array<std::uint8_t, 4> &expectedTag)
{
    ControlMessage out;
    out.direction = direction;
    out.raw.assign(message.begin(), message.end());
    out.hex = hexText(message);
    std::optional<control::Header> header = control::decodeHeader(message);
    if (!header) {
        out.problems.push_back("shorter than a header");
        return out;
    }
    out.version = header->version;
    out.type = header->type;
    out.sessionTag = header->tag;
    out.param = header->param;
    out.length = header->length;
    std::span<const std::uint8_t> payload = message.subspan(control::HeaderSize);

    const MsgType type = static_cast<MsgType>(header->type);
    if (type == MsgType::MSG_CONNECT || type == MsgType::MSG_PARAMS
            || type == MsgType::MSG_NEXT_FRAME)
        out.items = control::decodeItems(payload);
    if (type == MsgType::MSG_RESPONSE) {
        if (std::optional<control::Response> r = control::decodeResponse(payload)) {
            out.result = r->result;
            out.answers = r->answers;
            if (r->result != 0)
                out.reason = control::reasonBytes(*r);
            else if (r->answers == 1 && !r->tail.empty())
                out.items = control::decodeItems(r->tail);
        }
    }

    if (direction != Direction::FromClient)
        return out;
    std::vector<std::string> &problems = out.problems;
    if (header->magic[0] != 'A' || header->magic[1] != 'C')
        problems.push_back("magic is not \"AC\"");
    if (header->version != 1)
        problems.push_back("version " + std::to_string(header->version) + ", expected 1");
    if (header->param != 1)
        problems.push_back("param " + std::to_string(header->param) + ", expected 1");
    if (header->tag != expectedTag)
        problems.push_back(
                "session tag " + hexText(header->tag) + ", expected " + hexText(expectedTag));
    auto expectLength = [&](std::size_t length) {
        if (header->length != length)
            problems.push_back("length " + std::to_string(header->length) + ", expected "
                    + std::to_string(length));
    };
    switch (type) {
    case MsgType::MSG_SHARE:
    case MsgType::MSG_STOP:
    case MsgType::MSG_DISCONNECT:
    case MsgType::MSG_FRAME_SENT:
        expectLength(0);
        break;
    case MsgType::MSG_CONNECT:
        // Its count says fewer items than follow, so the decoded block is no measure.
        break;
    case MsgType::MSG_RESPONSE:
        expectLength(out.result.value_or(0) == 0 ? 2 : 6);
        break;
    case MsgType::MSG_PARAMS:
    case MsgType::MSG_NEXT_FRAME:
        problems.push_back("a message only the unit sends");
        break;
    default:
        problems.push_back("unknown type " + std::to_string(header->type));
    }
    return out;
}

} // namespace unitsim
