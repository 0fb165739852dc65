#include "desktop_capture.h"
#include "frame_scaler.h"
#include "test_pictures.h"

#include <QImage>

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using capture::I420Frame;
using capture::SmoothScaler;

// JPEG's YCbCr of an 8-bit colour, computed in floating point.
struct Ycc
{
    double y, cb, cr;
};

Ycc yccOf(QRgb p)
{
    const double r = qRed(p), g = qGreen(p), b = qBlue(p);
    return { 0.299 * r + 0.587 * g + 0.114 * b, 128 - 0.168736 * r - 0.331264 * g + 0.5 * b,
        128 + 0.5 * r - 0.418688 * g - 0.081312 * b };
}

struct PlaneDifference
{
    double meanY = 0;
    double meanChroma = 0;
    double edgeY = 0; // mean over the outermost two rows and columns
};

// Compares the planes with Qt's smooth scaling of the same picture, converted the same way.
PlaneDifference compareWithQt(const QImage &source, QSize target, const I420Frame &frame)
{
    const QImage qt = source.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                              .convertToFormat(QImage::Format_RGB32);
    PlaneDifference d;
    double edgeSum = 0;
    int edgeCount = 0;
    for (int y = 0; y < target.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(qt.constScanLine(y));
        for (int x = 0; x < target.width(); ++x) {
            const double diff = std::abs(yccOf(line[x]).y - frame.y[y * frame.yStride + x]);
            d.meanY += diff;
            if (x < 2 || y < 2 || x >= target.width() - 2 || y >= target.height() - 2) {
                edgeSum += diff;
                ++edgeCount;
            }
        }
    }
    d.meanY /= double(target.width()) * target.height();
    d.edgeY = edgeSum / edgeCount;
    for (int cy = 0; cy < frame.chromaHeight(); ++cy) {
        for (int cx = 0; cx < frame.chromaWidth(); ++cx) {
            double cb = 0, cr = 0;
            for (int i = 0; i < 4; ++i) {
                const int x = std::min(2 * cx + i % 2, target.width() - 1);
                const int y = std::min(2 * cy + i / 2, target.height() - 1);
                const Ycc c = yccOf(qt.pixel(x, y));
                cb += c.cb / 4;
                cr += c.cr / 4;
            }
            d.meanChroma += std::abs(cb - frame.u[cy * frame.uvStride + cx])
                    + std::abs(cr - frame.v[cy * frame.uvStride + cx]);
        }
    }
    d.meanChroma /= 2.0 * frame.chromaWidth() * frame.chromaHeight();
    return d;
}

struct ScaleCase
{
    QSize source;
    QSize target;
    bool text;
};

void PrintTo(const ScaleCase &c, std::ostream *os)
{
    *os << c.source.width() << "x" << c.source.height() << " to " << c.target.width() << "x"
        << c.target.height() << (c.text ? " with text" : "");
}

class ScalerAgainstQt : public ::testing::TestWithParam<ScaleCase>
{
};

TEST_P(ScalerAgainstQt, SmallMeanDifference)
{
    const ScaleCase &c = GetParam();
    QImage source = testpictures::photoLike(c.source, 7);
    if (c.text)
        source = testpictures::withTextPanels(source);
    I420Frame frame;
    frame.resize(c.target);
    SmoothScaler(c.source, c.target).scale(*capture::viewOf(source), frame);

    const PlaneDifference d = compareWithQt(source, c.target, frame);
    EXPECT_LT(d.meanY, 1.5);
    EXPECT_LT(d.meanChroma, 1.5);
    EXPECT_LT(d.edgeY, 3.0) << "the picture's border is shifted or lost";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScalerAgainstQt,
        ::testing::Values(ScaleCase{ { 1920, 1080 }, { 1280, 720 }, true },
                ScaleCase{ { 1920, 1080 }, { 1024, 576 }, true },
                ScaleCase{ { 1680, 1050 }, { 1152, 720 }, false },
                ScaleCase{ { 1440, 960 }, { 1024, 682 }, true },
                ScaleCase{ { 1280, 1024 }, { 960, 768 }, false },
                // Odd sizes: chroma blocks at the right and bottom edge are half-filled.
                ScaleCase{ { 1001, 601 }, { 333, 201 }, true },
                // Enlarging, as for a small window or desktop.
                ScaleCase{ { 800, 600 }, { 1024, 768 }, true },
                ScaleCase{ { 640, 400 }, { 1023, 639 }, false }));

