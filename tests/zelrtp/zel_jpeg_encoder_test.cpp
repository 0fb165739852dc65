#include "test_pictures.h"
#include "zel_jpeg_encoder.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <vector>

namespace zelrtptest {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ZelJpegEncoder, EncodesTheFixedFrameAsBaseline420)
{
    const Bytes yuv = makeI420(jpegenc::FrameWidth, jpegenc::FrameHeight, 16);
    ASSERT_EQ(yuv.size(), jpegenc::FrameBytes);
    Bytes out(jpegenc::FrameBytes);
    const int written = encJpegFrame(yuv.data(), out.data(), int(out.size()));
    ASSERT_GT(written, 0);
    out.resize(std::size_t(written));
    EXPECT_EQ(out[written - 2], 0xFF);
    EXPECT_EQ(out[written - 1], 0xD9);
    const std::uint8_t baselineMarker[] = { 0xFF, 0xC0 };
    EXPECT_NE(std::search(
                      out.begin(), out.end(), std::begin(baselineMarker), std::end(baselineMarker)),
            out.end())
            << "a baseline frame header";
    const auto decoded = decodeJpeg(out);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->width, 1024);
    EXPECT_EQ(decoded->height, 768);
    EXPECT_EQ(decoded->subsampling, TJSAMP_420);

    // The output does not depend on the buffer it is written to.
    Bytes roomy(tjBufSize(1024, 768, TJSAMP_420) + 10);
    ASSERT_EQ(encJpegFrame(yuv.data(), roomy.data(), int(roomy.size())), written);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), roomy.begin()));
}

TEST(ZelJpegEncoder, NeverWritesPastTheCapacity)
{
    const Bytes yuv = makeI420(jpegenc::FrameWidth, jpegenc::FrameHeight, 16);
    Bytes full(jpegenc::FrameBytes);
    const int size = encJpegFrame(yuv.data(), full.data(), int(full.size()));
    ASSERT_GT(size, 1000);
    for (const int capacity : { 1, 1000, size - 1, size }) {
        SCOPED_TRACE(capacity);
        Bytes out(std::size_t(capacity) + 64, 0xA5);
        const int written = encJpegFrame(yuv.data(), out.data(), capacity);
        EXPECT_EQ(written, capacity) << "a cut picture reports the whole capacity";
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + written, full.begin()));
        EXPECT_TRUE(std::all_of(out.begin() + capacity, out.end(), [](std::uint8_t b) {
            return b == 0xA5;
        })) << "bytes past the capacity were written";
    }
}

TEST(ZelJpegEncoder, RefusesMissingBuffers)
{
    const Bytes yuv(jpegenc::FrameBytes, 128);
    Bytes out(100);
    EXPECT_LT(encJpegFrame(nullptr, out.data(), 100), 0);
    EXPECT_LT(encJpegFrame(yuv.data(), nullptr, 100), 0);
    EXPECT_LT(encJpegFrame(yuv.data(), out.data(), 0), 0);
    EXPECT_LT(encJpegFrame(yuv.data(), out.data(), -5), 0);
}

} // namespace
} // namespace zelrtptest
