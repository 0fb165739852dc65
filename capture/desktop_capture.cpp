#include "desktop_capture.h"

#include "capture_log.h"
#include "xcb_screen_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <vector>

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Output rows are scaled in chunks of whole row pairs, claimed in order by whichever thread
// is free; small enough that the encoder never waits long for the rows of its next strip.
constexpr int ChunkRows = 4;

// The progress of one frame, shared by the calling thread and the helper.
struct Progress
{
    explicit Progress(std::size_t chunks) : done(chunks) { }

    std::atomic<int> sourceRows{ 0 }; // rows of the source picture that have arrived
    std::atomic<int> nextChunk{ 0 }; // the next chunk nobody has claimed
    std::atomic<int> chunksDone{ 0 }; // counts up; waited on for a chunk to be done
    std::vector<std::atomic<bool>> done; // per chunk: scaled
    std::atomic<bool> failed{ false };

    void fail()
    {
        failed.store(true);
        sourceRows.store(INT_MAX);
        sourceRows.notify_all();
    }
};

} // namespace

DesktopCapture::DesktopCapture(std::unique_ptr<ScreenSource> source, bool useHelperThread)
    : m_source(std::move(source))
{
    if (useHelperThread && std::thread::hardware_concurrency() > 1)
        m_worker = std::make_unique<BandWorker>();
}

std::unique_ptr<ScreenSource> openDesktopSource()
{
    if (auto xcb = XcbScreenSource::open())
        return xcb;
    return std::make_unique<QtScreenSource>();
}

bool DesktopCapture::captureFrame(QSize target, Frame &frame, FrameTimings *timings)
{
    if (!captureJpeg(target, frame.jpeg, timings)) {
        frame.clear();
        return false;
    }
    frame.size = target;
    return true;
}

bool DesktopCapture::captureJpeg(QSize target, QByteArray &jpeg, FrameTimings *timings)
{
    const std::optional<PixelView> picture = m_source->startGrab();
    if (!picture) {
        qCWarning(lcCapture) << "desktop grab failed";
        jpeg.clear();
        return false;
    }
    return encodeFrame(*picture, target, jpeg, timings,
            [this](bool wait) { return m_source->rowsArrived(wait); });
}

bool DesktopCapture::encodePicture(
        const PixelView &picture, QSize target, QByteArray &jpeg, FrameTimings *timings)
{
    const int height = picture.height;
    return encodeFrame(picture, target, jpeg, timings, [height](bool) { return height; });
}

bool DesktopCapture::encodeFrame(const PixelView &picture, QSize target, QByteArray &jpeg,
        FrameTimings *timings, const std::function<int(bool)> &rowsIn)
{
    if (target.isEmpty() || picture.size().isEmpty()) {
        jpeg.clear();
        return false;
    }
    const auto start = Clock::now();
    if (m_scaler.source() != picture.size() || m_scaler.target() != target)
        m_scaler = SmoothScaler(picture.size(), target);
    m_frame.resize(target);

    const int height = target.height();
    const int chunks = (height + ChunkRows - 1) / ChunkRows;
    std::vector<int> sourceNeeded(static_cast<std::size_t>(chunks));
    for (int c = 0; c < chunks; ++c)
        sourceNeeded[std::size_t(c)] =
                m_scaler.sourceRowsNeeded(std::min((c + 1) * ChunkRows, height));
    Progress progress(static_cast<std::size_t>(chunks));
    double grabDone = -1, scaleDone = -1;

    const auto scaleChunk = [&](int c) {
        m_scaler.scaleRows(picture, m_frame, c * ChunkRows, std::min((c + 1) * ChunkRows, height));
        progress.done[std::size_t(c)].store(true, std::memory_order_release);
        progress.chunksDone.fetch_add(1, std::memory_order_release);
        progress.chunksDone.notify_all();
    };

    // The helper only scales: the next chunk whose source rows are in, waiting for them when
    // they are not.
    const auto helper = [&] {
        for (;;) {
            const int c = progress.nextChunk.fetch_add(1);
            if (c >= chunks)
                return;
            for (int rows = progress.sourceRows.load(std::memory_order_acquire);
                    rows < sourceNeeded[std::size_t(c)];
                    rows = progress.sourceRows.load(std::memory_order_acquire))
                progress.sourceRows.wait(rows);
            if (progress.failed.load())
                return;
            scaleChunk(c);
        }
    };

    // The calling thread takes in the arriving rows, encodes every strip that is ready, and
    // scales in between.
    const bool strips = m_useStrips && m_stripEncoder.begin(m_frame, jpeg);
    const auto own = [&] {
        int arrived = 0;
        const auto takeRows = [&](bool wait) {
            if (arrived >= picture.height)
                return;
            const int rows = rowsIn(wait);
            if (rows < 0) {
                progress.fail();
                return;
            }
            if (rows > arrived) {
                arrived = rows;
                progress.sourceRows.store(rows, std::memory_order_release);
                progress.sourceRows.notify_all();
                if (arrived >= picture.height)
                    grabDone = msSince(start);
            }
        };
        const int stripTotal = strips ? StripJpegEncoder::stripCount(height) : 0;
        int strip = 0;
        int contiguous = 0; // chunks done from the top
        while (!progress.failed.load()) {
            takeRows(false);
            const int seen = progress.chunksDone.load(std::memory_order_acquire);
            while (contiguous < chunks
                    && progress.done[std::size_t(contiguous)].load(std::memory_order_acquire))
                ++contiguous;
            if (contiguous == chunks && scaleDone < 0)
                scaleDone = msSince(start);
            const int rowsScaled = std::min(contiguous * ChunkRows, height);
            if (strip < stripTotal
                    && rowsScaled >= std::min((strip + 1) * StripJpegEncoder::StripRows, height)) {
                if (!m_stripEncoder.writeStrip(m_frame, strip++))
                    progress.fail();
                continue;
            }
            if (contiguous == chunks && strip == stripTotal)
                return;
            const int next = progress.nextChunk.load();
            if (next < chunks && sourceNeeded[std::size_t(next)] <= arrived) {
                const int c = progress.nextChunk.fetch_add(1);
                if (c < chunks) {
                    while (arrived < sourceNeeded[std::size_t(c)] && !progress.failed.load())
                        takeRows(true);
                    if (!progress.failed.load())
                        scaleChunk(c);
                }
                continue;
            }
            if (arrived < picture.height)
                takeRows(true); // nothing to do until more of the picture is in
            else if (progress.chunksDone.load(std::memory_order_acquire) == seen)
                progress.chunksDone.wait(seen); // the helper has the next rows in hand
        }
    };

    if (m_worker)
        m_worker->runAlongside(helper, own);
    else
        own();
    if (timings) {
        timings->grabMs = grabDone;
        timings->scaleMs = scaleDone;
    }

    bool encoded = false;
    if (progress.failed.load()) {
        m_stripEncoder.abort();
        qCWarning(lcCapture) << "the desktop picture did not arrive";
    } else if (strips) {
        encoded = m_stripEncoder.finish();
        if (!encoded)
            qCWarning(lcCapture) << "JPEG encoding failed:" << m_stripEncoder.errorText();
    } else {
        encoded = m_encoder.encode(m_frame, jpeg);
        if (!encoded)
            qCWarning(lcCapture) << "JPEG encoding failed:" << m_encoder.errorText();
    }
    if (!encoded)
        jpeg.clear();
    if (timings)
        timings->encodeMs = msSince(start);
    return encoded;
}

} // namespace capture