TEST(SmoothScaler, FlatColoursKeepTheirValue)
{
    // Weights that do not add up to one show as a brighter or darker picture.
    const QRgb colours[] = { qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(255, 0, 0), qRgb(0, 255, 0),
        qRgb(0, 0, 255), qRgb(128, 128, 128), qRgb(17, 200, 99) };
    for (const QRgb colour : colours) {
        QImage source(1920, 1080, QImage::Format_RGB32);
        source.fill(colour);
        for (const QSize target : { QSize(1280, 720), QSize(1023, 577), QSize(2000, 1200) }) {
            SmoothScaler scaler(source.size(), target);
            I420Frame frame;
            frame.resize(target);
            scaler.scale(*capture::viewOf(source), frame);
            const Ycc expected = yccOf(colour);
            const auto near = [](double want, int got) { return std::abs(want - got) <= 1.0; };
            bool flat = true;
            for (const std::uint8_t y : frame.y)
                flat = flat && near(expected.y, y);
            for (const std::uint8_t u : frame.u)
                flat = flat && near(std::clamp(expected.cb, 0.0, 255.0), u);
            for (const std::uint8_t v : frame.v)
                flat = flat && near(std::clamp(expected.cr, 0.0, 255.0), v);
            EXPECT_TRUE(flat) << std::hex << colour << std::dec << " to " << target.width() << "x"
                              << target.height();
        }
    }
}

