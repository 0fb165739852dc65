#include "jpeg_packetizer.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <vector>

namespace zelrtp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes countingBytes(std::size_t length)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

Bytes head(const std::array<std::uint8_t, PayloadBytes> &payload, std::size_t n)
{
    return Bytes(payload.begin(), payload.begin() + n);
}

const std::array<std::uint8_t, QuantTableBytes> LumaTable = [] {
    std::array<std::uint8_t, QuantTableBytes> t{};
    std::iota(t.begin(), t.end(), std::uint8_t{ 1 });
    return t;
}();
const std::array<std::uint8_t, QuantTableBytes> ChromaTable = [] {
    std::array<std::uint8_t, QuantTableBytes> t{};
    std::iota(t.begin(), t.end(), std::uint8_t{ 101 });
    return t;
}();

JpegFrameParams withTables(JpegFrameParams p)
{
    p.lumaTable = LumaTable.data();
    p.chromaTable = ChromaTable.data();
    return p;
}

// Header bytes of one payload of a frame, written out by hand.
struct HeaderCase
{
    const char *what;
    JpegFrameParams params;
    std::size_t length;
    std::size_t payloadIndex;
    Bytes expected;
};

TEST(JpegPacketizer, WritesHeaderBytes)
{
    const HeaderCase cases[] = {
        { "default frame, first payload", {}, 3000, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x80, 0x60 } },
        { "default frame, second payload at offset 1392", {}, 3000, 1,
                { 0x00, 0x00, 0x05, 0x70, 0x01, 0x5A, 0x80, 0x60 } },
        { "width 1030 rounds up to 129 blocks", { .width = 1030 }, 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x81, 0x60 } },
        { "width 2048 keeps the low 8 bits of 256", { .width = 2048 }, 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x00, 0x60 } },
        { "2040 x 1 is the widest and a one-pixel height", { .width = 2040, .height = 1 }, 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0xFF, 0x01 } },
        { "type-specific, type and Q copied", { .type = 0, .typeSpecific = 7, .q = 127 }, 10, 0,
                { 0x07, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x80, 0x60 } },
        { "restart interval 0x1234 sets the type flag and the restart header",
                { .restartInterval = 0x1234 }, 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x41, 0x5A, 0x80, 0x60, 0x12, 0x34, 0xFF, 0xFF } },
        { "restart header leaves 1388 bytes of room", { .restartInterval = 0x1234 }, 3000, 1,
                { 0x00, 0x00, 0x05, 0x6C, 0x41, 0x5A, 0x80, 0x60, 0x12, 0x34, 0xFF, 0xFF } },
        { "restart interval keeps its low 16 bits", { .restartInterval = 0x12345 }, 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x41, 0x5A, 0x80, 0x60, 0x23, 0x45, 0xFF, 0xFF } },
        { "Q 200 puts the table header after the main header", withTables({ .q = 200 }), 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0xC8, 0x80, 0x60, 0x00, 0x00, 0x00, 0x80, 1, 2 } },
        { "Q 200 second payload carries no tables", withTables({ .q = 200 }), 3000, 1,
                { 0x00, 0x00, 0x04, 0xEC, 0x01, 0xC8, 0x80, 0x60 } },
        { "restart header comes before the table header",
                withTables({ .restartInterval = 1, .q = 128 }), 10, 0,
                { 0x00, 0x00, 0x00, 0x00, 0x41, 0x80, 0x80, 0x60, 0x00, 0x01, 0xFF, 0xFF, 0x00,
                        0x00, 0x00, 0x80, 1 } },
    };
    for (const HeaderCase &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes jpeg = countingBytes(c.length);
        const auto payloads = packetizeJpeg(c.params, jpeg);
        ASSERT_GT(payloads.size(), c.payloadIndex);
        EXPECT_EQ(head(payloads[c.payloadIndex], c.expected.size()), c.expected);
    }
}

// How a frame is cut: payload count and the JPEG bytes each payload carries.
struct CutCase
{
    const char *what;
    JpegFrameParams params;
    std::size_t length;
    std::vector<std::size_t> dataBytes;
};

TEST(JpegPacketizer, CutsFramesAtTheDataRoom)
{
    const JpegFrameParams restart{ .restartInterval = 0x1234 };
    const JpegFrameParams tables = withTables({ .q = 200 });
    const CutCase cases[] = {
        { "one byte", {}, 1, { 1 } },
        { "exactly one payload", {}, 1392, { 1392 } },
        { "one byte more spills into a second payload", {}, 1393, { 1392, 1 } },
        { "exactly two payloads", {}, 2784, { 1392, 1392 } },
        { "restart header: 1388 fit", restart, 1388, { 1388 } },
        { "restart header: 1389 do not", restart, 1389, { 1388, 1 } },
        { "tables: first payload holds 1260", tables, 1260, { 1260 } },
        { "tables: later payloads hold 1392", tables, 1260 + 1392 + 1, { 1260, 1392, 1 } },
        { "tables and restart: 1256 then 1388", withTables({ .restartInterval = 5, .q = 255 }),
                1256 + 1388 + 2, { 1256, 1388, 2 } },
    };
    for (const CutCase &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes jpeg = countingBytes(c.length);
        JpegPacketizer packetizer(c.params, jpeg);
        EXPECT_EQ(packetizer.payloadCount(), c.dataBytes.size());
        std::array<std::uint8_t, PayloadBytes> payload{};
        std::size_t offset = 0;
        for (std::size_t i = 0; i < c.dataBytes.size(); ++i) {
            ASSERT_FALSE(packetizer.done()) << "payload " << i;
            payload.fill(0xEE);
            const PayloadFill fill = packetizer.fillNext(payload);
            EXPECT_EQ(fill.offset, offset);
            EXPECT_EQ(fill.dataBytes, c.dataBytes[i]) << "payload " << i;
            EXPECT_EQ(fill.last, i + 1 == c.dataBytes.size()) << "payload " << i;
            const std::size_t dataStart = PayloadBytes - dataRoom(c.params, i == 0);
            EXPECT_TRUE(std::equal(payload.begin() + dataStart,
                    payload.begin() + dataStart + fill.dataBytes, jpeg.begin() + offset))
                    << "payload " << i;
            if (fill.last) {
                EXPECT_TRUE(std::all_of(payload.begin() + dataStart + fill.dataBytes, payload.end(),
                        [](std::uint8_t b) { return b == 0; }))
                        << "the last payload is padded with zero bytes";
            }
            offset += fill.dataBytes;
        }
        EXPECT_TRUE(packetizer.done());
    }
}

