#include "window_capture.h"

#include "capture_log.h"

#include <QImage>

namespace capture {

WindowCapture::Result WindowCapture::capture(
        const x11::WindowSystem &windows, x11::WindowId window, QSize grabSize, Frame &frame)
{
    const QImage picture = windows.grabClient(window, grabSize);
    if (picture.isNull())
        return Result::WindowGone;
    const QImage scaled = picture.scaled(Box, Qt::KeepAspectRatio, Qt::FastTransformation);
    if (!m_encoder.encode(scaled, frame.jpeg)) {
        qCWarning(lcCapture) << "window frame not encoded:" << m_encoder.errorText();
        frame.clear();
        return Result::NotEncoded;
    }
    frame.size = scaled.size();
    return Result::Captured;
}

} // namespace capture
