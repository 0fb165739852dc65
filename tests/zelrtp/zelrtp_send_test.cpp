// The library over real oRTP sessions, read back from UDP sockets on loopback.

#include "test_pictures.h"
#include "udp_sink.h"
#include "zelrtp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <numeric>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace zelrtptest {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char ClientAddress[] = "127.0.0.1"; // where the client binds its RTP socket
constexpr int UnitRtpPort = 50001;
constexpr std::size_t DatagramBytes = 12 + 1400;

Bytes head(const Bytes &bytes, std::size_t n)
{
    return Bytes(bytes.begin(), bytes.begin() + std::min(n, bytes.size()));
}

// The frame's JPEG bytes put back together by fragment offset, the padding after the end
// marker stripped: what a unit would decode.
Bytes reassemble(const std::vector<RtpPacket> &packets)
{
    Bytes frame;
    for (const RtpPacket &packet : packets) {
        const auto &p = packet.payload;
        const std::size_t offset = std::size_t(p[1]) << 16 | std::size_t(p[2]) << 8 | p[3];
        std::size_t start = 8 + ((p[4] & 0x40) ? 4 : 0);
        if (offset == 0 && p[5] >= 128)
            start += 4 + 128;
        if (frame.size() < offset + (p.size() - start))
            frame.resize(offset + (p.size() - start));
        std::copy(p.begin() + start, p.end(), frame.begin() + offset);
    }
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        if (frame[i] == 0xFF && frame[i + 1] == 0xD9) {
            frame.resize(i + 2);
            break;
        }
    }
    return frame;
}

class ZelRtpLoopback : public testing::Test
{
protected:
    void SetUp() override { initRtp(); }
    void TearDown() override
    {
        for (_ZelRtpSession *handle : m_sessions)
            exitSession(handle);
        exitRtp();
    }

    _ZelRtpSession *open(const UdpSink &sink, std::uint32_t ssrc, int frameRate = 5)
    {
        _ZelRtpSession *handle = initSession(
                ClientAddress, UnitRtpPort, sink.address().c_str(), sink.port(), frameRate, ssrc);
        EXPECT_NE(handle, nullptr);
        m_sessions.push_back(handle);
        return handle;
    }
    void close(_ZelRtpSession *handle)
    {
        m_sessions.erase(
                std::remove(m_sessions.begin(), m_sessions.end(), handle), m_sessions.end());
        exitSession(handle);
    }

    std::vector<_ZelRtpSession *> m_sessions;
};

// A whole frame the way the main program sends it, on the ports the unit uses.
TEST_F(ZelRtpLoopback, SendsARealJpegFrameOnTheUnitPorts)
{
    UdpSink rtp("127.0.0.21", UnitRtpPort);
    UdpSink rtcp("127.0.0.21", UnitRtpPort + 1); // where oRTP would send RTCP
    const Bytes jpeg = makeJpegNear(1024, 768, 60000);
    _ZelRtpSession *handle = open(rtp, 0x11223344);

    testing::internal::CaptureStdout();
    const int result = sendJpegFrame(
            handle, reinterpret_cast<const char *>(jpeg.data()), static_cast<int>(jpeg.size()));
    EXPECT_EQ(result, int(DatagramBytes)) << "the last packet's send result";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "oRTP knows payload type 26";

    const std::vector<RtpPacket> packets = rtp.drainRtp();
    ASSERT_EQ(packets.size(), (jpeg.size() + 1391) / 1392);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const RtpPacket &p = packets[i];
        SCOPED_TRACE(testing::Message() << "packet " << i);
        EXPECT_EQ(p.datagramBytes, DatagramBytes);
        EXPECT_EQ(p.version, 2);
        EXPECT_FALSE(p.padding);
        EXPECT_FALSE(p.extension);
        EXPECT_EQ(p.csrcCount, 0);
        EXPECT_EQ(p.payloadType, 26);
        EXPECT_EQ(p.sequence, i);
        EXPECT_EQ(p.marker, i + 1 == packets.size());
        EXPECT_EQ(p.ssrc, 0x11223344u);
        EXPECT_EQ(p.timestamp, packets[0].timestamp) << "one timestamp per frame";
        EXPECT_EQ(p.fromPort, UnitRtpPort);
    }
    EXPECT_EQ(
            head(packets[0].payload, 8), (Bytes{ 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x80, 0x60 }));
    EXPECT_EQ(
            head(packets[1].payload, 8), (Bytes{ 0x00, 0x00, 0x05, 0x70, 0x01, 0x5A, 0x80, 0x60 }));

    const Bytes rebuilt = reassemble(packets);
    EXPECT_EQ(rebuilt, jpeg);
    const auto decoded = decodeJpeg(rebuilt);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->width, 1024);

    // Closing the session must not say goodbye over RTCP either.
    close(handle);
    EXPECT_TRUE(rtp.drain().empty());
    EXPECT_TRUE(rtcp.drain().empty()) << "no RTCP reaches the unit";
}

