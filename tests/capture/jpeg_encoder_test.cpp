#include "frame_scaler.h"
#include "jpeg_encoder.h"
#include "screen_source.h"
#include "strip_jpeg_encoder.h"
#include "test_pictures.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>
#include <map>

namespace {

// The marker segments of a JPEG file up to the start of the scan, by marker byte.
std::multimap<int, QByteArray> segmentsOf(const QByteArray &jpeg)
{
    std::multimap<int, QByteArray> segments;
    int pos = 2; // after SOI
    while (pos + 4 <= jpeg.size() && uchar(jpeg[pos]) == 0xFF) {
        const int marker = uchar(jpeg[pos + 1]);
        const int length = (uchar(jpeg[pos + 2]) << 8) | uchar(jpeg[pos + 3]);
        segments.emplace(marker, jpeg.mid(pos + 4, length - 2));
        if (marker == 0xDA)
            break;
        pos += 2 + length;
    }
    return segments;
}

QByteArray qtJpeg(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "jpg");
    return bytes;
}

double meanDifference(const QImage &a, const QImage &b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q))
                    + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

TEST(JpegEncoder, SameKindOfFileAsQtsWriter)
{
    // Baseline, 4:2:0, the quantisation tables of quality 75: the unit gets the file Qt's
    // "jpg" writer at its default quality would give.
    const QImage picture = testpictures::withTextPanels(testpictures::photoLike({ 1280, 720 }));
    capture::JpegEncoder encoder;
    QByteArray ours;
    ASSERT_TRUE(encoder.encode(picture, ours));
    const auto mine = segmentsOf(ours);
    const auto theirs = segmentsOf(qtJpeg(picture));

    ASSERT_EQ(mine.count(0xC0), 1u) << "not a baseline file";
    EXPECT_EQ(mine.count(0xC2), 0u);
    EXPECT_EQ(mine.find(0xC0)->second, theirs.find(0xC0)->second) << "frame header differs";
    std::vector<QByteArray> ourTables, qtTables;
    for (auto [it, end] = mine.equal_range(0xDB); it != end; ++it)
        ourTables.push_back(it->second);
    for (auto [it, end] = theirs.equal_range(0xDB); it != end; ++it)
        qtTables.push_back(it->second);
    ASSERT_FALSE(ourTables.empty());
    QByteArray ourAll, qtAll;
    for (const QByteArray &t : ourTables)
        ourAll += t;
    for (const QByteArray &t : qtTables)
        qtAll += t;
    EXPECT_EQ(ourAll, qtAll) << "quantisation tables differ";

    // Same settings down to the DCT: the coded picture is the very one Qt's writer makes.
    const QByteArray qt = qtJpeg(picture);
    EXPECT_TRUE(ours.mid(ours.indexOf("\xff\xda")) == qt.mid(qt.indexOf("\xff\xda")))
            << "the coded picture differs from Qt's";

    // Frame header: 8-bit, 720 x 1280, three components, luma 2x2, chroma 1x1.
    const QByteArray sof = mine.find(0xC0)->second;
    ASSERT_EQ(sof.size(), 15);
    EXPECT_EQ(uchar(sof[7]), 0x22);
    EXPECT_EQ(uchar(sof[10]), 0x11);
    EXPECT_EQ(uchar(sof[13]), 0x11);
}

TEST(JpegEncoder, PlanesDecodeToThePicture)
{
    const QImage picture = testpictures::photoLike({ 1023, 577 }, 3);
    capture::I420Frame frame;
    frame.resize(picture.size());
    capture::SmoothScaler(picture.size(), picture.size()).scale(*capture::viewOf(picture), frame);
    capture::JpegEncoder encoder;
    QByteArray jpeg;
    ASSERT_TRUE(encoder.encode(frame, jpeg));
    const QImage decoded = QImage::fromData(jpeg, "JPG").convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(decoded.size(), picture.size());
    const QImage viaQt =
            QImage::fromData(qtJpeg(picture), "JPG").convertToFormat(QImage::Format_RGB32);
    // As close to the picture as Qt's own file is, give or take a level.
    EXPECT_LT(meanDifference(decoded, picture), meanDifference(viaQt, picture) + 1.0);
}

TEST(JpegEncoder, ReusesTheOutputAndRefusesNothingToEncode)
{
    capture::JpegEncoder encoder;
    QByteArray jpeg;
    capture::I420Frame frame;
    frame.resize({ 64, 48 });
    std::fill(frame.y.begin(), frame.y.end(), 200);
    std::fill(frame.u.begin(), frame.u.end(), 128);
    std::fill(frame.v.begin(), frame.v.end(), 128);
    ASSERT_TRUE(encoder.encode(frame, jpeg));
    const QByteArray first = jpeg;
    ASSERT_TRUE(encoder.encode(frame, jpeg));
    EXPECT_EQ(jpeg, first);
    EXPECT_EQ(uchar(jpeg[0]), 0xFF);
    EXPECT_EQ(uchar(jpeg[jpeg.size() - 1]), 0xD9);

    capture::I420Frame empty;
    EXPECT_FALSE(encoder.encode(empty, jpeg));
    EXPECT_TRUE(jpeg.isEmpty());
    EXPECT_FALSE(encoder.encode(QImage(), jpeg));
}

TEST(StripJpegEncoder, GivesTheFileOfTheWholePictureEncoder)
{
    if (!capture::StripJpegEncoder::available())
        GTEST_SKIP() << "built without the strip encoder";
    capture::JpegEncoder whole;
    capture::StripJpegEncoder strips;
    for (const QSize size : { QSize(1280, 720), QSize(1023, 577), QSize(17, 9), QSize(1, 1) }) {
        const QImage picture = testpictures::photoLike(size, 5);
        capture::I420Frame frame;
        frame.resize(size);
        capture::SmoothScaler(size, size).scale(*capture::viewOf(picture), frame);
        QByteArray expected, got;
        ASSERT_TRUE(whole.encode(frame, expected));
        ASSERT_TRUE(strips.begin(frame, got));
        for (int s = 0; s < capture::StripJpegEncoder::stripCount(size.height()); ++s)
            ASSERT_TRUE(strips.writeStrip(frame, s));
        ASSERT_TRUE(strips.finish());
        EXPECT_TRUE(got == expected) << size.width() << "x" << size.height();
    }
    // A file that was begun and dropped leaves nothing behind; the next one is whole.
    capture::I420Frame frame;
    frame.resize({ 64, 64 });
    QByteArray out;
    ASSERT_TRUE(strips.begin(frame, out));
    strips.abort();
    EXPECT_TRUE(out.isEmpty());
    EXPECT_FALSE(strips.finish());
}

TEST(JpegPictureSize, ReadsTheFrameHeader)
{
    capture::JpegEncoder encoder;
    QByteArray jpeg;
    ASSERT_TRUE(encoder.encode(testpictures::photoLike({ 1023, 577 }), jpeg));
    EXPECT_EQ(capture::jpegPictureSize(jpeg), QSize(1023, 577));
    // Cut inside the headers, not a JPEG at all, nothing.
    EXPECT_EQ(capture::jpegPictureSize(jpeg.left(100)), std::nullopt);
    EXPECT_EQ(capture::jpegPictureSize(QByteArray("\x89PNG\r\n\x1a\n", 8)), std::nullopt);
    EXPECT_EQ(capture::jpegPictureSize(QByteArray()), std::nullopt);
    // A segment length that runs off the end.
    EXPECT_EQ(capture::jpegPictureSize(QByteArray("\xff\xd8\xff\xe0\xff\xff", 6)), std::nullopt);
}

} // namespace
