#ifndef TANDEO_CAPTURE_DESKTOP_CAPTURE_H
#define TANDEO_CAPTURE_DESKTOP_CAPTURE_H

// The desktop picture of one frame: grab the whole desktop, scale it smoothly into the
// frame's size straight from the grabbed pixels into the JPEG planes (the two halves of the
// picture on two threads), and encode it. Buffers, the scaling plan and the encoder are kept
// from frame to frame.
//
// Used from one thread (the GUI thread in the program); the helper thread is internal.

#include "band_worker.h"
#include "frame_scaler.h"
#include "jpeg_encoder.h"
#include "screen_source.h"

#include <QByteArray>

#include <memory>

namespace capture {

// Where the time of one frame went, in milliseconds.
struct FrameTimings
{
    double grabMs = 0;
    double scaleMs = 0;
    double encodeMs = 0;
};

class DesktopCapture
{
public:
    explicit DesktopCapture(std::unique_ptr<ScreenSource> source, bool useHelperThread = true);

    ScreenSource &source() { return *m_source; }
    QSize desktopSize() { return m_source->size(); }

    // One frame of target size into jpeg. False (jpeg emptied) when the grab or the encoder
    // failed or target is empty.
    bool captureJpeg(QSize target, QByteArray &jpeg, FrameTimings *timings = nullptr);

    // The same from a picture the caller grabbed.
    bool encodePicture(const PixelView &picture, QSize target, QByteArray &jpeg,
            FrameTimings *timings = nullptr);

    // The planes of the last frame.
    const I420Frame &lastFrame() const { return m_frame; }

private:
    std::unique_ptr<ScreenSource> m_source;
    std::unique_ptr<BandWorker> m_worker;
    SmoothScaler m_scaler;
    I420Frame m_frame;
    JpegEncoder m_encoder;
};

} // namespace capture

#endif // TANDEO_CAPTURE_DESKTOP_CAPTURE_H
