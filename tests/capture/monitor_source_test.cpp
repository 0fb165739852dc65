// The desktop source limited to one monitor, on an Xvfb of the test's own whose 3840 x 1080
// screen is two 1920 x 1080 monitors side by side, each painted its own colour on the root
// window: the pictures, the rows reported drawn, the pointer and the kept file all belong to
// the chosen monitor; its going is told apart from a failed grab.

#include "desktop_capture.h"
#include "monitor_display.h"
#include "x_painter.h"
#include "xcb_screen_source.h"

#include <QImage>

#include <gtest/gtest.h>
#include <memory>

namespace {

using capture::DesktopCapture;
using capture::DesktopChanges;

const QRect Left(0, 0, 1920, 1080);
const QRect Right(1920, 0, 1920, 1080);
constexpr QRgb LeftColour = 0xffc03020;
constexpr QRgb RightColour = 0xff2050c0;

QRgb pixelAt(const capture::PixelView &view, QPoint point)
{
    const auto *line = reinterpret_cast<const QRgb *>(view.data + point.y() * view.strideBytes);
    return line[point.x()] | 0xff000000u;
}

bool near(QRgb a, QRgb b, int tolerance = 6)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
            && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

class MonitorSource : public ::testing::Test
{
protected:
    void SetUp() override
    {
        display = std::make_unique<testsupport::MonitorDisplay>(QSize(3840, 1080));
        if (!display->error().isEmpty())
            GTEST_SKIP() << display->error().toStdString();
        ASSERT_TRUE(display->setMonitor("LEFT", Left));
        ASSERT_TRUE(display->setMonitor("RIGHT", Right));
        painter = std::make_unique<testsupport::Painter>();
        ASSERT_TRUE(painter->ok());
        painter->fill(painter->root(), Left, LeftColour);
        painter->fill(painter->root(), Right, RightColour);
    }

    void TearDown() override
    {
        painter.reset();
        display.reset();
    }

    static std::unique_ptr<capture::XcbScreenSource> open(
            const QString &monitor, bool showPointer = false)
    {
        capture::SourceOptions options;
        options.monitor = monitor;
        options.showPointer = showPointer;
        return capture::XcbScreenSource::open(nullptr, options);
    }

    std::unique_ptr<testsupport::MonitorDisplay> display;
    std::unique_ptr<testsupport::Painter> painter;
};

TEST_F(MonitorSource, PicturesShowOnlyTheChosenMonitor)
{
    for (const auto &[name, area, colour] :
            { std::tuple{ "LEFT", Left, LeftColour }, std::tuple{ "RIGHT", Right, RightColour } }) {
        SCOPED_TRACE(name);
        auto source = open(name);
        ASSERT_TRUE(source);
        EXPECT_FALSE(source->areaGone());
        EXPECT_EQ(source->size(), QSize(1920, 1080));
        EXPECT_EQ(source->area(), area);
        const auto view = source->grab();
        ASSERT_TRUE(view);
        ASSERT_EQ(view->size(), QSize(1920, 1080));
        for (const QPoint corner :
                { QPoint(0, 0), QPoint(1919, 0), QPoint(0, 1079), QPoint(1919, 1079) })
            EXPECT_TRUE(near(pixelAt(*view, corner), colour)) << corner.x() << "," << corner.y();
    }
    // Without a monitor: the whole screen as before.
    auto whole = open(QString());
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), QSize(3840, 1080));
}

TEST_F(MonitorSource, FramesArriveInBandsFromTheMonitorAndAreKeptWhileItIsStill)
{
    DesktopCapture desktop(open("RIGHT"));
    QByteArray jpeg;
    ASSERT_TRUE(desktop.captureJpeg(QSize(1024, 576), jpeg));
    EXPECT_EQ(desktop.lastWork(), DesktopCapture::Work::Whole);
    QImage picture = QImage::fromData(jpeg, "JPG");
    ASSERT_EQ(picture.size(), QSize(1024, 576));
    EXPECT_TRUE(near(picture.pixel(5, 5), RightColour));
    EXPECT_TRUE(near(picture.pixel(1018, 570), RightColour));

    // Drawing on the other monitor changes nothing of this one's picture.
    painter->fill(painter->root(), QRect(100, 100, 300, 300), 0xff00ff00);
    ASSERT_TRUE(desktop.captureJpeg(QSize(1024, 576), jpeg));
    EXPECT_EQ(desktop.lastWork(), DesktopCapture::Work::Kept);

    // Drawing on this one redoes its rows, at the monitor's own coordinates.
    painter->fill(painter->root(), QRect(1920 + 960, 540, 200, 20), 0xff00ff00);
    ASSERT_TRUE(desktop.captureJpeg(QSize(1024, 576), jpeg));
    EXPECT_EQ(desktop.lastWork(), DesktopCapture::Work::ChangedRows);
    picture = QImage::fromData(jpeg, "JPG");
    EXPECT_TRUE(near(picture.pixel(512 + 50, 288 + 5), 0xff00ff00, 40));
    EXPECT_TRUE(near(picture.pixel(400, 100), RightColour));
}

TEST_F(MonitorSource, ReportsRowsDrawnRelativeToTheMonitor)
{
    auto source = open("RIGHT");
    ASSERT_TRUE(source);
    ASSERT_TRUE(source->followsDrawing());
    const DesktopChanges first = source->takeChanges();
    EXPECT_EQ(first.bottom - first.top, 1080); // every row the first time
    ASSERT_TRUE(source->grab());

    painter->fill(painter->root(), QRect(1920 + 40, 700, 50, 30), 0xffffffff);
    DesktopChanges changes = source->takeChanges();
    EXPECT_TRUE(changes.known);
    EXPECT_EQ(changes.top, 700);
    EXPECT_EQ(changes.bottom, 730);
    const auto rows = source->grabRows(changes.top, changes.bottom);
    ASSERT_TRUE(rows);
    EXPECT_TRUE(near(pixelAt(*rows, QPoint(60, 710)), 0xffffffff));
    EXPECT_TRUE(near(pixelAt(*rows, QPoint(100, 710)), RightColour));

    painter->fill(painter->root(), QRect(40, 200, 50, 30), 0xffffffff);
    EXPECT_TRUE(source->takeChanges().none()) << "drawing on the other monitor";
}