TEST_F(ZelRtpLoopback, FrameCallsWithNothingToSendSendNothing)
{
    UdpSink sink("127.0.0.20", 0);
    _ZelRtpSession *handle = open(sink, 5);
    const char bytes[16] = {};
    struct
    {
        const char *what;
        int result;
        int expected;
    } const cases[] = {
        { "null JPEG", sendJpegFrame(handle, nullptr, 5000), 0 },
        { "null JPEG with size", sendJpegFrameWithSize(handle, nullptr, 5000, 640, 480), 0 },
        { "zero length", sendJpegFrame(handle, bytes, 0), 0 },
        { "negative length", sendJpegFrame(handle, bytes, -7), 0 },
        { "null handle is refused, not followed", sendJpegFrame(nullptr, bytes, 16), -1 },
        { "null session in the packetizer",
                SendJpegFrameWithORTP(nullptr, 0, reinterpret_cast<const unsigned char *>(bytes),
                        16, 1, 0, 1024, 768, 0, 90, nullptr, nullptr),
                -1 },
        { "null data with a length",
                SendJpegFrameWithORTP(
                        handle->rtp, 0, nullptr, 16, 1, 0, 1024, 768, 0, 90, nullptr, nullptr),
                0 },
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.result, c.expected) << c.what;
    EXPECT_TRUE(sink.drain().empty());
}

// A cancelled session sends nothing until it is resumed, and then the whole next frame.
TEST_F(ZelRtpLoopback, CancelledFramesLeaveNothingUntilResumed)
{
    UdpSink sink("127.0.0.22", 0);
    _ZelRtpSession *handle = open(sink, 9);
    const Bytes jpeg = makeJpegNear(1024, 768, 20000);
    const auto send = [&] {
        return sendJpegFrame(
                handle, reinterpret_cast<const char *>(jpeg.data()), static_cast<int>(jpeg.size()));
    };
    cancelFrames(nullptr, true); // does nothing
    cancelFrames(handle, true);
    EXPECT_EQ(send(), ZELRTP_FRAME_CANCELLED);
    EXPECT_TRUE(sink.drain().empty());

    cancelFrames(handle, false);
    EXPECT_EQ(send(), int(DatagramBytes));
    const std::vector<RtpPacket> packets = sink.drainRtp();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.front().sequence, 0);
    EXPECT_TRUE(packets.back().marker);
    EXPECT_EQ(reassemble(packets), jpeg);
}

