#ifndef TANDEO_CAPTURE_DESKTOP_CAPTURE_H
#define TANDEO_CAPTURE_DESKTOP_CAPTURE_H

// The desktop picture of one frame: grab the whole desktop, scale it smoothly into the
// frame's size straight from the grabbed pixels into the JPEG planes, and encode it. The three
// steps overlap: the X server delivers the picture in bands from the top, both threads scale
// the rows whose source has arrived, and the calling thread encodes each 16-row strip as soon
// as it is scaled. Without the strip encoder the picture is encoded whole after scaling.
// Buffers, the scaling plan and the encoders are kept from frame to frame.
//
// Where the source tells what changed on the desktop (the X server's drawing reports), a
// still desktop costs one round trip: the last file is handed out again, byte for byte. After
// a small change only the rows it touched are grabbed and scaled again into the kept planes,
// and the whole picture is encoded from them: the file is the same as a whole capture's.
//
// Used from one thread (the GUI thread in the program); the helper thread is internal.

#include "band_worker.h"
#include "frame.h"
#include "frame_scaler.h"
#include "jpeg_encoder.h"
#include "screen_source.h"
#include "source_options.h"
#include "strip_jpeg_encoder.h"

#include <QByteArray>

#include <chrono>
#include <memory>

namespace capture {

// Where the time of one frame went, in milliseconds from its start: when the last row of the
// picture had arrived, when the last row was scaled and when the file was done. With the steps
// overlapping, these are points in time, not durations that add up.
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

    // Whether encoding overlaps scaling (the strip encoder was built in and is used).
    bool encodesInStrips() const { return m_useStrips; }
    // Encode whole pictures after scaling, as without the strip encoder (for comparisons).
    void setEncodeInStrips(bool on) { m_useStrips = on && StripJpegEncoder::available(); }

    // One frame of target size into jpeg. False (jpeg emptied) when the grab or the encoder
    // failed or target is empty.
    bool captureJpeg(QSize target, QByteArray &jpeg, FrameTimings *timings = nullptr);

    // The same as a frame value: the JPEG in frame.jpeg (its buffer reused), the picture's
    // size in frame.size.
    bool captureFrame(QSize target, Frame &frame, FrameTimings *timings = nullptr);

    // The same from a picture the caller grabbed.
    bool encodePicture(const PixelView &picture, QSize target, QByteArray &jpeg,
            FrameTimings *timings = nullptr);

    // The planes of the last frame.
    const I420Frame &lastFrame() const { return m_frame; }

    // What the last captureJpeg() did for its picture.
    enum class Work {
        Failed,
        Whole, // grabbed, scaled and encoded all of it
        ChangedRows, // grabbed and scaled the changed rows, encoded all of it
        Kept, // nothing changed: the last file again
    };
    Work lastWork() const { return m_lastWork; }

    // Redo only the changed rows after a small change (on by default); off, every change
    // redoes the whole picture.
    void setRedoChangedRows(bool on) { m_redoChangedRows = on; }
    // Follow what the source reports changed (on by default); off, every picture is grabbed,
    // scaled and encoded whole, as for a source that cannot tell.
    void setFollowChanges(bool on) { m_followChanges = on; }

private:
    // The end of a frame's file: the strip encoder's last strips, or the planes of m_frame
    // encoded in one go into jpeg; jpeg emptied when either failed.
    bool finishEncoding(bool inStrips, QByteArray &jpeg);
    bool redoChangedRows(const DesktopChanges &changes, QByteArray &jpeg, FrameTimings *timings);
    // The planes of m_frame into jpeg, in strips where the strip encoder is there; notes in
    // timings when scaling ended (now) and when encoding did, counted from start.
    bool encodePlanes(
            QByteArray &jpeg, FrameTimings *timings, std::chrono::steady_clock::time_point start);
    void forget();

    // rowsIn(wait) tells how many source rows have arrived (-1: the grab failed).
    bool encodeFrame(const PixelView &picture, QSize target, QByteArray &jpeg,
            FrameTimings *timings, const std::function<int(bool)> &rowsIn);
    // The same for a picture whose shape is not the frame's: scaled into `area`, black around.
    bool encodeOnBlack(const PixelView &picture, QSize target, QRect area, QByteArray &jpeg,
            FrameTimings *timings, const std::function<int(bool)> &rowsIn);

    std::unique_ptr<ScreenSource> m_source;
    std::unique_ptr<BandWorker> m_worker;
    SmoothScaler m_scaler;
    I420Frame m_frame;
    I420Frame m_area; // the picture in its own shape, before it is put on black
    JpegEncoder m_encoder;
    StripJpegEncoder m_stripEncoder;
    bool m_useStrips = StripJpegEncoder::available();

    // The last file and the planes it was made from, while they show the desktop as the
    // source last reported it.
    bool m_kept = false;
    QByteArray m_keptJpeg;
    QSize m_keptTarget;
    bool m_redoChangedRows = true;
    bool m_followChanges = true;
    Work m_lastWork = Work::Failed;
};

// The source of the real desktop on an X server: its root window over shared memory where an
// X connection can be made, else Qt's screen grab. The mouse pointer is drawn in only by the X
// server's source. On a Wayland desktop neither sees the screen: makeShareSurface()
// (source_choice.h) picks between this and the screen-cast portal.
std::unique_ptr<ScreenSource> openDesktopSource(const SourceOptions &options = {});

} // namespace capture

#endif // TANDEO_CAPTURE_DESKTOP_CAPTURE_H
