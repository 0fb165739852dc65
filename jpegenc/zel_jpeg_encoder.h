#ifndef JPEGENC_ZEL_JPEG_ENCODER_H
#define JPEGENC_ZEL_JPEG_ENCODER_H

// The picture encoder the library's YUV entry points use: one raw frame in, one baseline JPEG
// (quality 75, 4:2:0) out.
//
// Input layout: no size travels with a frame, so every frame is 1024 x 768 in planar I420:
//
//   offset        bytes     plane
//   0             786432    Y, 1024 x 768, one byte per pixel, rows of 1024 bytes
//   786432        196608    U (Cb), 512 x 384, rows of 512 bytes
//   983040        196608    V (Cr), 512 x 384, rows of 512 bytes
//   total         1179648   (1024 x 768 x 3 / 2), no row padding
//
// Full-range (JFIF) samples. The input must hold all 1179648 bytes.

#include <cstddef>

namespace jpegenc {

constexpr int FrameWidth = 1024;
constexpr int FrameHeight = 768;
constexpr std::size_t FrameBytes = std::size_t{ FrameWidth } * FrameHeight * 3 / 2;
constexpr int Quality = 75;

} // namespace jpegenc

// Encodes one frame into output and returns the number of bytes written there. Never writes
// more than capacity bytes: a JPEG that does not fit is cut to its first capacity bytes and the
// result is capacity, which callers take as "too small". Negative when input or output is null,
// capacity is not positive, or the encoder fails (output untouched). Any thread; each thread keeps
// its own encoder state.
int encJpegFrame(const unsigned char *input, unsigned char *output, int capacity);

#endif // JPEGENC_ZEL_JPEG_ENCODER_H