// The packetizer's settings as they arrive on the wire.
TEST_F(ZelRtpLoopback, PacketizerSettingsShowOnTheWire)
{
    UdpSink sink("127.0.0.20", 0);
    _ZelRtpSession *handle = open(sink, 9);
    std::array<std::uint8_t, 64> luma{};
    std::array<std::uint8_t, 64> chroma{};
    std::iota(luma.begin(), luma.end(), std::uint8_t{ 1 });
    std::iota(chroma.begin(), chroma.end(), std::uint8_t{ 65 });

    struct Case
    {
        const char *what;
        int length;
        int width;
        int restartInterval;
        std::uint8_t q;
        const std::uint8_t *chromaTable;
        int expectedResult;
        std::size_t packets;
        Bytes firstHeader;
        std::size_t lastDataBytes; // JPEG bytes in the last packet, the rest is zero
    } const cases[] = {
        { "1392 bytes fill one packet", 1392, 1024, 0, 90, nullptr, int(DatagramBytes), 1,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x80, 0x60 }, 1392 },
        { "1393 bytes take a second packet", 1393, 1024, 0, 90, nullptr, int(DatagramBytes), 2,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x80, 0x60 }, 1 },
        { "width 1030", 100, 1030, 0, 90, nullptr, int(DatagramBytes), 1,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x81, 0x60 }, 100 },
        { "width 2048", 100, 2048, 0, 90, nullptr, int(DatagramBytes), 1,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0x5A, 0x00, 0x60 }, 100 },
        { "restart interval 0x1234", 1389, 1024, 0x1234, 90, nullptr, int(DatagramBytes), 2,
                { 0x00, 0x00, 0x00, 0x00, 0x41, 0x5A, 0x80, 0x60, 0x12, 0x34, 0xFF, 0xFF }, 1 },
        { "Q 200 with tables", 1261, 1024, 0, 200, chroma.data(), int(DatagramBytes), 2,
                { 0x00, 0x00, 0x00, 0x00, 0x01, 0xC8, 0x80, 0x60, 0x00, 0x00, 0x00, 0x80, 1, 2 },
                1 },
        { "Q 200 without a chroma table sends nothing", 5000, 1024, 0, 200, nullptr, -4, 0, {}, 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes jpeg(std::size_t(c.length));
        std::iota(jpeg.begin(), jpeg.end(), std::uint8_t{ 0x10 });
        const int result = SendJpegFrameWithORTP(handle->rtp, 1000, jpeg.data(), c.length, 1, 0,
                c.width, 768, c.restartInterval, c.q, luma.data(), c.chromaTable);
        EXPECT_EQ(result, c.expectedResult);
        const std::vector<RtpPacket> packets = sink.drainRtp();
        ASSERT_EQ(packets.size(), c.packets);
        if (packets.empty())
            continue;
        EXPECT_EQ(head(packets[0].payload, c.firstHeader.size()), c.firstHeader);
        if (c.q >= 128) {
            EXPECT_TRUE(std::equal(chroma.begin(), chroma.end(), packets[0].payload.begin() + 76));
            EXPECT_EQ(packets[0].payload[140], jpeg[0]);
        }
        const RtpPacket &last = packets.back();
        EXPECT_TRUE(last.marker);
        EXPECT_EQ(last.payload.size(), 1400u);
        const std::size_t lastStart = 1400 - (c.restartInterval ? 1388 : 1392)
                + (packets.size() == 1 && c.q >= 128 ? 132 : 0);
        EXPECT_EQ(last.payload[lastStart + c.lastDataBytes - 1], jpeg.back());
        EXPECT_TRUE(std::all_of(last.payload.begin() + lastStart + c.lastDataBytes,
                last.payload.end(), [](std::uint8_t b) { return b == 0; }));
        if (packets.size() > 1) {
            const std::size_t firstStart = 8 + (c.restartInterval ? 4 : 0) + (c.q >= 128 ? 132 : 0);
            EXPECT_FALSE(packets[0].marker);
            EXPECT_EQ(packets[0].payload.back(), jpeg[1400 - firstStart - 1])
                    << "the first packet is full of data";
        }
    }
}

