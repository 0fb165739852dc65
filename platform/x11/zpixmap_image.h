#ifndef TANDEO_PLATFORM_X11_ZPIXMAP_IMAGE_H
#define TANDEO_PLATFORM_X11_ZPIXMAP_IMAGE_H

// Turns the pixel bytes of a ZPixmap image reply into a QImage. A plain function of bytes and
// the server's pixel layout, so it is tested with literals.

#include <QImage>
#include <QSize>

#include <cstdint>
#include <span>

namespace x11 {

// How the server lays out pixels of one depth (from the connection set-up and the visual).
struct PixelLayout
{
    int depth = 24;
    int bitsPerPixel = 32; // 16, 24 or 32 are understood
    int scanlinePad = 32; // each row is padded to a multiple of this many bits
    bool lsbFirst = true; // image byte order of the server
    std::uint32_t redMask = 0xff0000;
    std::uint32_t greenMask = 0x00ff00;
    std::uint32_t blueMask = 0x0000ff;
};

// Bytes one row of the given width takes, padding included.
std::size_t bytesPerLine(int width, const PixelLayout &layout);

// An opaque RGB32 image of the given size; a null image when the bytes are too few for it or
// the layout is not one of the understood ones. Any alpha the pixels carry is dropped.
QImage imageFromZPixmap(std::span<const std::uint8_t> data, QSize size, const PixelLayout &layout);

} // namespace x11

#endif // TANDEO_PLATFORM_X11_ZPIXMAP_IMAGE_H
