#include "zel_jpeg_encoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <turbojpeg.h>

namespace {

struct TjHandleDeleter
{
    void operator()(void *handle) const { tjDestroy(handle); }
};

struct TjBufferDeleter
{
    void operator()(unsigned char *buffer) const { tjFree(buffer); }
};

// TurboJPEG writes into a caller's buffer only when that buffer has its worst-case size, which
// is about twice the raw frame; smaller outputs get the picture through this scratch buffer.
struct EncoderState
{
    std::unique_ptr<void, TjHandleDeleter> handle{ tjInitCompress() };
    unsigned long scratchBytes = tjBufSize(jpegenc::FrameWidth, jpegenc::FrameHeight, TJSAMP_420);
    std::unique_ptr<unsigned char, TjBufferDeleter> scratch{ static_cast<unsigned char *>(
            tjAlloc(static_cast<int>(scratchBytes))) };
};

// Encodes into target, which holds targetBytes of at least the worst-case size; returns the
// JPEG size or -1.
long encodeInto(EncoderState &state, const unsigned char *input, unsigned char *target)
{
    unsigned long jpegSize = state.scratchBytes;
    unsigned char *out = target;
    const int rc = tjCompressFromYUV(state.handle.get(), input, jpegenc::FrameWidth, 1,
            jpegenc::FrameHeight, TJSAMP_420, &out, &jpegSize, jpegenc::Quality, TJFLAG_NOREALLOC);
    if (rc != 0 || out != target)
        return -1;
    return static_cast<long>(jpegSize);
}

} // namespace

int encJpegFrame(const unsigned char *input, unsigned char *output, int capacity)
{
    if (!input || !output || capacity <= 0)
        return -1;
    thread_local EncoderState state;
    if (!state.handle || !state.scratch)
        return -1;

    const auto room = static_cast<unsigned long>(capacity);
    if (room >= state.scratchBytes) {
        const long size = encodeInto(state, input, output);
        return size < 0 ? -1 : static_cast<int>(size);
    }
    const long size = encodeInto(state, input, state.scratch.get());
    if (size < 0)
        return -1;
    const auto copied = std::min(static_cast<unsigned long>(size), room);
    std::memcpy(output, state.scratch.get(), copied);
    return static_cast<int>(copied);
}
