// Reassembly and dispatch without sockets: which events a stream of unit messages raises, what
// the client answers, and that no split of the stream changes either.

#include "control_receiver.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

using namespace control;
using Bytes = std::vector<std::uint8_t>;

namespace {

const SessionTag PeerTag = sessionTagFromText("S123");
const SessionTag UnitTag = sessionTagFromText("unit");

struct Seen
{
    int event;
    Bytes data; // reason bytes, or the item block re-encoded from the ControlParams
    int length;
    bool operator==(const Seen &) const = default;
};

std::vector<Seen> seen;
int requestResult = 0;

void onNotify(int event, const unsigned char *data, int length)
{
    Bytes copy;
    if (event == CONNECT_ACCEPT)
        copy = encodeItems(*reinterpret_cast<const ControlParams *>(data));
    else if (data != nullptr)
        copy.assign(data, data + ReasonBytes); // a refusal always has four readable bytes
    seen.push_back({ event, copy, length });
}

int onRequest(int event, const void *data, int length)
{
    Bytes copy;
    if (data != nullptr)
        copy = encodeItems(*static_cast<const ControlParams *>(data));
    seen.push_back({ event, copy, length });
    return requestResult;
}

const Callbacks Recording{ onNotify, onRequest };

Bytes unitMessage(MsgType type, const Bytes &payload = {})
{
    return encodeMessage(makeHeader(type, UnitTag), payload);
}

Bytes unitResponse(std::uint8_t result, std::uint8_t answers, const Bytes &tail = {})
{
    return encodeResponse(makeHeader(MsgType::MSG_RESPONSE, UnitTag), result, answers, tail);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class ReceiverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        seen.clear();
        requestResult = 0;
    }

    DispatchResult feed(Receiver &receiver, std::span<const std::uint8_t> piece)
    {
        return receiver.feed(piece, Recording, [this](std::span<const std::uint8_t> m) {
            replies.emplace_back(m.begin(), m.end());
        });
    }

    std::vector<Bytes> replies;
};

struct DispatchCase
{
    const char *name;
    Bytes message;
    int requestResult;
    std::vector<Seen> events;
    std::vector<Bytes> replies;
};

class Dispatch : public ReceiverTest, public ::testing::WithParamInterface<DispatchCase>
{
};

const ControlParams Announced = connectParams(1280, 720);
const Bytes AnnouncedBlock = encodeItems(Announced);
const Bytes Reason{ 0x01, 0x80, 0xFF, 0x7F };

Bytes accepted(std::uint8_t answers)
{
    return { 0x41, 0x43, 0x01, 0x07, 0x33, 0x32, 0x31, 0x53, 0x00, 0x01, 0x00, 0x02, 0x00,
        answers };
}

Bytes refused(std::uint8_t result, std::uint8_t answers)
{
    return { 0x41, 0x43, 0x01, 0x07, 0x33, 0x32, 0x31, 0x53, 0x00, 0x01, 0x00, 0x06, result,
        answers, 0, 0, 0, 0 };
}

} // namespace

