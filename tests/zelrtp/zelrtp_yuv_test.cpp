// The YUV entry points: the encoder's picture goes out as a frame, and the caller's length
// never makes the library read past its buffer.

#include "test_pictures.h"
#include "udp_sink.h"
#include "zel_jpeg_encoder.h"
#include "zelrtp.h"

#include <algorithm>
#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zelrtptest {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char BufferMessage[] = "Buffer too small! But this should not happen!\n";

// The JPEG data of a frame without restart header or tables, in packet order.
Bytes frameData(const std::vector<RtpPacket> &packets)
{
    Bytes data;
    for (const RtpPacket &p : packets)
        data.insert(data.end(), p.payload.begin() + 8, p.payload.end());
    return data;
}

class ZelRtpYuv : public testing::Test
{
protected:
    void SetUp() override
    {
        initRtp();
        m_handle = initSession("127.0.0.1", 50001, m_sink.address().c_str(), m_sink.port(), 5, 8);
        ASSERT_NE(m_handle, nullptr);
        m_yuv = makeI420(jpegenc::FrameWidth, jpegenc::FrameHeight, 12);
        m_jpeg.resize(jpegenc::FrameBytes);
        const int written = encJpegFrame(m_yuv.data(), m_jpeg.data(), int(m_jpeg.size()));
        ASSERT_GT(written, 0);
        m_jpeg.resize(std::size_t(written));
    }
    void TearDown() override
    {
        exitSession(m_handle);
        exitRtp();
    }
    const char *yuv() const { return reinterpret_cast<const char *>(m_yuv.data()); }

    UdpSink m_sink{ "127.0.0.23", 0 };
    _ZelRtpSession *m_handle = nullptr;
    Bytes m_yuv;
    Bytes m_jpeg; // what the encoder makes of m_yuv
};

TEST_F(ZelRtpYuv, SendsTheEncodedPicture)
{
    testing::internal::CaptureStdout();
    const int result = sendYUVFrameInJpegFormat(m_handle, yuv(), int(m_jpeg.size()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result, 1412);
    const auto packets = m_sink.drainRtp();
    ASSERT_EQ(packets.size(), (m_jpeg.size() + 1391) / 1392);
    EXPECT_EQ(packets[0].payload[6], 128);
    EXPECT_EQ(packets[0].payload[7], 96);
    Bytes data = frameData(packets);
    data.resize(m_jpeg.size());
    EXPECT_EQ(data, m_jpeg);
    const auto decoded = decodeJpeg(data);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->width, 1024);
    EXPECT_EQ(decoded->height, 768);
}

TEST_F(ZelRtpYuv, SendsZeroBytesPastTheEncodersOutput)
{
    const int length = int(m_jpeg.size()) + 3000;
    EXPECT_EQ(sendYUVFrameInJPEGFormatWithSize(m_handle, yuv(), length, 1024, 768), 1412);
    const Bytes data = frameData(m_sink.drainRtp());
    ASSERT_GE(data.size(), std::size_t(length));
    EXPECT_TRUE(std::equal(m_jpeg.begin(), m_jpeg.end(), data.begin()));
    EXPECT_TRUE(std::all_of(data.begin() + m_jpeg.size(), data.end(), [](std::uint8_t b) {
        return b == 0;
    })) << "no stale buffer bytes leave the machine";
}

// A length beyond the buffer is cut to the buffer: width x 3 x height / 2 = 6144 bytes here,
// and the 1024 x 768 picture does not fit it, so the message comes and the cut frame goes out.
TEST_F(ZelRtpYuv, LengthBeyondTheBufferSendsOnlyTheBuffer)
{
    testing::internal::CaptureStdout();
    const int result = sendYUVFrameInJPEGFormatWithSize(m_handle, yuv(), INT_MAX, 64, 64);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), BufferMessage);
    EXPECT_EQ(result, 1412);
    const auto packets = m_sink.drainRtp();
    ASSERT_EQ(packets.size(), 5u); // 4 x 1392 + 576
    EXPECT_EQ(packets[0].payload[6], 8);
    Bytes data = frameData(packets);
    EXPECT_TRUE(
            std::all_of(data.begin() + 6144, data.end(), [](std::uint8_t b) { return b == 0; }));
    data.resize(6144);
    EXPECT_EQ(data, Bytes(m_jpeg.begin(), m_jpeg.begin() + 6144));
}

TEST_F(ZelRtpYuv, ResultsWhenNothingCanBeSent)
{
    const struct
    {
        const char *what;
        int result;
        int expected;
    } cases[] = {
        { "null picture", sendYUVFrameInJpegFormat(m_handle, nullptr, 100), 0 },
        { "null picture with size",
                sendYUVFrameInJPEGFormatWithSize(m_handle, nullptr, 100, 64, 64), 0 },
        { "zero length", sendYUVFrameInJpegFormat(m_handle, yuv(), 0), 0 },
        { "no buffer for a zero width",
                sendYUVFrameInJPEGFormatWithSize(m_handle, yuv(), 100, 0, 768), -2 },
        { "no buffer for a negative height",
                sendYUVFrameInJPEGFormatWithSize(m_handle, yuv(), 100, 1024, -1), -2 },
        { "no buffer beyond the int range",
                sendYUVFrameInJPEGFormatWithSize(m_handle, yuv(), 100, 65536, 65536), -2 },
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.result, c.expected) << c.what;
    EXPECT_TRUE(m_sink.drain().empty());
}

} // namespace
} // namespace zelrtptest
