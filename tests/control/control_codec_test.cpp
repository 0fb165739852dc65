// The control messages byte for byte, the item reader, and what a peer's malformed bytes do.

#include "control_codec.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

using namespace control;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Session id "AB12xyz": its first four bytes travel last one first.
const SessionTag Tag = sessionTagFromText("AB12xyz");

struct HeaderOnlyCase
{
    MsgType type;
    std::uint8_t typeByte;
};

class ClientHeaderOnlyMessage : public ::testing::TestWithParam<HeaderOnlyCase>
{
};

} // namespace

TEST(ControlCodec, SessionTagIsReversedAndPadded)
{
    EXPECT_EQ(Tag, (SessionTag{ '2', '1', 'B', 'A' }));
    EXPECT_EQ(sessionTagFromText("AB"), (SessionTag{ 0, 0, 'B', 'A' }));
    EXPECT_EQ(sessionTagFromText(""), (SessionTag{ 0, 0, 0, 0 }));
    // UTF-8 bytes, not characters: "é" is two bytes.
    EXPECT_EQ(sessionTagFromText("\xC3\xA9xy"), (SessionTag{ 'y', 'x', 0xA9, 0xC3 }));
}

TEST_P(ClientHeaderOnlyMessage, IsTwelveBytesWithLengthZero)
{
    const Bytes expected{
        0x41, 0x43, // "AC"
        0x01, // version
        GetParam().typeByte, // type
        0x32, 0x31, 0x42, 0x41, // "2", "1", "B", "A": the id's 4th, 3rd, 2nd, 1st byte
        0x00, 0x01, // param 1
        0x00, 0x00, // length 0
    };
    EXPECT_EQ(encodeMessage(makeHeader(GetParam().type, Tag)), expected);
}

INSTANTIATE_TEST_SUITE_P(Types, ClientHeaderOnlyMessage,
        ::testing::Values(HeaderOnlyCase{ MsgType::MSG_SHARE, 2 },
                HeaderOnlyCase{ MsgType::MSG_STOP, 3 },
                HeaderOnlyCase{ MsgType::MSG_DISCONNECT, 4 },
                HeaderOnlyCase{ MsgType::MSG_FRAME_SENT, 8 }));

TEST(ControlCodec, ConnectMessageIs34BytesWithItsItemBlock)
{
    const Bytes expected{
        0x41, 0x43, 0x01, 0x01, // "AC", version 1, MSG_CONNECT
        0x32, 0x31, 0x42, 0x41, // tag
        0x00, 0x01, // param 1
        0x00, 0x16, // length 22
        0x05, // count 5, although six items follow
        0x01, 0x01, 0x1A, // item1: one byte, 26
        0x02, 0x02, 0x1F, 0x40, // item2: 8000
        0x03, 0x01, 0x05, // item3: 5
        0x04, 0x02, 0x04, 0x00, // item4: width 1024
        0x05, 0x02, 0x02, 0x40, // item5: height 576
        0x08, 0x01, 0x01, // item8: 1
    };
    const ControlParams params = connectParams(1024, 576);
    EXPECT_EQ(itemBlockSize(params), 22u);
    EXPECT_EQ(encodeMessage(makeHeader(MsgType::MSG_CONNECT, Tag), params), expected);
}

TEST(ControlCodec, ClientResponsesAre14BytesAcceptingAnd18Refusing)
{
    const Bytes accepting{
        0x41, 0x43, 0x01, 0x07, // "AC", version 1, MSG_RESPONSE
        0x32, 0x31, 0x42, 0x41, // tag
        0x00, 0x01, // param 1
        0x00, 0x02, // length 2
        0x00, // result: accepted
        0x02, // answers MSG_SHARE
    };
    EXPECT_EQ(encodeClientResponse(Tag, 2, 0), accepting);

    const Bytes refusing{
        0x41, 0x43, 0x01, 0x07, 0x32, 0x31, 0x42, 0x41, 0x00, 0x01, 0x00, 0x06, // length 6
        0x03, // result: the decision's low byte
        0x05, // answers MSG_PARAMS
        0x00, 0x00, 0x00, 0x00, // reason: four zero bytes
    };
    EXPECT_EQ(encodeClientResponse(Tag, 5, 0x103), refusing);
}