TEST_F(ZelRtpLoopback, EveryFrameStartsAtSequenceZeroWithTheCurrentSsrc)
{
    UdpSink sink("127.0.0.20", 0);
    _ZelRtpSession *handle = open(sink, 4242);
    const Bytes jpeg = makeJpeg(320, 240, 20);
    const auto send = [&] {
        sendJpegFrame(handle, reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size()));
        return sink.drainRtp();
    };

    const auto before = std::chrono::steady_clock::now();
    const std::vector<RtpPacket> first = send();
    const std::vector<RtpPacket> second = send();
    const auto elapsed = std::chrono::steady_clock::now() - before;
    ssrcGlobal = 777; // what the next session would store
    const std::vector<RtpPacket> third = send();

    for (const auto *frame : { &first, &second, &third }) {
        ASSERT_GT(frame->size(), 1u);
        for (std::size_t i = 0; i < frame->size(); ++i) {
            EXPECT_EQ((*frame)[i].sequence, i);
            EXPECT_EQ((*frame)[i].timestamp, frame->front().timestamp);
        }
    }
    EXPECT_EQ(first.front().ssrc, 4242u);
    EXPECT_EQ(second.front().ssrc, 4242u);
    EXPECT_EQ(third.front().ssrc, 777u) << "the SSRC is read at every frame";

    // Timestamps advance at 90 kHz, by at least one tick per frame.
    const std::uint32_t step = second.front().timestamp - first.front().timestamp;
    const auto elapsedTicks =
            std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * 90 / 1000;
    EXPECT_GE(step, 1u);
    EXPECT_LE(step, std::uint32_t(elapsedTicks + 1));
    EXPECT_GT(std::int32_t(third.front().timestamp - second.front().timestamp), 0);
    EXPECT_EQ(handle->timestamp, third.front().timestamp);
}

TEST_F(ZelRtpLoopback, SsrcComesFromTheEnvironmentOnlyWhenZero)
{
    struct
    {
        const char *what;
        std::uint32_t given;
        const char *variable;
        std::uint32_t used;
    } const cases[] = {
        { "zero without the variable", 0, nullptr, 0 },
        { "zero with the variable", 0, "1234", 1234 },
        { "non-zero ignores the variable", 77, "1234", 77 },
        { "the variable parsed like a number", 0, " 99xyz", 99 },
    };
    UdpSink sink("127.0.0.20", 0);
    const char byte = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.variable)
            ::setenv("SSRC", c.variable, 1);
        else
            ::unsetenv("SSRC");
        testing::internal::CaptureStdout();
        _ZelRtpSession *handle = open(sink, c.given);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, "ssrc: " + std::to_string(c.used) + "\n");
        EXPECT_EQ(ssrcGlobal, c.used);
        sendJpegFrame(handle, &byte, 1);
        const auto packets = sink.drainRtp();
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].ssrc, c.used);
        close(handle);
    }
    ::unsetenv("SSRC");
}

// Two client sessions bound to the same local RTP address, as when a share is opened again
// before the old session is gone: both work, and the newer SSRC is on everything.
TEST_F(ZelRtpLoopback, TwoSessionsOnTheClientPortShareTheNewestSsrc)
{
    UdpSink sink("127.0.0.22", UnitRtpPort);
    _ZelRtpSession *older = open(sink, 1001);
    _ZelRtpSession *newer = open(sink, 2002);
    const Bytes jpeg = makeJpeg(160, 120, 10);
    EXPECT_GT(
            sendJpegFrame(older, reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size())), 0);
    EXPECT_GT(
            sendJpegFrame(newer, reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size())), 0);
    const auto packets = sink.drainRtp();
    const std::size_t perFrame = (jpeg.size() + 1391) / 1392;
    ASSERT_EQ(packets.size(), 2 * perFrame) << "both sessions reached the unit";
    for (const RtpPacket &p : packets) {
        EXPECT_EQ(p.ssrc, 2002u);
        EXPECT_EQ(p.fromPort, UnitRtpPort);
    }
    EXPECT_EQ(reassemble({ packets.begin(), packets.begin() + perFrame }), jpeg);
    EXPECT_EQ(reassemble({ packets.begin() + perFrame, packets.end() }), jpeg);
}

// The main program stops the library at every logout and starts it again at the next share.
TEST_F(ZelRtpLoopback, LibraryRestartsForTheNextLogin)
{
    UdpSink sink("127.0.0.20", 0);
    const char byte = 1;
    for (std::uint32_t login = 1; login <= 3; ++login) {
        SCOPED_TRACE(login);
        _ZelRtpSession *handle = open(sink, login);
        EXPECT_EQ(sendJpegFrame(handle, &byte, 1), int(DatagramBytes));
        const auto packets = sink.drainRtp();
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].ssrc, login);
        close(handle);
        exitRtp();
        initRtp();
    }
}

