#include "pointer_overlay.h"

#include <algorithm>

namespace capture {

namespace {

// value / 255, rounded to the nearest, for value up to 255 * 255.
constexpr std::uint32_t divideBy255(std::uint32_t value)
{
    value += 128;
    return (value + (value >> 8)) >> 8;
}

} // namespace

void blendPointer(std::uint8_t *picture, QSize pictureSize, int strideBytes,
        const PointerImage &pointer, int top, int bottom)
{
    const QRect area = pointer.area() & QRect(0, top, pictureSize.width(), bottom - top)
            & QRect(QPoint(0, 0), pictureSize);
    if (area.isEmpty() || !picture
            || pointer.pixels.size()
                    < std::size_t(pointer.size.width()) * std::size_t(pointer.size.height()))
        return;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto *line = reinterpret_cast<std::uint32_t *>(picture + std::size_t(y) * strideBytes);
        const std::uint32_t *source = pointer.pixels.data()
                + std::size_t(y - pointer.topLeft.y()) * std::size_t(pointer.size.width())
                + (area.left() - pointer.topLeft.x());
        for (int x = area.left(); x <= area.right(); ++x, ++source) {
            const std::uint32_t over = *source;
            const std::uint32_t alpha = over >> 24;
            if (alpha == 0)
                continue;
            const std::uint32_t under = line[x];
            const std::uint32_t keep = 255 - alpha;
            std::uint32_t blended = under & 0xff000000u; // the pad byte
            for (int shift = 0; shift < 24; shift += 8) {
                // A colour above its alpha (not premultiplied) is clamped rather than wrapped.
                const std::uint32_t channel =
                        ((over >> shift) & 0xffu) + divideBy255(((under >> shift) & 0xffu) * keep);
                blended |= std::min(channel, 255u) << shift;
            }
            line[x] = blended;
        }
    }
}

} // namespace capture
