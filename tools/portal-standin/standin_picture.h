#ifndef TANDEO_STANDIN_PICTURE_H
#define TANDEO_STANDIN_PICTURE_H

// The picture the stand-in screen-cast portal shows on its PipeWire node, known to the tests
// that read it back (directly, or after the program has scaled it and sent it as JPEG).
//
// Only the portal's back-end is stood in: the D-Bus calls, the PipeWire stream and its buffers
// are real. The picture is four quadrants of solid colour; saturated primaries and white stay
// far apart after JPEG at quality 75 with 4:2:0 chroma, away from the quadrant edges. When the
// client asked for the pointer embedded in the picture (cursor mode 2), a black square with a
// white border is drawn at a fixed place in the top-left quadrant.
//
// Plain constants and constexpr functions only, so tests can include this header alone.

#include <cstdint>

namespace standin {

struct Rgb
{
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    friend constexpr bool operator==(Rgb, Rgb) = default;
};

constexpr Rgb TopLeftColour{ 255, 0, 0 }; // red
constexpr Rgb TopRightColour{ 0, 255, 0 }; // green
constexpr Rgb BottomLeftColour{ 0, 0, 255 }; // blue
constexpr Rgb BottomRightColour{ 255, 255, 255 }; // white

constexpr int DefaultWidth = 1280;
constexpr int DefaultHeight = 720;

// The embedded pointer: its top-left corner in picture pixels, whatever the picture's size
// (the smallest picture the stand-in accepts is 64 x 64, so it always fits the top-left
// quadrant), and its outer size with a white border around a black inside.
constexpr int CursorMarkX = 8;
constexpr int CursorMarkY = 8;
constexpr int CursorMarkSize = 16;
constexpr int CursorMarkBorder = 2;
constexpr Rgb CursorMarkInside{ 0, 0, 0 };
constexpr Rgb CursorMarkBorderColour{ 255, 255, 255 };

constexpr int MinimumSide = 64;

// The quadrant colour at pixel (x, y) of a width x height picture, pointer left out.
constexpr Rgb quadrantColourAt(int x, int y, int width, int height)
{
    const bool right = x >= width / 2;
    const bool bottom = y >= height / 2;
    if (bottom)
        return right ? BottomRightColour : BottomLeftColour;
    return right ? TopRightColour : TopLeftColour;
}

// The colour at pixel (x, y), with the pointer when it is embedded.
constexpr Rgb pictureColourAt(int x, int y, int width, int height, bool cursorEmbedded)
{
    if (cursorEmbedded) {
        const int dx = x - CursorMarkX;
        const int dy = y - CursorMarkY;
        if (dx >= 0 && dy >= 0 && dx < CursorMarkSize && dy < CursorMarkSize) {
            const bool border = dx < CursorMarkBorder || dy < CursorMarkBorder
                    || dx >= CursorMarkSize - CursorMarkBorder
                    || dy >= CursorMarkSize - CursorMarkBorder;
            return border ? CursorMarkBorderColour : CursorMarkInside;
        }
    }
    return quadrantColourAt(x, y, width, height);
}

} // namespace standin

#endif // TANDEO_STANDIN_PICTURE_H
