#ifndef TANDEO_CAPTURE_WINDOW_CAPTURE_H
#define TANDEO_CAPTURE_WINDOW_CAPTURE_H

// The picture of one application window: its client area grabbed at the given size, scaled
// into 1024 x 768 keeping its aspect ratio (fast transformation), and JPEG-encoded. Looking the
// window up and deciding what a missing window means are the caller's.

#include "frame.h"
#include "jpeg_encoder.h"
#include "window_system.h"

namespace capture {

class WindowCapture
{
public:
    static constexpr QSize Box{ 1024, 768 };

    enum class Result {
        Captured, // frame holds the picture
        WindowGone, // nothing could be read from the window (it has closed)
        NotEncoded, // the encoder failed; frame is empty
    };

    // grabSize: the whole window's size, as the picture has always been taken; empty for a
    // window that has no rectangle of its own.
    Result capture(
            const x11::WindowSystem &windows, x11::WindowId window, QSize grabSize, Frame &frame);

private:
    JpegEncoder m_encoder; // reused from frame to frame
};

} // namespace capture

#endif // TANDEO_CAPTURE_WINDOW_CAPTURE_H
