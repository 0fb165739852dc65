#include "zpixmap_image.h"

#include <bit>
#include <cstring>

namespace x11 {

namespace {

// Scales a channel taken out with its mask to 8 bits.
int channel(std::uint32_t pixel, std::uint32_t mask)
{
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const std::uint32_t value = (pixel & mask) >> shift;
    if (bits >= 8)
        return int(value >> (bits - 8));
    const std::uint32_t max = (1u << bits) - 1;
    return int((value * 255 + max / 2) / max);
}

std::uint32_t readPixel(const std::uint8_t *p, int bytes, bool lsbFirst)
{
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        const int index = lsbFirst ? bytes - 1 - i : i;
        value = (value << 8) | p[index];
    }
    return value;
}

bool isCommonLayout(const PixelLayout &layout)
{
    return std::endian::native == std::endian::little && layout.bitsPerPixel == 32
            && layout.lsbFirst && layout.redMask == 0xff0000 && layout.greenMask == 0x00ff00
            && layout.blueMask == 0x0000ff;
}

} // namespace

std::size_t bytesPerLine(int width, const PixelLayout &layout)
{
    const std::size_t pad = layout.scanlinePad > 0 ? std::size_t(layout.scanlinePad) : 8;
    const std::size_t bits = std::size_t(width) * std::size_t(layout.bitsPerPixel);
    return (bits + pad - 1) / pad * pad / 8;
}

QImage imageFromZPixmap(std::span<const std::uint8_t> data, QSize size, const PixelLayout &layout)
{
    if (size.isEmpty())
        return QImage();
    if (layout.bitsPerPixel != 16 && layout.bitsPerPixel != 24 && layout.bitsPerPixel != 32)
        return QImage();
    const std::size_t stride = bytesPerLine(size.width(), layout);
    if (data.size() < stride * std::size_t(size.height()))
        return QImage();

    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    const int bytes = layout.bitsPerPixel / 8;
    for (int y = 0; y < size.height(); ++y) {
        const std::uint8_t *row = data.data() + stride * std::size_t(y);
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
        if (isCommonLayout(layout)) {
            std::memcpy(out, row, std::size_t(size.width()) * 4);
            for (int x = 0; x < size.width(); ++x)
                out[x] |= 0xff000000u;
            continue;
        }
        for (int x = 0; x < size.width(); ++x) {
            const std::uint32_t pixel = readPixel(row + x * bytes, bytes, layout.lsbFirst);
            out[x] = qRgb(channel(pixel, layout.redMask), channel(pixel, layout.greenMask),
                    channel(pixel, layout.blueMask));
        }
    }
    return image;
}

} // namespace x11
