// The desktop capture on the real X server following its drawing reports: a still screen is
// not grabbed again, and drawing or moving windows anywhere on it shows at the next pull.
// The test draws with X requests of its own and waits for the server to have done them, so
// "the next pull" is exact.

#include "desktop_capture.h"
#include "test_pictures.h"
#include "x_painter.h"
#include "xcb_screen_source.h"

#include <QGuiApplication>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>
#include <xcb/xcb.h>

namespace {

using capture::DesktopCapture;

constexpr QSize Target{ 1280, 720 };

bool near(QRgb a, QRgb b, int tolerance = 16)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
            && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

using testsupport::Painter;

class DesktopDamage : public testing::Test
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != "xcb")
            GTEST_SKIP() << "needs an X display (Xvfb)";
        auto source = capture::XcbScreenSource::open(nullptr, options);
        ASSERT_TRUE(source);
        if (!source->followsDrawing())
            GTEST_SKIP() << "the X server does not report drawing";
        ASSERT_TRUE(painter.ok());
        backdrop = painter.backdrop(testpictures::photoLike({ 160, 120 }, 9));
        desktop = std::make_unique<DesktopCapture>(std::move(source));
    }

    // A pull as the frame slot makes it.
    QImage pull()
    {
        EXPECT_TRUE(desktop->captureFrame(Target, frame));
        return QImage::fromData(frame.jpeg).convertToFormat(QImage::Format_RGB32);
    }

    // Pulls until one finds nothing changed (other programs on the screen may still be
    // drawing when a test starts).
    void settle()
    {
        for (int i = 0; i < 50; ++i) {
            pull();
            if (desktop->lastWork() == DesktopCapture::Work::Kept)
                return;
        }
        GTEST_SKIP() << "the screen never kept still";
    }

    // The file a capture that keeps nothing makes of the screen as it is.
    QByteArray wholeCapture() const
    {
        DesktopCapture fresh(capture::XcbScreenSource::open(nullptr, options));
        QByteArray jpeg;
        EXPECT_TRUE(fresh.captureJpeg(Target, jpeg));
        EXPECT_EQ(fresh.lastWork(), DesktopCapture::Work::Whole);
        return jpeg;
    }

    static QPoint scaled(QPoint screen) { return QPoint(screen.x() * 2 / 3, screen.y() * 2 / 3); }

    capture::SourceOptions options;
    Painter painter;
    xcb_window_t backdrop = 0;
    std::unique_ptr<DesktopCapture> desktop;
    capture::Frame frame;
};

TEST_F(DesktopDamage, StillScreenGivesTheSameFileWithoutAGrab)
{
    settle();
    const std::uint64_t grabs = desktop->source().grabCount();
    const QByteArray still = frame.jpeg;
    for (int i = 0; i < 5; ++i) {
        pull();
        EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Kept);
        EXPECT_TRUE(frame.jpeg == still);
        EXPECT_EQ(frame.size, Target);
    }
    EXPECT_EQ(desktop->source().grabCount(), grabs);
    EXPECT_TRUE(still == wholeCapture());
}

// Another program holds the X server (a server grab, as screen lockers and some drawing
// programs make): a still screen is pulled from the kept file without waiting for the server,
// and drawing done once the server is let go shows at the next pull.
TEST_F(DesktopDamage, AStillScreenIsPulledWhileAnotherProgramHoldsTheServer)
{
    settle();
    const QByteArray still = frame.jpeg;
    xcb_connection_t *holder = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(holder));
    xcb_grab_server(holder);
    std::free(xcb_get_input_focus_reply(holder, xcb_get_input_focus(holder), nullptr));
    std::atomic<bool> letGo{ false };
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        letGo = true;
        xcb_ungrab_server(holder);
        xcb_flush(holder);
    });
    pull();
    const bool pulledWhileHeld = !letGo;
    release.join();
    xcb_disconnect(holder);
    EXPECT_TRUE(pulledWhileHeld) << "the pull waited for the server";
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Kept);
    EXPECT_TRUE(frame.jpeg == still);

    painter.fill(backdrop, QRect(0, 0, 30, 30), qRgb(0, 90, 250));
    EXPECT_TRUE(near(pull().pixel(scaled({ 15, 15 })), qRgb(0, 90, 250)));
}