TEST(JpegPacketizer, TablesTravelInTheFirstPayloadOnly)
{
    const Bytes jpeg = countingBytes(3000);
    const auto payloads = packetizeJpeg(withTables({ .q = 200 }), jpeg);
    ASSERT_EQ(payloads.size(), 3u);
    EXPECT_TRUE(std::equal(LumaTable.begin(), LumaTable.end(), payloads[0].begin() + 12));
    EXPECT_TRUE(std::equal(ChromaTable.begin(), ChromaTable.end(), payloads[0].begin() + 76));
    EXPECT_EQ(payloads[0][140], jpeg[0]) << "JPEG data follows the two tables";
    EXPECT_EQ(payloads[1][8], jpeg[1260]) << "the second payload starts with data";
}

TEST(JpegPacketizer, MissingTablesAreAnErrorOnlyWhenTablesTravel)
{
    struct Case
    {
        const char *what;
        std::uint8_t q;
        const std::uint8_t *luma;
        const std::uint8_t *chroma;
        std::size_t length;
        PacketizeError expected;
    } const cases[] = {
        { "null chroma table", 200, LumaTable.data(), nullptr, 100,
                PacketizeError::MissingQuantTable },
        { "null luma table", 128, nullptr, ChromaTable.data(), 100,
                PacketizeError::MissingQuantTable },
        { "Q 127 reads no tables", 127, nullptr, nullptr, 100, PacketizeError::None },
        { "an empty frame sends nothing, so needs nothing", 200, nullptr, nullptr, 0,
                PacketizeError::None },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes jpeg = countingBytes(c.length);
        JpegPacketizer packetizer({ .q = c.q, .lumaTable = c.luma, .chromaTable = c.chroma }, jpeg);
        EXPECT_EQ(packetizer.error(), c.expected);
        if (c.expected != PacketizeError::None) {
            EXPECT_TRUE(packetizer.done());
            EXPECT_EQ(packetizer.payloadCount(), 0u);
        }
    }
}

TEST(JpegPacketizer, ReassemblesByOffsetToTheInput)
{
    std::mt19937 random(7);
    const JpegFrameParams settings[] = { {}, { .restartInterval = 3 }, withTables({ .q = 255 }),
        withTables({ .restartInterval = 0xFFFF, .q = 128 }) };
    for (const JpegFrameParams &params : settings) {
        for (const std::size_t length : { 1u, 1255u, 1392u, 5000u, 60000u }) {
            SCOPED_TRACE(testing::Message() << "length " << length << " q " << int(params.q)
                                            << " restart " << params.restartInterval);
            Bytes jpeg(length);
            std::generate(jpeg.begin(), jpeg.end(), [&] { return std::uint8_t(random()); });
            Bytes rebuilt;
            bool first = true;
            for (const auto &payload : packetizeJpeg(params, jpeg)) {
                const std::size_t offset =
                        std::size_t(payload[1]) << 16 | std::size_t(payload[2]) << 8 | payload[3];
                ASSERT_EQ(offset, rebuilt.size());
                const std::size_t start = PayloadBytes - dataRoom(params, first);
                const std::size_t take = std::min(PayloadBytes - start, length - offset);
                rebuilt.insert(
                        rebuilt.end(), payload.begin() + start, payload.begin() + start + take);
                first = false;
            }
            EXPECT_EQ(rebuilt, jpeg);
        }
    }
}

TEST(JpegPacketizer, FragmentOffsetWrapsAt24Bits)
{
    const std::size_t wrap = std::size_t{ 1 } << 24;
    const Bytes jpeg(wrap + 3000, 0x55);
    JpegPacketizer packetizer({}, jpeg);
    std::array<std::uint8_t, PayloadBytes> payload{};
    std::size_t wrapped = 0;
    while (!packetizer.done()) {
        const PayloadFill fill = packetizer.fillNext(payload);
        const std::size_t field =
                std::size_t(payload[1]) << 16 | std::size_t(payload[2]) << 8 | payload[3];
        ASSERT_EQ(field, fill.offset % wrap);
        wrapped += fill.offset >= wrap;
    }
    EXPECT_GT(wrapped, 0u) << "payloads beyond 16 MiB were written";
}

} // namespace
} // namespace zelrtp