TEST(ControlCodec, HeaderRoundTripKeepsHighBytes)
{
    Header header;
    header.magic = { 'X', 'Y' };
    header.version = 0xFE;
    header.type = 0xC8;
    header.tag = { 0x80, 0x81, 0xFF, 0x00 };
    header.param = 0xABCD;
    header.length = 0x0190;
    const auto bytes = encodeHeader(header);
    EXPECT_EQ(bytes[10], 0x01);
    EXPECT_EQ(bytes[11], 0x90);
    EXPECT_EQ(decodeHeader(bytes), header);
    EXPECT_FALSE(decodeHeader(std::span(bytes).first(11)).has_value());
}

TEST(ControlCodec, LengthAlwaysMatchesThePayload)
{
    const Bytes payload(300, 0xAA);
    const auto message = encodeMessage(makeHeader(MsgType::MSG_PARAMS, Tag), payload);
    ASSERT_EQ(message.size(), 312u);
    EXPECT_EQ(decodeHeader(message)->length, 300);

    const Bytes huge(70000, 0x01);
    EXPECT_EQ(encodeMessage(makeHeader(MsgType::MSG_PARAMS, Tag), huge).size(), 12u + 0xFFFF);
}

TEST(ControlCodec, UnitSideResponseCarriesItsTail)
{
    const Bytes block = encodeItems(connectParams(800, 600));
    const auto message =
            encodeResponse(makeHeader(MsgType::MSG_SHARE, Tag, 9), 0, 1, block); // type forced
    const auto header = decodeHeader(message);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, 7);
    EXPECT_EQ(header->param, 9);
    EXPECT_EQ(header->length, 2 + block.size());
    const auto response = decodeResponse(std::span(message).subspan(HeaderSize));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->result, 0);
    EXPECT_EQ(response->answers, 1);
    ControlParams expected = connectParams(800, 600);
    expected.item8 = 0; // count 5: the sixth item is not read
    EXPECT_EQ(decodeItems(response->tail), expected);
}

TEST(ControlCodec, ShortResponsesAndReasons)
{
    const Bytes one{ 0x00 };
    EXPECT_FALSE(decodeResponse(one).has_value());
    const Bytes shortRefusal{ 0x01, 0x02, 0x7F, 0x80 };
    const auto response = decodeResponse(shortRefusal);
    ASSERT_TRUE(response);
    EXPECT_EQ(reasonBytes(*response), (std::array<std::uint8_t, 4>{ 0x7F, 0x80, 0, 0 }));
}

namespace {

struct ItemCase
{
    const char *name;
    Bytes block;
    ControlParams expected;
};

ControlParams params(std::uint8_t count, std::initializer_list<std::uint8_t> item1 = {})
{
    ControlParams p;
    p.count = count;
    p.item1 = item1;
    return p;
}

template <typename F> ControlParams with(ControlParams p, F change)
{
    change(p);
    return p;
}

class ItemReader : public ::testing::TestWithParam<ItemCase>
{
};

} // namespace