TEST_F(DesktopDamage, DrawingInACornerShowsAtTheNextPull)
{
    // A window inside the backdrop window: drawing two levels below the root.
    const QRect corner(1840, 1020, 80, 60);
    const xcb_window_t clock = painter.solid(backdrop, corner, qRgb(20, 20, 20));
    settle();
    const QRgb elsewhere = pull().pixel(scaled({ 400, 300 }));
    const std::uint64_t grabs = desktop->source().grabCount();

    painter.fill(clock, QRect(10, 10, 60, 40), qRgb(240, 200, 0));
    const QImage picture = pull();
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::ChangedRows);
    EXPECT_EQ(desktop->source().grabCount(), grabs + 1);
    EXPECT_TRUE(near(picture.pixel(scaled(corner.center())), qRgb(240, 200, 0)));
    EXPECT_TRUE(near(picture.pixel(scaled({ 400, 300 })), elsewhere, 4));
    EXPECT_TRUE(frame.jpeg == wholeCapture());

    // Drawing into a child of the root, top left.
    painter.fill(backdrop, QRect(0, 0, 30, 30), qRgb(0, 90, 250));
    const QImage next = pull();
    EXPECT_TRUE(near(next.pixel(scaled({ 15, 15 })), qRgb(0, 90, 250)));
    EXPECT_TRUE(frame.jpeg == wholeCapture());
}

// The last file is still held elsewhere (a picture leaving on the sending thread, the viewer's
// copy) while the next is written into the same frame: the holder's bytes never change, on the
// changed-rows path and on the whole-picture path alike.
TEST_F(DesktopDamage, AFileHeldElsewhereStaysAsItWasWhileTheNextIsWritten)
{
    const QRect corner(1840, 1020, 80, 60);
    const xcb_window_t clock = painter.solid(backdrop, corner, qRgb(20, 20, 20));
    settle();
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const QByteArray held = frame.jpeg; // shares the frame's buffer
        const QByteArray bytes(held.constData(), held.size());
        if (i % 2 == 0)
            painter.fill(clock, QRect(10, 10, 60, 40), qRgb(40 * i, 200, 0));
        else
            painter.fill(backdrop, QRect(0, 0, 1920, 1080), qRgb(30 * i, 60, 90));
        const QImage picture = pull();
        EXPECT_EQ(desktop->lastWork(),
                i % 2 == 0 ? DesktopCapture::Work::ChangedRows : DesktopCapture::Work::Whole);
        EXPECT_TRUE(held == bytes) << "the held file changed under its holder";
        EXPECT_FALSE(picture.isNull());
        EXPECT_FALSE(frame.jpeg == held);
    }
}

TEST_F(DesktopDamage, AWindowMovedOverTheScreenShowsAtTheNextPull)
{
    const QRgb red = qRgb(230, 30, 30);
    const xcb_window_t window = painter.solid(painter.root(), QRect(200, 150, 300, 200), red);
    settle();
    const QImage before = pull();
    EXPECT_TRUE(near(before.pixel(scaled({ 350, 250 })), red));
    const QRgb backdropThere = before.pixel(scaled({ 1500, 850 }));

    painter.move(window, { 1400, 750 });
    const QImage after = pull();
    EXPECT_NE(desktop->lastWork(), DesktopCapture::Work::Kept);
    EXPECT_TRUE(near(after.pixel(scaled({ 1550, 850 })), red));
    EXPECT_FALSE(near(after.pixel(scaled({ 350, 250 })), red));
    EXPECT_FALSE(near(backdropThere, red));
    EXPECT_TRUE(frame.jpeg == wholeCapture());

    // And still again.
    const std::uint64_t grabs = desktop->source().grabCount();
    pull();
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Kept);
    EXPECT_EQ(desktop->source().grabCount(), grabs);
}

TEST_F(DesktopDamage, TheFirstPullAndANewSizeGrabTheWholeScreen)
{
    pull();
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Whole);
    settle();
    EXPECT_TRUE(desktop->captureFrame({ 1024, 576 }, frame));
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Whole);
    EXPECT_EQ(QImage::fromData(frame.jpeg).size(), QSize(1024, 576));
    EXPECT_TRUE(desktop->captureFrame({ 1024, 576 }, frame));
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Kept);
}

// The same with the pointer drawn in: a window of flat grey whose pointer shape is known.
class DesktopPointer : public DesktopDamage
{
protected:
    void SetUp() override
    {
        options.showPointer = true;
        DesktopDamage::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const auto *xcb = dynamic_cast<capture::XcbScreenSource *>(&desktop->source());
        ASSERT_TRUE(xcb && xcb->showsPointer()) << "the X server has no XFIXES";
        grey = painter.solid(painter.root(), Grey, qRgb(128, 128, 128));
        painter.setCursor(grey, painter.halvedCursor(false));
    }

    // Where a pointer at `place` shows its black and its white half in a frame.
    static QPoint blackAt(QPoint place) { return scaled(place + QPoint(-1, 2)); }
    static QPoint whiteAt(QPoint place) { return scaled(place + QPoint(5, 2)); }

