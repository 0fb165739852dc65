#include "desktop_capture.h"

#include "capture_log.h"
#include "picture_box.h"
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

bool DesktopCapture::finishEncoding(bool inStrips, QByteArray &jpeg)
{
    const bool encoded = inStrips ? m_stripEncoder.finish() : m_encoder.encode(m_frame, jpeg);
    if (!encoded) {
        qCWarning(lcCapture) << "JPEG encoding failed:"
                             << (inStrips ? m_stripEncoder.errorText() : m_encoder.errorText());
        jpeg.clear();
    }
    return encoded;
}

std::unique_ptr<ScreenSource> openDesktopSource(const SourceOptions &options)
{
    if (auto xcb = XcbScreenSource::open(nullptr, options))
        return xcb;
    if (options.showPointer)
        qCInfo(lcCapture) << "the picture is shared without the mouse pointer: Qt's grab of this "
                             "screen does not draw it";
    return std::make_unique<QtScreenSource>(options.monitor);
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

void DesktopCapture::forget()
{
    m_kept = false;
    m_keptJpeg.clear();
    m_keptTarget = QSize();
}

bool DesktopCapture::captureJpeg(QSize target, QByteArray &jpeg, FrameTimings *timings)
{
    const DesktopChanges changes =
            m_followChanges ? m_source->takeChanges() : DesktopChanges::unknown();
    const bool kept = m_kept && changes.known && target == m_keptTarget;
    if (kept && changes.none()) {
        if (jpeg.constData() != m_keptJpeg.constData())
            jpeg = m_keptJpeg;
        if (timings)
            *timings = FrameTimings{};
        m_lastWork = Work::Kept;
        return true;
    }
    // The kept file lets go of its buffer first, so the new file is written into jpeg's in
    // place (it was shared when the last pull handed the kept file out).
    forget();
    m_lastWork = Work::Failed;

    bool done = false;
    if (kept && m_redoChangedRows && m_source->size() == m_scaler.source()
            && m_scaler.target() == target) {
        // Changed rows only while they are a small part; past that the whole picture arrives
        // in bands and is scaled while it arrives, which is quicker.
        const auto [first, end] = m_scaler.rowsMadeFrom(changes.top, changes.bottom);
        if ((end - first) * 2 <= target.height()) {
            done = redoChangedRows(changes, jpeg, timings);
            if (done)
                m_lastWork = Work::ChangedRows;
        }
    }
    if (m_lastWork != Work::ChangedRows) {
        const std::optional<PixelView> picture = m_source->startGrab();
        if (!picture) {
            qCWarning(lcCapture) << "desktop grab failed";
            jpeg.clear();
            return false;
        }
        done = encodeFrame(*picture, target, jpeg, timings,
                [this](bool wait) { return m_source->rowsArrived(wait); });
        if (done)
            m_lastWork = Work::Whole;
    }
    if (done && changes.known) {
        m_kept = true;
        m_keptJpeg = jpeg;
        m_keptTarget = target;
    }
    return done;
}

bool DesktopCapture::redoChangedRows(
        const DesktopChanges &changes, QByteArray &jpeg, FrameTimings *timings)
{
    const auto start = Clock::now();
    const auto [first, end] = m_scaler.rowsMadeFrom(changes.top, changes.bottom);
    if (end > first) {
        const auto [top, bottom] = m_scaler.sourceRowsOf(first, end);
        const std::optional<PixelView> picture = m_source->grabRows(top, bottom);
        if (!picture || picture->size() != m_scaler.source()) {
            qCWarning(lcCapture) << "desktop grab failed";
            return false;
        }
        if (timings)
            timings->grabMs = msSince(start);
        const int middle = (first + (end - first) / 2) & ~1;
        if (m_worker && middle > first && end - middle >= ChunkRows) {
            m_worker->runAlongside([&] { m_scaler.scaleRows(*picture, m_frame, first, middle); },
                    [&] { m_scaler.scaleRows(*picture, m_frame, middle, end); });
        } else {
            m_scaler.scaleRows(*picture, m_frame, first, end);
        }
    }
    return encodePlanes(jpeg, timings, start);
}

bool DesktopCapture::encodePlanes(
        QByteArray &jpeg, FrameTimings *timings, std::chrono::steady_clock::time_point start)
{
    if (timings)
        timings->scaleMs = msSince(start);
    const bool inStrips = m_useStrips && m_stripEncoder.begin(m_frame, jpeg);
    if (inStrips) {
        const int strips = StripJpegEncoder::stripCount(m_frame.height);
        for (int strip = 0; strip < strips; ++strip) {
            if (!m_stripEncoder.writeStrip(m_frame, strip)) {
                qCWarning(lcCapture) << "JPEG encoding failed:" << m_stripEncoder.errorText();
                m_stripEncoder.abort();
                jpeg.clear();
                return false;
            }
        }
    }
    const bool encoded = finishEncoding(inStrips, jpeg);
    if (timings)
        timings->encodeMs = msSince(start);
    return encoded;
}

bool DesktopCapture::encodePicture(
        const PixelView &picture, QSize target, QByteArray &jpeg, FrameTimings *timings)
{
    // The planes are about to hold a picture the source did not give.
    forget();
    m_lastWork = Work::Failed;
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
    if (const QRect area = shapeKeepingArea(picture.size(), target); area.size() != target)
        return encodeOnBlack(picture, target, area, jpeg, timings, rowsIn);
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
        jpeg.clear();
    } else {
        encoded = finishEncoding(strips, jpeg);
    }
    if (timings)
        timings->encodeMs = msSince(start);
    return encoded;
}

bool DesktopCapture::encodeOnBlack(const PixelView &picture, QSize target, QRect area,
        QByteArray &jpeg, FrameTimings *timings, const std::function<int(bool)> &rowsIn)
{
    // Only while the unit expects another shape than the desktop's: step after step, with no
    // overlap.
    const auto start = Clock::now();
    for (int rows = rowsIn(false); rows < picture.height; rows = rowsIn(true)) {
        if (rows < 0) {
            qCWarning(lcCapture) << "the desktop picture did not arrive";
            jpeg.clear();
            return false;
        }
    }
    if (timings)
        timings->grabMs = msSince(start);
    if (m_scaler.source() != picture.size() || m_scaler.target() != area.size())
        m_scaler = SmoothScaler(picture.size(), area.size());
    m_area.resize(area.size());
    m_scaler.scale(picture, m_area);
    m_frame.resize(target);
    placeOnBlack(m_area, area.topLeft(), m_frame);
    return encodePlanes(jpeg, timings, start);
}

} // namespace capture
