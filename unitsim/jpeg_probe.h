#ifndef TANDEO_UNITSIM_JPEG_PROBE_H
#define TANDEO_UNITSIM_JPEG_PROBE_H

// Whether a byte string is a JPEG picture the unit could show: it is decoded in full with
// libjpeg-turbo. Callable from any thread; each call has its own decoder.

#include <cstdint>
#include <span>
#include <string>

namespace unitsim {

struct JpegProbe
{
    bool decodes = false;
    int width = 0;
    int height = 0;
    std::string error; // the decoder's text when it does not decode
};

JpegProbe probeJpeg(std::span<const std::uint8_t> jpeg);

} // namespace unitsim

#endif // TANDEO_UNITSIM_JPEG_PROBE_H