    static constexpr QRect Grey{ 600, 300, 600, 400 };
    xcb_window_t grey = 0;
};

TEST_F(DesktopPointer, GrabsShowThePointerAtItsHotSpotAndNowhereElse)
{
    const QPoint place(700, 500);
    painter.movePointer(place);
    auto plain = capture::XcbScreenSource::open();
    auto pointed = capture::XcbScreenSource::open(nullptr, options);
    ASSERT_TRUE(plain && pointed);
    pointed->takeChanges();
    const std::optional<capture::PixelView> with = pointed->grab();
    const std::optional<capture::PixelView> without = plain->grab();
    ASSERT_TRUE(with && without);
    ASSERT_EQ(with->size(), without->size());

    // Every pixel that differs lies under the 12 x 12 shape, its hot spot (3, 4) on `place`.
    const QRect shape(place - QPoint(3, 4), QSize(12, 12));
    QRect differ;
    for (int y = 0; y < with->height; ++y) {
        const auto *a = reinterpret_cast<const QRgb *>(with->data + y * with->strideBytes);
        const auto *b = reinterpret_cast<const QRgb *>(without->data + y * without->strideBytes);
        for (int x = 0; x < with->width; ++x)
            if ((a[x] ^ b[x]) & 0xffffffu)
                differ |= QRect(x, y, 1, 1);
    }
    EXPECT_EQ(differ, shape);
    const auto pixel = [](const capture::PixelView &view, QPoint at) {
        return reinterpret_cast<const QRgb *>(view.data + at.y() * view.strideBytes)[at.x()]
                & 0xffffffu;
    };
    EXPECT_EQ(pixel(*with, shape.topLeft()), 0x000000u);
    EXPECT_EQ(pixel(*with, shape.topLeft() + QPoint(5, 11)), 0x000000u);
    EXPECT_EQ(pixel(*with, shape.topLeft() + QPoint(6, 0)), 0xffffffu);
    EXPECT_EQ(pixel(*with, shape.bottomRight()), 0xffffffu);
    EXPECT_EQ(pixel(*without, place), 0x808080u); // no pointer without the option
}

TEST_F(DesktopPointer, AMovedPointerShowsAtTheNextPullAndAStillOneKeepsTheFile)
{
    const QPoint first(700, 400), second(1000, 600);
    painter.movePointer(first);
    settle();
    QImage picture = pull();
    EXPECT_TRUE(near(picture.pixel(blackAt(first)), qRgb(0, 0, 0), 40));
    EXPECT_TRUE(near(picture.pixel(whiteAt(first)), qRgb(255, 255, 255), 40));

    // Nothing drawn on the screen: only the pointer moved.
    const std::uint64_t grabs = desktop->source().grabCount();
    painter.movePointer(second);
    picture = pull();
    EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::ChangedRows);
    EXPECT_EQ(desktop->source().grabCount(), grabs + 1);
    EXPECT_TRUE(near(picture.pixel(blackAt(second)), qRgb(0, 0, 0), 40));
    EXPECT_TRUE(near(picture.pixel(whiteAt(second)), qRgb(255, 255, 255), 40));
    EXPECT_TRUE(near(picture.pixel(blackAt(first)), qRgb(128, 128, 128), 4));
    EXPECT_TRUE(near(picture.pixel(whiteAt(first)), qRgb(128, 128, 128), 4));
    EXPECT_TRUE(frame.jpeg == wholeCapture());

    // Still screen, still pointer: the kept file, no grab.
    const QByteArray moved = frame.jpeg;
    for (int i = 0; i < 3; ++i) {
        pull();
        EXPECT_EQ(desktop->lastWork(), DesktopCapture::Work::Kept);
        EXPECT_TRUE(frame.jpeg == moved);
    }
    EXPECT_EQ(desktop->source().grabCount(), grabs + 1);
}

TEST_F(DesktopPointer, AShapeChangedInPlaceShowsAtTheNextPull)
{
    const QPoint place(900, 500);
    painter.movePointer(place);
    settle();
    QImage picture = pull();
    EXPECT_TRUE(near(picture.pixel(blackAt(place)), qRgb(0, 0, 0), 40));

    painter.setCursor(grey, painter.halvedCursor(true));
    picture = pull();
    EXPECT_NE(desktop->lastWork(), DesktopCapture::Work::Kept);
    EXPECT_TRUE(near(picture.pixel(blackAt(place)), qRgb(255, 255, 255), 40));
    EXPECT_TRUE(near(picture.pixel(whiteAt(place)), qRgb(0, 0, 0), 40));
    EXPECT_TRUE(frame.jpeg == wholeCapture());
}

} // namespace
