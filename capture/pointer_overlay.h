#ifndef TANDEO_CAPTURE_POINTER_OVERLAY_H
#define TANDEO_CAPTURE_POINTER_OVERLAY_H

// The mouse pointer drawn over a desktop picture. The X server leaves the pointer out of the
// pixels it hands out, so the desktop source fetches the pointer's picture and place and draws
// it over its own copy with this function. No X connection here.

#include <QPoint>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <vector>

namespace capture {

struct PointerImage
{
    // Where the pointer picture's top-left pixel lies on the desktop: the pointer's place
    // minus its hot spot (the pixel that points).
    QPoint topLeft;
    QSize size;
    // size.width() * size.height() pixels, row by row, as 0xAARRGGBB with the colours already
    // multiplied by alpha.
    std::vector<std::uint32_t> pixels;

    QRect area() const { return QRect(topLeft, size); }
};

// Draws the pointer over the rows [top, bottom) of a picture of the desktop from its top-left
// corner, 32 bits a pixel (blue, green, red, pad bytes). What falls outside the picture or
// outside those rows is left out, so a picture that arrives in parts gets each part drawn
// once. Source-over: every colour becomes pointer + picture * (255 - alpha) / 255, rounded;
// the pad byte is kept. A pointer whose pixels do not fill its size draws nothing.
void blendPointer(std::uint8_t *picture, QSize pictureSize, int strideBytes,
        const PointerImage &pointer, int top, int bottom);

} // namespace capture

#endif // TANDEO_CAPTURE_POINTER_OVERLAY_H