TEST(SmoothScaler, TakesEveryTapWhenShrinkingManyTimes)
{
    // A 16-times shrink needs more rows per output row than the usual two or three.
    QImage source(1600, 1600, QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x)
            source.setPixel(x, y, (y / 4) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    I420Frame frame;
    frame.resize({ 100, 100 });
    SmoothScaler(source.size(), { 100, 100 }).scale(*capture::viewOf(source), frame);
    for (const std::uint8_t y : frame.y)
        ASSERT_NEAR(y, 128, 2);
}

// A source whose picture arrives a few rows per call into an otherwise black buffer, as the X
// server fills the shared segment: a row scaled before its source arrived shows as a
// difference. It can also fail part-way.
class TricklingSource : public capture::ScreenSource
{
public:
    TricklingSource(const QImage &image, int rowsPerCall, int failAtRow = -1)
        : m_image(image.convertToFormat(QImage::Format_RGB32)),
          m_rowsPerCall(rowsPerCall),
          m_failAtRow(failAtRow)
    {
    }
    QSize size() override { return m_image.size(); }
    std::optional<capture::PixelView> grab() override { return capture::viewOf(m_image); }
    std::optional<capture::PixelView> startGrab() override
    {
        m_buffer = QImage(m_image.size(), QImage::Format_RGB32);
        m_buffer.fill(Qt::black);
        m_rows = 0;
        return capture::viewOf(m_buffer);
    }
    int rowsArrived(bool) override
    {
        if (m_failAtRow >= 0 && m_rows >= m_failAtRow)
            return -1;
        const int next = std::min(m_rows + m_rowsPerCall, m_image.height());
        for (int y = m_rows; y < next; ++y)
            std::memcpy(m_buffer.scanLine(y), m_image.constScanLine(y), m_image.bytesPerLine());
        return m_rows = next;
    }

private:
    QImage m_image;
    QImage m_buffer;
    int m_rowsPerCall;
    int m_failAtRow;
    int m_rows = 0;
};

TEST(DesktopCapture, OverlappedStepsGiveTheFileOfTheSerialOnes)
{
    const QImage source = testpictures::withTextPanels(testpictures::photoLike({ 1920, 1080 }));
    for (const QSize target : { QSize(1280, 720), QSize(1023, 575), QSize(333, 187) }) {
        // Serial: one thread, the whole picture, encoded whole.
        capture::DesktopCapture serial(std::make_unique<capture::ImageScreenSource>(source), false);
        serial.setEncodeInStrips(false);
        // Overlapped: the picture trickling in, two threads scaling, strips encoded on the way.
        capture::DesktopCapture overlapped(std::make_unique<TricklingSource>(source, 37), true);
        QByteArray serialJpeg, overlappedJpeg;
        ASSERT_TRUE(serial.captureJpeg(target, serialJpeg));
        ASSERT_TRUE(overlapped.captureJpeg(target, overlappedJpeg));
        EXPECT_EQ(serial.lastFrame().y, overlapped.lastFrame().y);
        EXPECT_EQ(serial.lastFrame().u, overlapped.lastFrame().u);
        EXPECT_EQ(serial.lastFrame().v, overlapped.lastFrame().v);
        EXPECT_TRUE(serialJpeg == overlappedJpeg)
                << "files differ at " << target.width() << "x" << target.height();
        // The next frame reuses everything and gives the same file again.
        QByteArray again;
        ASSERT_TRUE(overlapped.captureJpeg(target, again));
        EXPECT_TRUE(again == overlappedJpeg);
    }
}

TEST(DesktopCapture, AGrabFailingHalfWayGivesNoFrame)
{
    const QImage source = testpictures::photoLike({ 1920, 1080 });
    for (const bool helper : { true, false }) {
        capture::DesktopCapture capture(
                std::make_unique<TricklingSource>(source, 100, 500), helper);
        QByteArray jpeg("stale");
        EXPECT_FALSE(capture.captureJpeg({ 1280, 720 }, jpeg));
        EXPECT_TRUE(jpeg.isEmpty());
    }
}

TEST(DesktopCapture, FollowsSizeChangesOfTheSource)
{
    auto source =
            std::make_unique<capture::ImageScreenSource>(testpictures::colourGrid({ 1920, 1080 }));
    capture::ImageScreenSource *raw = source.get();
    capture::DesktopCapture capture(std::move(source));
    QByteArray jpeg;
    ASSERT_TRUE(capture.captureJpeg({ 1280, 720 }, jpeg));
    raw->setImage(testpictures::colourGrid({ 1280, 1024 }));
    ASSERT_TRUE(capture.captureJpeg({ 960, 768 }, jpeg));
    EXPECT_EQ(QImage::fromData(jpeg).size(), QSize(960, 768));
    EXPECT_FALSE(capture.captureJpeg(QSize(), jpeg));
    EXPECT_TRUE(jpeg.isEmpty());
}

TEST(DesktopCapture, APictureOfAnotherShapeKeepsItOnBlack)
{
    // The desktop grew a second monitor while the unit expects 1280 x 720: the two screens
    // side by side fill the width, with black above and below, in both ways of making a frame.
    const QImage grown = testpictures::colourGrid({ 3840, 1080 });
    for (const bool overlapped : { true, false }) {
        capture::DesktopCapture capture(std::make_unique<TricklingSource>(grown, 37), overlapped);
        capture.setEncodeInStrips(overlapped);
        QByteArray jpeg;
        ASSERT_TRUE(capture.captureJpeg({ 1280, 720 }, jpeg));
        const QImage frame = QImage::fromData(jpeg);
        ASSERT_EQ(frame.size(), QSize(1280, 720));
        for (const QPoint black : { QPoint(640, 90), QPoint(5, 175), QPoint(1275, 545) })
            EXPECT_LT(qGray(frame.pixel(black)), 8) << black.x() << "," << black.y();
        // The grid's cells keep their shape: 8 columns of 160, 4 rows of 90.
        for (const auto &[column, row] : { std::pair(0, 0), std::pair(7, 3), std::pair(3, 1) }) {
            const QColor expected = testpictures::blockColour(column, row);
            const QColor seen = frame.pixelColor(160 * column + 80, 180 + 90 * row + 45);
            EXPECT_NEAR(seen.red(), expected.red(), 12) << column << "," << row;
            EXPECT_NEAR(seen.green(), expected.green(), 12) << column << "," << row;
            EXPECT_NEAR(seen.blue(), expected.blue(), 12) << column << "," << row;
        }
    }
}

} // namespace