TEST_P(ItemReader, Decodes)
{
    EXPECT_EQ(decodeItems(GetParam().block), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ItemReader,
        ::testing::Values(
                // 0x0190 must read 400, not 0x01 combined with a sign-extended 0x90.
                ItemCase{ "LowByteAbove0x7F",
                        { 0x02, 0x04, 0x02, 0x01, 0x90, 0x06, 0x02, 0xFF, 0xFF },
                        with(params(2), [](auto &p) { p.item4 = 400, p.item6 = 0xFFFF; }) },
                // The client's own MSG_CONNECT block says 5: item8 is not read.
                ItemCase{ "ConnectBlockReadsFiveItems", encodeItems(connectParams(1024, 576)),
                        with(params(5, { 26 }),
                                [](auto &p) {
                                    p.item2 = 8000, p.item3 = 5, p.item4 = 1024, p.item5 = 576;
                                }) },
                ItemCase{ "UnknownTagEndsDecoding",
                        { 0x03, 0x02, 0x02, 0x00, 0x10, 0x09, 0x01, 0x05, 0x03, 0x01, 0x07 },
                        with(params(3), [](auto &p) { p.item2 = 16; }) },
                ItemCase{ "TagZeroEndsDecoding", { 0x02, 0x00, 0x01, 0x05, 0x03, 0x01, 0x07 },
                        params(2) },
                // The length byte of fixed items is not consulted.
                ItemCase{ "FixedSizesIgnoreLengthByte",
                        { 0x02, 0x03, 0xEE, 0x09, 0x07, 0x00, 0x04 },
                        with(params(2), [](auto &p) { p.item3 = 9, p.item7 = 4; }) },
                ItemCase{ "EmptyBlock", {}, params(0) },
                ItemCase{ "CountOnly", { 0x07 }, params(7) },
                // An item reaching past the block ends the decoding there, earlier items stay.
                ItemCase{ "Item1PastEnd", { 0x02, 0x02, 0x02, 0x00, 0x10, 0x01, 0x05, 0xAA, 0xBB },
                        with(params(2), [](auto &p) { p.item2 = 16; }) },
                ItemCase{ "WordPastEnd", { 0x02, 0x03, 0x01, 0x08, 0x05, 0x02, 0x01 },
                        with(params(2), [](auto &p) { p.item3 = 8; }) },
                ItemCase{ "TagWithoutLength", { 0x01, 0x03 }, params(1) },
                ItemCase{ "CountBeyondItems", { 0xFF, 0x08, 0x01, 0x02 },
                        with(params(0xFF), [](auto &p) { p.item8 = 2; }) },
                ItemCase{ "EmptyItem1", { 0x01, 0x01, 0x00 }, params(1) },
                ItemCase{ "LaterDuplicateWins", { 0x02, 0x03, 0x01, 0x01, 0x03, 0x01, 0x02 },
                        with(params(2), [](auto &p) { p.item3 = 2; }) }),
        [](const auto &info) { return std::string(info.param.name); });

TEST(ControlCodec, ItemBlockRoundTrip)
{
    ControlParams full;
    full.count = 8;
    full.item1 = Bytes(255, 0x5A);
    full.item2 = 0x8001;
    full.item3 = 0x80;
    full.item4 = 1280;
    full.item5 = 720;
    full.item6 = 0x00FF;
    full.item7 = 0xFF;
    full.item8 = 1;
    const Bytes block = encodeItems(full);
    EXPECT_EQ(block.size(), itemBlockSize(full));
    EXPECT_EQ(block.size(), 1u + 257 + 4 * 4 + 3 * 3);
    EXPECT_EQ(decodeItems(block), full);

    // Absent (zero) items are not written: only count and item5 here.
    ControlParams sparse;
    sparse.count = 1;
    sparse.item5 = 3;
    EXPECT_EQ(encodeItems(sparse), (Bytes{ 0x01, 0x05, 0x02, 0x00, 0x03 }));
    EXPECT_EQ(decodeItems(encodeItems(sparse)), sparse);
}

TEST(ControlCodec, OverlongItem1IsCutToWhatItsLengthByteCanSay)
{
    ControlParams p;
    p.count = 1;
    p.item1 = Bytes(300, 0x11);
    const Bytes block = encodeItems(p);
    ASSERT_EQ(block.size(), itemBlockSize(p));
    EXPECT_EQ(block.size(), 1u + 2 + 255);
    EXPECT_EQ(block[2], 255);
    EXPECT_EQ(decodeItems(block).item1.size(), 255u);
}
