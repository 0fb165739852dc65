#ifndef TESTS_ZELRTP_TEST_PICTURES_H
#define TESTS_ZELRTP_TEST_PICTURES_H

// Real pictures for the library's tests and benchmark: desktop-like content (gradients, sharp
// boxes, fine grain) compressed with TurboJPEG as the capture step would (baseline, 4:2:0).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zelrtptest {

struct DecodedJpeg
{
    int width = 0;
    int height = 0;
    int subsampling = -1; // TurboJPEG's TJSAMP_* value
};

// An I420 frame (Y, then U, then V, no row padding); `grain` 0 gives a smooth picture, larger
// values add pixel noise up to about +-grain.
std::vector<std::uint8_t> makeI420(int width, int height, int grain, unsigned seed = 1);

// The I420 frame above compressed at the given quality.
std::vector<std::uint8_t> makeJpeg(int width, int height, int grain, int quality = 75);

// A q75 JPEG of width x height whose size is close to targetBytes (within about 10 %),
// found by adjusting the grain.
std::vector<std::uint8_t> makeJpegNear(int width, int height, std::size_t targetBytes);

// Header facts of a complete JPEG, or nullopt when TurboJPEG cannot decode it.
std::optional<DecodedJpeg> decodeJpeg(const std::vector<std::uint8_t> &jpeg);

} // namespace zelrtptest

#endif // TESTS_ZELRTP_TEST_PICTURES_H
