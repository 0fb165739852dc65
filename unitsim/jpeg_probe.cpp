#include "jpeg_probe.h"

#include <memory>
#include <turbojpeg.h>
#include <vector>

namespace unitsim {

namespace {

struct TjDeleter
{
    void operator()(void *handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

} // namespace

JpegProbe probeJpeg(std::span<const std::uint8_t> jpeg)
{
    JpegProbe probe;
    if (jpeg.empty()) {
        probe.error = "no bytes";
        return probe;
    }
    TjHandle handle(tjInitDecompress());
    if (!handle) {
        probe.error = "decoder not available";
        return probe;
    }
    // The decoder takes a non-const pointer in this API version but does not write to it.
    auto *data = const_cast<unsigned char *>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle.get(), data, size, &width, &height, &subsampling, &colorspace)
            != 0) {
        probe.error = tjGetErrorStr2(handle.get());
        return probe;
    }
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        probe.error = "implausible size";
        return probe;
    }
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
    // Warnings (such as extra bytes after the picture) count as failures: the picture the
    // client sends is a complete file and nothing else.
    if (tjDecompress2(handle.get(), data, size, pixels.data(), width, 0, height, TJPF_RGB,
                TJFLAG_STOPONWARNING)
            != 0) {
        probe.error = tjGetErrorStr2(handle.get());
        return probe;
    }
    probe.decodes = true;
    probe.width = width;
    probe.height = height;
    return probe;
}

} // namespace unitsim
