#include "desktop_capture.h"

#include "capture_log.h"

#include <chrono>

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

DesktopCapture::DesktopCapture(std::unique_ptr<ScreenSource> source, bool useHelperThread)
    : m_source(std::move(source))
{
    if (useHelperThread && std::thread::hardware_concurrency() > 1)
        m_worker = std::make_unique<BandWorker>();
}

bool DesktopCapture::captureJpeg(QSize target, QByteArray &jpeg, FrameTimings *timings)
{
    const auto start = Clock::now();
    const std::optional<PixelView> picture = m_source->grab();
    if (timings)
        timings->grabMs = msSince(start);
    if (!picture) {
        qCWarning(lcCapture) << "desktop grab failed";
        jpeg.clear();
        return false;
    }
    return encodePicture(*picture, target, jpeg, timings);
}

bool DesktopCapture::encodePicture(
        const PixelView &picture, QSize target, QByteArray &jpeg, FrameTimings *timings)
{
    if (target.isEmpty() || picture.size().isEmpty()) {
        jpeg.clear();
        return false;
    }
    auto start = Clock::now();
    if (m_scaler.source() != picture.size() || m_scaler.target() != target)
        m_scaler = SmoothScaler(picture.size(), target);
    m_frame.resize(target);
    const int height = target.height();
    if (m_worker && height >= 4) {
        // Split on an even row so each half owns whole chroma rows.
        const int middle = (height / 2) & ~1;
        m_worker->runAlongside([&] { m_scaler.scaleRows(picture, m_frame, 0, middle); },
                [&] { m_scaler.scaleRows(picture, m_frame, middle, height); });
    } else {
        m_scaler.scale(picture, m_frame);
    }
    if (timings)
        timings->scaleMs = msSince(start);

    start = Clock::now();
    const bool encoded = m_encoder.encode(m_frame, jpeg);
    if (timings)
        timings->encodeMs = msSince(start);
    if (!encoded)
        qCWarning(lcCapture) << "JPEG encoding failed:" << m_encoder.errorText();
    return encoded;
}

} // namespace capture