TEST_F(MonitorSource, DrawsThePointerWhereItIsOnTheMonitor)
{
    painter->setCursor(painter->root(), painter->halvedCursor(false));
    const QPoint place(1920 + 300, 400);
    painter->movePointer(place);
    auto source = open("RIGHT", true);
    ASSERT_TRUE(source && source->showsPointer());
    source->takeChanges();
    const auto view = source->grab();
    ASSERT_TRUE(view);
    // The hot spot (3, 4) of the 12 x 12 shape on the place: black left, white right.
    const QPoint onPicture = place - Right.topLeft();
    EXPECT_TRUE(near(pixelAt(*view, onPicture + QPoint(-1, 2)), 0xff000000, 40));
    EXPECT_TRUE(near(pixelAt(*view, onPicture + QPoint(5, 2)), 0xffffffff, 40));
    EXPECT_TRUE(near(pixelAt(*view, onPicture + QPoint(40, 40)), RightColour));

    // On the other monitor the pointer is on none of this one's rows.
    painter->movePointer(QPoint(300, 400));
    const DesktopChanges moved = source->takeChanges();
    EXPECT_EQ(moved.top, onPicture.y() - 4);
    const auto after = source->grab();
    ASSERT_TRUE(after);
    EXPECT_TRUE(near(pixelAt(*after, onPicture + QPoint(-1, 2)), RightColour));
}

TEST_F(MonitorSource, FollowsTheMonitorsNewSizeAndTellsWhenItIsGone)
{
    auto source = open("RIGHT");
    ASSERT_TRUE(source);
    DesktopCapture desktop(open("RIGHT"));
    QByteArray jpeg;
    ASSERT_TRUE(desktop.captureJpeg(QSize(1024, 576), jpeg));

    // A change of resolution that keeps the monitor: the area follows, still its colour.
    ASSERT_TRUE(display->setMonitor("RIGHT", QRect(1920, 0, 1280, 720)));
    EXPECT_EQ(source->size(), QSize(1280, 720));
    EXPECT_FALSE(source->areaGone());
    const auto view = source->grab();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->size(), QSize(1280, 720));
    EXPECT_TRUE(near(pixelAt(*view, QPoint(1279, 719)), RightColour));
    // The capture scales the new area into the same frame size.
    ASSERT_TRUE(desktop.captureJpeg(QSize(1024, 576), jpeg));
    EXPECT_EQ(QImage::fromData(jpeg, "JPG").size(), QSize(1024, 576));

    // Unplugged: gone, not merely a failed grab; the other monitor's source goes on.
    auto left = open("LEFT");
    ASSERT_TRUE(display->removeMonitor("RIGHT"));
    EXPECT_TRUE(source->areaGone());
    EXPECT_FALSE(source->grab());
    EXPECT_FALSE(source->takeChanges().known);
    EXPECT_TRUE(source->size().isEmpty());
    EXPECT_FALSE(desktop.captureJpeg(QSize(1024, 576), jpeg));
    EXPECT_TRUE(desktop.source().areaGone());
    ASSERT_TRUE(left);
    EXPECT_FALSE(left->areaGone());
    EXPECT_TRUE(left->grab());

    // A monitor the server never had is gone from the start.
    auto unknown = open("HDMI-9");
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(unknown->areaGone());
    EXPECT_FALSE(unknown->grab());
}

// An X server without MIT-SHM, as a remote or forwarded display is: the pictures come through
// the socket, each grabbed whole (damage reports could break the connection's count of
// replies), and every one shows the screen as it is.
TEST(OtherXServer, WithoutSharedMemoryEveryPictureIsGrabbedWhole)
{
    testsupport::MonitorDisplay display(QSize(1280, 720), { "-extension", "MIT-SHM" });
    if (!display.error().isEmpty())
        GTEST_SKIP() << display.error().toStdString();
    testsupport::Painter painter;
    ASSERT_TRUE(painter.ok());

    auto source = capture::XcbScreenSource::open();
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->usesSharedMemory());
    EXPECT_FALSE(source->followsDrawing());
    DesktopCapture desktop(std::move(source));
    QByteArray jpeg;
    for (const QRgb colour : { LeftColour, RightColour, LeftColour }) {
        painter.fill(painter.root(), QRect(0, 0, 1280, 720), colour);
        ASSERT_TRUE(desktop.captureJpeg(QSize(1024, 576), jpeg));
        EXPECT_EQ(desktop.lastWork(), DesktopCapture::Work::Whole);
        const QImage picture = QImage::fromData(jpeg, "JPG");
        ASSERT_EQ(picture.size(), QSize(1024, 576));
        EXPECT_TRUE(near(picture.pixel(512, 300), colour));
    }
}

// 32 bits a pixel with 10-bit channels (depth 30): read as 8-bit ones the colours would be
// wrong, so the grab is left to Qt's, which converts them.
TEST(OtherXServer, ADeepColourScreenIsLeftToQtsGrab)
{
    testsupport::MonitorDisplay display(QSize(640, 480), {}, 30);
    if (!display.error().isEmpty())
        GTEST_SKIP() << display.error().toStdString();
    EXPECT_FALSE(capture::XcbScreenSource::open());
}

} // namespace