TEST_F(ZelRtpLoopback, FrameRateIsKeptBetweenOneAndFive)
{
    UdpSink sink("127.0.0.20", 0);
    EXPECT_EQ(open(sink, 1, 0)->frameRate, 5) << "initSession clamps too";
    EXPECT_EQ(open(sink, 1, 2)->frameRate, 2);
    _ZelRtpSession *handle = open(sink, 1);
    const struct
    {
        int given;
        std::int16_t stored;
    } cases[] = { { 3, 3 }, { 0, 5 }, { 1, 1 }, { -1, 5 }, { 6, 5 } };
    for (const auto &c : cases) {
        EXPECT_TRUE(setFrameRate(handle, c.given));
        EXPECT_EQ(handle->frameRate, c.stored) << "given " << c.given;
    }
    EXPECT_FALSE(setFrameRate(nullptr, 3));
}

TEST_F(ZelRtpLoopback, SinglePacketSendsCarryTheMarkerOnlyWhenAsked)
{
    UdpSink sink("127.0.0.20", 0);
    _ZelRtpSession *handle = open(sink, 3);
    const Bytes payload(100, 0xAB);
    testing::internal::CaptureStdout();
    struct
    {
        const char *what;
        int result;
        bool marker;
    } const cases[] = {
        { "rtpSend", rtpSend(handle->rtp, payload.data(), 100, 5), false },
        { "end mark 0", rtpSendWithEndMark(handle->rtp, payload.data(), 100, 6, 0), false },
        { "end mark 1", rtpSendWithEndMark(handle->rtp, payload.data(), 100, 7, 1), true },
        { "any non-zero end mark", rtpSendWithEndMark(handle->rtp, payload.data(), 100, 8, -3),
                true },
    };
    // A fresh session still holds payload type 0: its profile knows that type too, so oRTP
    // does not log a warning for every packet.
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("payload type"), std::string::npos);
    const auto packets = sink.drainRtp();
    ASSERT_EQ(packets.size(), std::size(cases));
    for (std::size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(cases[i].result, 112);
        EXPECT_EQ(packets[i].marker, cases[i].marker);
        EXPECT_EQ(packets[i].timestamp, 5 + i);
        EXPECT_EQ(packets[i].payload, payload);
    }
}

// The unit takes pictures only from its partner port: a session whose local port is held by
// another program (a socket bound without address reuse) or whose local address is not this
// computer's is refused, rather than sending from a port oRTP would pick itself.
TEST_F(ZelRtpLoopback, AnUnusableLocalPortGivesNoSession)
{
    constexpr char LocalAddress[] = "127.0.0.24";
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in held{};
    held.sin_family = AF_INET;
    held.sin_port = htons(UnitRtpPort);
    ::inet_pton(AF_INET, LocalAddress, &held.sin_addr);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&held), sizeof held), 0);

    UdpSink sink("127.0.0.20", 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(initSession(LocalAddress, UnitRtpPort, "127.0.0.20", sink.port(), 5, 9), nullptr);
    EXPECT_EQ(initSession("192.0.2.1", UnitRtpPort, "127.0.0.20", sink.port(), 5, 9), nullptr);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot send from 127.0.0.24:50001"), std::string::npos) << said;
    ::close(holder);

    // Once the port is free again, the same call works.
    _ZelRtpSession *handle =
            initSession(LocalAddress, UnitRtpPort, "127.0.0.20", sink.port(), 5, 9);
    ASSERT_NE(handle, nullptr);
    m_sessions.push_back(handle);
    const char byte = 1;
    EXPECT_EQ(sendJpegFrame(handle, &byte, 1), int(DatagramBytes));
    const auto packets = sink.drainRtp();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].fromPort, UnitRtpPort);
}

} // namespace
} // namespace zelrtptest