TEST_P(Dispatch, RaisesEventsAndAnswers)
{
    requestResult = GetParam().requestResult;
    Receiver receiver(PeerTag);
    feed(receiver, GetParam().message);
    EXPECT_EQ(seen, GetParam().events);
    EXPECT_EQ(replies, GetParam().replies);
    EXPECT_EQ(receiver.pendingBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, Dispatch,
        ::testing::Values(
                // The unit's requests, answered with the tag saved at connect ("S123" reversed).
                DispatchCase{ "ShareAccepted", unitMessage(MsgType::MSG_SHARE), 0,
                        { { REQUESTBYPEER_SHARE, {}, 0 } }, { accepted(2) } },
                DispatchCase{ "ShareRefused", unitMessage(MsgType::MSG_SHARE), 3,
                        { { REQUESTBYPEER_SHARE, {}, 0 } }, { refused(3, 2) } },
                DispatchCase{ "Stop", unitMessage(MsgType::MSG_STOP), 0,
                        { { REQUESTBYPEER_STOP, {}, 0 } }, { accepted(3) } },
                DispatchCase{ "Params", unitMessage(MsgType::MSG_PARAMS, AnnouncedBlock), 0,
                        { { REQUESTBYPEER_PARAMS, encodeItems(decodeItems(AnnouncedBlock)), 0 } },
                        { accepted(5) } },
                DispatchCase{ "NextFrameIsNotAnswered",
                        unitMessage(MsgType::MSG_NEXT_FRAME, AnnouncedBlock), 7,
                        { { REQUESTBYPEER_NEXT_FRAME, encodeItems(decodeItems(AnnouncedBlock)),
                                0 } },
                        {} },
                DispatchCase{ "Disconnect", unitMessage(MsgType::MSG_DISCONNECT), 0,
                        { { PEER_DISCONNECT, {}, 0 } }, {} },
                // The unit's answers to the client's messages.
                DispatchCase{ "ConnectAccepted", unitResponse(0, 1, AnnouncedBlock), 0,
                        { { CONNECT_ACCEPT, encodeItems(decodeItems(AnnouncedBlock)),
                                static_cast<int>(AnnouncedBlock.size()) } },
                        {} },
                DispatchCase{ "ConnectAcceptedWithoutBlock", unitResponse(0, 1), 0,
                        { { CONNECT_ACCEPT, { 0x00 }, 0 } }, {} },
                DispatchCase{ "ConnectRefused", unitResponse(9, 1, Reason), 0,
                        { { CONNECT_REJECT, Reason, 0 } }, {} },
                DispatchCase{
                        "ShareAccept", unitResponse(0, 2), 0, { { SHARE_ACCEPT, {}, 0 } }, {} },
                DispatchCase{ "ShareReject", unitResponse(1, 2, Reason), 0,
                        { { SHARE_REJECT, Reason, 0 } }, {} },
                DispatchCase{ "StopAccept", unitResponse(0, 3), 0, { { STOP_ACCEPT, {}, 0 } }, {} },
                DispatchCase{ "StopReject", unitResponse(1, 3, Reason), 0,
                        { { STOP_REJECT, Reason, 0 } }, {} },
                DispatchCase{
                        "ParamsAccept", unitResponse(0, 5), 0, { { PARAMS_ACCEPT, {}, 0 } }, {} },
                DispatchCase{ "ParamsReject", unitResponse(1, 5, Reason), 0,
                        { { PARAMS_REJECT, Reason, 0 } }, {} },
                // A refusal short of its four reason bytes passes what is there, zero-padded.
                DispatchCase{ "ShortReasonIsPadded", unitResponse(2, 2, { 0x44 }), 0,
                        { { SHARE_REJECT, { 0x44, 0, 0, 0 }, 0 } }, {} },
                // Ignored: unknown answers, responses without `answers`, and types the client
                // does not take.
                DispatchCase{ "ResponseToUnknownType", unitResponse(0, 4), 0, {}, {} },
                DispatchCase{ "ResponseOfOneByte", unitMessage(MsgType::MSG_RESPONSE, { 0x00 }), 0,
                        {}, {} },
                DispatchCase{ "EmptyResponse", unitMessage(MsgType::MSG_RESPONSE), 0, {}, {} },
                DispatchCase{ "ConnectFromUnit", unitMessage(MsgType::MSG_CONNECT, AnnouncedBlock),
                        0, {}, {} },
                DispatchCase{
                        "FrameSentFromUnit", unitMessage(MsgType::MSG_FRAME_SENT), 0, {}, {} },
                DispatchCase{
                        "TypeZero", unitMessage(static_cast<MsgType>(0), { 1, 2, 3 }), 0, {}, {} },
                DispatchCase{ "TypeNine", unitMessage(static_cast<MsgType>(9)), 0, {}, {} },
                DispatchCase{ "Type255", unitMessage(static_cast<MsgType>(255), Bytes(40, 0xFF)), 0,
                        {}, {} }),
        [](const auto &info) { return std::string(info.param.name); });

namespace {

// A session's worth of unit messages: accepted connect, a share refusal, the unit's share
// request, three frame requests, a long MSG_PARAMS and the unit's stop.
Bytes sessionStream()
{
    ControlParams big = connectParams(640, 480);
    big.item1 = Bytes(250, 0x61);
    return concat({ unitResponse(0, 1, AnnouncedBlock), unitResponse(4, 2, Reason),
            unitMessage(MsgType::MSG_SHARE), unitMessage(MsgType::MSG_NEXT_FRAME, { 0 }),
            unitMessage(MsgType::MSG_NEXT_FRAME, AnnouncedBlock),
            unitMessage(MsgType::MSG_PARAMS, encodeItems(big)), unitMessage(MsgType::MSG_STOP) });
}

} // namespace

TEST_F(ReceiverTest, EverySplitGivesTheSameEventsAndAnswers)
{
    const Bytes stream = sessionStream();
    Receiver whole(PeerTag);
    feed(whole, stream);
    const auto wholeEvents = seen;
    const auto wholeReplies = replies;
    ASSERT_EQ(wholeEvents.size(), 7u);
    ASSERT_EQ(wholeReplies.size(), 3u);

    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        seen.clear();
        replies.clear();
        Receiver receiver(PeerTag);
        feed(receiver, std::span(stream).first(cut));
        feed(receiver, std::span(stream).subspan(cut));
        ASSERT_EQ(seen, wholeEvents) << "split at byte " << cut;
        ASSERT_EQ(replies, wholeReplies) << "split at byte " << cut;
    }

    seen.clear();
    replies.clear();
    Receiver byteByByte(PeerTag);
    for (std::uint8_t byte : stream)
        feed(byteByByte, std::span(&byte, 1));
    EXPECT_EQ(seen, wholeEvents);
    EXPECT_EQ(replies, wholeReplies);
}

