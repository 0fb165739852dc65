#include "test_pictures.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <turbojpeg.h>

namespace zelrtptest {

std::vector<std::uint8_t> makeI420(int width, int height, int grain, unsigned seed)
{
    const std::size_t lumaBytes = std::size_t(width) * height;
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    std::vector<std::uint8_t> frame(lumaBytes + 2 * std::size_t(chromaWidth) * chromaHeight);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-grain, grain);
    const auto clampByte = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int value = (x * 255 / std::max(1, width - 1) + y * 128 / std::max(1, height - 1)) / 2;
            // Light boxes with hard edges and lines of dark glyph-like dashes, like windows
            // with text on a desktop.
            if ((x / 192 + y / 128) % 3 == 0 && x % 192 > 8 && y % 128 > 8) {
                const bool glyph = y % 128 > 16 && y % 24 < 7 && x % 9 < 5 && (x / 45 + y / 24) % 3;
                value = glyph ? 40 : 225;
            }
            frame[std::size_t(y) * width + x] = clampByte(value + (grain ? noise(random) : 0));
        }
    }
    std::uint8_t *u = frame.data() + lumaBytes;
    std::uint8_t *v = u + std::size_t(chromaWidth) * chromaHeight;
    for (int y = 0; y < chromaHeight; ++y) {
        for (int x = 0; x < chromaWidth; ++x) {
            const std::size_t i = std::size_t(y) * chromaWidth + x;
            u[i] = clampByte(128 + (x - chromaWidth / 2) / 8 + (grain ? noise(random) / 2 : 0));
            v[i] = clampByte(128 + (y - chromaHeight / 2) / 6 + (grain ? noise(random) / 2 : 0));
        }
    }
    return frame;
}

std::vector<std::uint8_t> makeJpeg(int width, int height, int grain, int quality)
{
    const std::vector<std::uint8_t> frame = makeI420(width, height, grain);
    tjhandle handle = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    const int rc = tjCompressFromYUV(
            handle, frame.data(), width, 1, height, TJSAMP_420, &out, &size, quality, 0);
    tjDestroy(handle);
    if (rc != 0)
        throw std::runtime_error("test picture not encoded");
    std::vector<std::uint8_t> jpeg(out, out + size);
    tjFree(out);
    return jpeg;
}

std::vector<std::uint8_t> makeJpegNear(int width, int height, std::size_t targetBytes)
{
    int low = 0;
    int high = 128;
    std::vector<std::uint8_t> best = makeJpeg(width, height, 0);
    for (int step = 0; step < 8; ++step) {
        const int grain = (low + high) / 2;
        std::vector<std::uint8_t> jpeg = makeJpeg(width, height, grain);
        const auto distance = [&](const std::vector<std::uint8_t> &j) {
            return j.size() > targetBytes ? j.size() - targetBytes : targetBytes - j.size();
        };
        if (distance(jpeg) < distance(best))
            best = jpeg;
        if (jpeg.size() < targetBytes)
            low = grain + 1;
        else
            high = grain - 1;
        if (low > high)
            break;
    }
    return best;
}

std::optional<DecodedJpeg> decodeJpeg(const std::vector<std::uint8_t> &jpeg)
{
    tjhandle handle = tjInitDecompress();
    DecodedJpeg info;
    int colorspace = 0;
    int rc = tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &info.width, &info.height,
            &info.subsampling, &colorspace);
    if (rc == 0) {
        std::vector<std::uint8_t> pixels(std::size_t(info.width) * info.height * 3);
        rc = tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), info.width, 0,
                info.height, TJPF_RGB, TJFLAG_STOPONWARNING);
    }
    tjDestroy(handle);
    if (rc != 0)
        return std::nullopt;
    return info;
}

} // namespace zelrtptest
