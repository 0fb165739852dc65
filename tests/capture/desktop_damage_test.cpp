// The desktop capture on the real X server following its drawing reports: a still screen is
// not grabbed again, and drawing or moving windows anywhere on it shows at the next pull.
// The test draws with X requests of its own and waits for the server to have done them, so
// "the next pull" is exact.

#include "desktop_capture.h"
#include "test_pictures.h"
#include "xcb_screen_source.h"

#include <QGuiApplication>

#include <cstdlib>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

namespace {

using capture::DesktopCapture;

constexpr QSize Target{ 1280, 720 };

bool near(QRgb a, QRgb b, int tolerance = 16)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
            && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

// Windows drawn by the server alone (background pixmaps and pixels), on a connection of the
// test's own.
class Painter
{
public:
    Painter()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    }
    ~Painter()
    {
        for (const xcb_window_t window : m_windows)
            xcb_destroy_window(m_connection, window);
        if (m_tile)
            xcb_free_pixmap(m_connection, m_tile);
        for (const xcb_cursor_t cursor : m_cursors)
            xcb_free_cursor(m_connection, cursor);
        sync();
        xcb_disconnect(m_connection);
    }
    bool ok() const { return !xcb_connection_has_error(m_connection); }

    // A window under everything covering the screen, tiled with a photo.
    xcb_window_t backdrop()
    {
        const QImage tile =
                testpictures::photoLike({ 160, 120 }, 9).convertToFormat(QImage::Format_RGB32);
        m_tile = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, m_screen->root_depth, m_tile, m_screen->root,
                std::uint16_t(tile.width()), std::uint16_t(tile.height()));
        const xcb_gcontext_t gc = xcb_generate_id(m_connection);
        xcb_create_gc(m_connection, gc, m_tile, 0, nullptr);
        xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_tile, gc,
                std::uint16_t(tile.width()), std::uint16_t(tile.height()), 0, 0, 0,
                m_screen->root_depth, std::uint32_t(tile.sizeInBytes()), tile.constBits());
        xcb_free_gc(m_connection, gc);
        const xcb_window_t window = create(m_screen->root,
                QRect(0, 0, m_screen->width_in_pixels, m_screen->height_in_pixels),
                XCB_CW_BACK_PIXMAP, m_tile);
        const std::uint32_t below[] = { XCB_STACK_MODE_BELOW };
        xcb_configure_window(m_connection, window, XCB_CONFIG_WINDOW_STACK_MODE, below);
        sync();
        return window;
    }

    // A window of one colour (the server fills it whenever it shows).
    xcb_window_t solid(xcb_window_t parent, const QRect &place, QRgb colour)
    {
        return create(parent, place, XCB_CW_BACK_PIXEL, colour & 0xffffffu);
    }

    xcb_window_t root() const { return m_screen->root; }

    // A pointer shape of 12 x 12 with its hot spot at (3, 4): the left half black, the right
    // half white (or the other way round when inverted).
    xcb_cursor_t halvedCursor(bool inverted)
    {
        const auto bitmap = [&](bool leftHalfSet, bool rightHalfSet) {
            const xcb_pixmap_t pixmap = xcb_generate_id(m_connection);
            xcb_create_pixmap(m_connection, 1, pixmap, m_screen->root, 12, 12);
            const xcb_gcontext_t gc = xcb_generate_id(m_connection);
            xcb_create_gc(m_connection, gc, pixmap, 0, nullptr);
            for (const int half : { 0, 1 }) {
                const std::uint32_t bit = (half ? rightHalfSet : leftHalfSet) ? 1 : 0;
                xcb_change_gc(m_connection, gc, XCB_GC_FOREGROUND, &bit);
                const xcb_rectangle_t area{ std::int16_t(half * 6), 0, 6, 12 };
                xcb_poly_fill_rectangle(m_connection, pixmap, gc, 1, &area);
            }
            xcb_free_gc(m_connection, gc);
            return pixmap;
        };
        // Source bits set show the foreground (black), clear ones the background (white).
        const xcb_pixmap_t shape = bitmap(!inverted, inverted);
        const xcb_pixmap_t mask = bitmap(true, true);
        const xcb_cursor_t cursor = xcb_generate_id(m_connection);
        xcb_create_cursor(m_connection, cursor, shape, mask, 0, 0, 0, 0xffff, 0xffff, 0xffff, 3, 4);
        xcb_free_pixmap(m_connection, shape);
        xcb_free_pixmap(m_connection, mask);
        m_cursors.push_back(cursor);
        return cursor;
    }

    void setCursor(xcb_window_t window, xcb_cursor_t cursor)
    {
        xcb_change_window_attributes(m_connection, window, XCB_CW_CURSOR, &cursor);
        sync();
    }

    // Moves the pointer as a user's mouse would (XTEST's motion and a warp end the same way
    // in the server: the pointer there, the shape of the window under it).
    void movePointer(QPoint to)
    {
        xcb_warp_pointer(m_connection, XCB_NONE, m_screen->root, 0, 0, 0, 0, std::int16_t(to.x()),
                std::int16_t(to.y()));
        sync();
    }

    // Draws into the window with a graphics context, as programs do.
    void fill(xcb_window_t window, const QRect &area, QRgb colour)
    {
        const xcb_gcontext_t gc = xcb_generate_id(m_connection);
        const std::uint32_t values[] = { colour & 0xffffffu };
        xcb_create_gc(m_connection, gc, window, XCB_GC_FOREGROUND, values);
        const xcb_rectangle_t rectangle{ std::int16_t(area.x()), std::int16_t(area.y()),
            std::uint16_t(area.width()), std::uint16_t(area.height()) };
        xcb_poly_fill_rectangle(m_connection, window, gc, 1, &rectangle);
        xcb_free_gc(m_connection, gc);
        sync();
    }

    void move(xcb_window_t window, QPoint to)
    {
        const std::uint32_t values[] = { std::uint32_t(to.x()), std::uint32_t(to.y()) };
        xcb_configure_window(
                m_connection, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        sync();
    }

    // Returns once the server has done every request sent before.
    void sync()
    {
        std::free(xcb_get_input_focus_reply(
                m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

private:
    xcb_window_t create(
            xcb_window_t parent, const QRect &place, std::uint32_t mask, std::uint32_t background)
    {
        const xcb_window_t window = xcb_generate_id(m_connection);
        const std::uint32_t values[] = { background, 1 }; // background, override-redirect
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, parent,
                std::int16_t(place.x()), std::int16_t(place.y()), std::uint16_t(place.width()),
                std::uint16_t(place.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                m_screen->root_visual, mask | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(m_connection, window);
        sync();
        m_windows.push_back(window);
        return window;
    }

    xcb_connection_t *m_connection = nullptr;
    xcb_screen_t *m_screen = nullptr;
    xcb_pixmap_t m_tile = 0;
    std::vector<xcb_window_t> m_windows;
    std::vector<xcb_cursor_t> m_cursors;
};

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
        backdrop = painter.backdrop();
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
