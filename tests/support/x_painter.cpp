#include "x_painter.h"

#include <cstdlib>

namespace testsupport {

namespace {

// Puts an 8-bit channel into the bits of a mask, scaled to their number (8 or 10).
std::uint32_t channel(int value, std::uint32_t mask)
{
    if (!mask)
        return 0;
    const int shift = __builtin_ctz(mask);
    const std::uint32_t most = mask >> shift;
    return ((std::uint32_t(value) * most + 127) / 255) << shift;
}

} // namespace

Painter::Painter()
{
    m_connection = xcb_connect(nullptr, nullptr);
    m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    m_rootPixels = x11::serverPixelLayout(
            xcb_get_setup(m_connection), m_screen->root_depth, m_screen->root_visual);
}

std::uint32_t Painter::pixelOf(QRgb colour) const
{
    return channel(qRed(colour), m_rootPixels.redMask)
            | channel(qGreen(colour), m_rootPixels.greenMask)
            | channel(qBlue(colour), m_rootPixels.blueMask);
}

Painter::~Painter()
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

xcb_window_t Painter::backdrop(const QImage &picture)
{
    const QImage tile = picture.convertToFormat(QImage::Format_RGB32);
    m_tile = xcb_generate_id(m_connection);
    xcb_create_pixmap(m_connection, m_screen->root_depth, m_tile, m_screen->root,
            std::uint16_t(tile.width()), std::uint16_t(tile.height()));
    const xcb_gcontext_t gc = xcb_generate_id(m_connection);
    xcb_create_gc(m_connection, gc, m_tile, 0, nullptr);
    xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_tile, gc, std::uint16_t(tile.width()),
            std::uint16_t(tile.height()), 0, 0, 0, m_screen->root_depth,
            std::uint32_t(tile.sizeInBytes()), tile.constBits());
    xcb_free_gc(m_connection, gc);
    const xcb_window_t window = create(m_screen->root,
            QRect(0, 0, m_screen->width_in_pixels, m_screen->height_in_pixels), XCB_CW_BACK_PIXMAP,
            m_tile);
    const std::uint32_t below[] = { XCB_STACK_MODE_BELOW };
    xcb_configure_window(m_connection, window, XCB_CONFIG_WINDOW_STACK_MODE, below);
    sync();
    return window;
}

xcb_window_t Painter::solid(xcb_window_t parent, const QRect &place, QRgb colour)
{
    return create(parent, place, XCB_CW_BACK_PIXEL, pixelOf(colour));
}

void Painter::fill(xcb_window_t window, const QRect &area, QRgb colour)
{
    const xcb_gcontext_t gc = xcb_generate_id(m_connection);
    const std::uint32_t values[] = { pixelOf(colour) };
    xcb_create_gc(m_connection, gc, window, XCB_GC_FOREGROUND, values);
    const xcb_rectangle_t rectangle{ std::int16_t(area.x()), std::int16_t(area.y()),
        std::uint16_t(area.width()), std::uint16_t(area.height()) };
    xcb_poly_fill_rectangle(m_connection, window, gc, 1, &rectangle);
    xcb_free_gc(m_connection, gc);
    sync();
}

void Painter::move(xcb_window_t window, QPoint to)
{
    const std::uint32_t values[] = { std::uint32_t(to.x()), std::uint32_t(to.y()) };
    xcb_configure_window(m_connection, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    sync();
}

xcb_cursor_t Painter::halvedCursor(bool inverted)
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

void Painter::setCursor(xcb_window_t window, xcb_cursor_t cursor)
{
    xcb_change_window_attributes(m_connection, window, XCB_CW_CURSOR, &cursor);
    sync();
}

void Painter::movePointer(QPoint to)
{
    xcb_warp_pointer(m_connection, XCB_NONE, m_screen->root, 0, 0, 0, 0, std::int16_t(to.x()),
            std::int16_t(to.y()));
    sync();
}

void Painter::sync()
{
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

xcb_window_t Painter::create(
        xcb_window_t parent, const QRect &place, std::uint32_t mask, std::uint32_t background)
{
    const xcb_window_t window = xcb_generate_id(m_connection);
    const std::uint32_t values[] = { background, 1 }; // background, override-redirect
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, parent, std::int16_t(place.x()),
            std::int16_t(place.y()), std::uint16_t(place.width()), std::uint16_t(place.height()), 0,
            XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual, mask | XCB_CW_OVERRIDE_REDIRECT,
            values);
    xcb_map_window(m_connection, window);
    sync();
    m_windows.push_back(window);
    return window;
}

} // namespace testsupport
