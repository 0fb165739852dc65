#ifndef TANDEO_TESTS_X_PAINTER_H
#define TANDEO_TESTS_X_PAINTER_H

// Windows drawn by the X server alone (background pixmaps and pixels), the pointer's shape over
// them and its place, on a connection of the test's own. Every call returns once the server
// has done it, so a grab after it sees it. The windows and shapes go with the painter.

#include "server_pixels.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRgb>

#include <vector>
#include <xcb/xcb.h>

namespace testsupport {

class Painter
{
public:
    Painter();
    ~Painter();
    Painter(const Painter &) = delete;
    Painter &operator=(const Painter &) = delete;

    bool ok() const { return !xcb_connection_has_error(m_connection); }
    xcb_window_t root() const { return m_screen->root; }

    // A window under everything covering the screen, tiled with the picture.
    xcb_window_t backdrop(const QImage &tile);
    // A window of one colour (the server fills it whenever it shows); override-redirect, so
    // no window manager moves it.
    xcb_window_t solid(xcb_window_t parent, const QRect &place, QRgb colour);

    // The colour as a pixel of the root window's visual (8 or 10 bits a channel).
    std::uint32_t pixelOf(QRgb colour) const;

    // Draws into the window with a graphics context, as programs do.
    void fill(xcb_window_t window, const QRect &area, QRgb colour);
    void move(xcb_window_t window, QPoint to);

    // A pointer shape of 12 x 12 with its hot spot at (3, 4): the left half black, the right
    // half white (or the other way round when inverted).
    xcb_cursor_t halvedCursor(bool inverted);
    // The shape the pointer takes over the window.
    void setCursor(xcb_window_t window, xcb_cursor_t cursor);
    // Moves the pointer to a place on the screen as a mouse does (the server ends a warp the
    // way it ends a motion: the pointer there, the shape of the window under it).
    void movePointer(QPoint to);

    // Returns once the server has done every request sent before.
    void sync();

private:
    xcb_window_t create(
            xcb_window_t parent, const QRect &place, std::uint32_t mask, std::uint32_t background);

    xcb_connection_t *m_connection = nullptr;
    xcb_screen_t *m_screen = nullptr;
    x11::PixelLayout m_rootPixels; // its channel masks; all 0 when not found
    xcb_pixmap_t m_tile = 0;
    std::vector<xcb_window_t> m_windows;
    std::vector<xcb_cursor_t> m_cursors;
};

} // namespace testsupport

#endif // TANDEO_TESTS_X_PAINTER_H