TEST_F(ReceiverTest, MessageIsDispatchedOnlyWhenItsLastByteArrives)
{
    ControlParams big;
    big.count = 1;
    big.item1 = Bytes(255, 0x42);
    const Bytes message = unitMessage(MsgType::MSG_PARAMS, encodeItems(big));
    ASSERT_GT(message.size(), 200u);
    Receiver receiver(PeerTag);
    feed(receiver, std::span(message).first(200));
    feed(receiver, std::span(message).subspan(200, message.size() - 201));
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(receiver.pendingBytes(), message.size() - 1);
    feed(receiver, std::span(message).last(1));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, encodeItems(big));
    EXPECT_EQ(receiver.pendingBytes(), 0u);

    // A header-only message goes as soon as its 12 bytes are held.
    const Bytes stop = unitMessage(MsgType::MSG_STOP);
    feed(receiver, std::span(stop).first(11));
    EXPECT_EQ(seen.size(), 1u);
    feed(receiver, std::span(stop).last(1));
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(ReceiverTest, NothingAfterTheUnitsDisconnectIsDispatched)
{
    const Bytes stream = concat({ unitMessage(MsgType::MSG_SHARE),
            unitMessage(MsgType::MSG_DISCONNECT), unitMessage(MsgType::MSG_STOP) });
    Receiver receiver(PeerTag);
    EXPECT_EQ(feed(receiver, stream), DispatchResult::PeerLeft);
    EXPECT_EQ(feed(receiver, unitMessage(MsgType::MSG_SHARE)), DispatchResult::PeerLeft);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].event, PEER_DISCONNECT);
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_EQ(receiver.pendingBytes(), 0u);
}

TEST_F(ReceiverTest, WithoutCallbacksRequestsAreAccepted)
{
    Receiver receiver(PeerTag);
    const Bytes stream =
            concat({ unitMessage(MsgType::MSG_STOP), unitResponse(0, 1, AnnouncedBlock) });
    receiver.feed(stream, Callbacks{},
            [this](std::span<const std::uint8_t> m) { replies.emplace_back(m.begin(), m.end()); });
    EXPECT_EQ(replies, std::vector<Bytes>{ accepted(3) });
}

TEST_F(ReceiverTest, LengthBeyondTheHeldBytesWaits)
{
    // A header announcing 65535 bytes holds everything after it until they came.
    Bytes header = unitMessage(MsgType::MSG_SHARE);
    header[10] = 0xFF;
    header[11] = 0xFF;
    Receiver receiver(PeerTag);
    feed(receiver, header);
    feed(receiver, unitMessage(MsgType::MSG_STOP));
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(receiver.pendingBytes(), 24u);
    feed(receiver, Bytes(0xFFFF - 12, 0));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, REQUESTBYPEER_SHARE);
}
