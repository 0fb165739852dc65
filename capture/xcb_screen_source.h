#ifndef TANDEO_CAPTURE_XCB_SCREEN_SOURCE_H
#define TANDEO_CAPTURE_XCB_SCREEN_SOURCE_H

// The whole desktop straight from the X server: the root window of the default screen, read
// into one shared-memory segment that is reused for every picture (MIT-SHM), so no pixel
// crosses the socket. Servers without MIT-SHM get the plain image request instead. Where the
// server reports drawing (DAMAGE), the source tells which rows changed between pictures.
// When asked to, the source draws the mouse pointer into its pictures (XFIXES gives the
// pointer's picture); the pointer moving or changing shape counts as a change of the rows it
// left and the rows it reached.
//
// Given a monitor's name (SourceOptions::monitor), the pictures show only that monitor's area
// of the root window, found among the server's RandR monitors; every place and row the source
// tells is relative to the area's top-left. The area follows the monitor when it moves or
// changes size; when the monitor is no longer listed the source says so (areaGone()).
//
// The source owns its own X connection. Use it from one thread at a time.

#include "screen_source.h"
#include "source_options.h"

#include <QRect>

#include <memory>

namespace capture {

class XcbScreenSource : public ScreenSource
{
public:
    // Connects to the display named by displayName, or by DISPLAY when it is null. Empty when
    // no connection can be made or the root window's pixels are not 32-bit little-endian.
    // A server without XFIXES gives pictures without the pointer even when options ask for it.
    static std::unique_ptr<XcbScreenSource> open(
            const char *displayName = nullptr, const SourceOptions &options = {});
    ~XcbScreenSource() override;

    // The size of the area (empty once it is gone).
    QSize size() override;
    // Where the area lies on the root window (empty once it is gone).
    QRect area();
    bool areaGone() override;
    std::optional<PixelView> grab() override;
    // Asks for the picture in bands of rows, all requests at once; the X server fills the
    // shared segment band by band while the caller already works on the bands that are in.
    std::optional<PixelView> startGrab() override;
    int rowsArrived(bool wait) override;
    // The rows come from the X server's drawing reports and, with the pointer shown, from
    // where the pointer was and is. One round trip, unless nothing was reported and neither
    // the pointer nor a monitor is followed: then the answer is "nothing" at once. The
    // pictures grabbed until the next call show the pointer as this call found it.
    DesktopChanges takeChanges() override;
    std::optional<PixelView> grabRows(int top, int bottom) override;

    // Whether pictures travel through shared memory.
    bool usesSharedMemory() const;
    // Whether the X server reports drawing, so takeChanges() knows what changed.
    bool followsDrawing() const;
    // Whether the pictures show the mouse pointer (asked for, and the server has XFIXES).
    bool showsPointer() const;

private:
    struct Impl;
    explicit XcbScreenSource(std::unique_ptr<Impl> impl);
    // grab() once the pointer is prepared.
    std::optional<PixelView> grabWhole();
    std::unique_ptr<Impl> m_impl;
};

} // namespace capture

#endif // TANDEO_CAPTURE_XCB_SCREEN_SOURCE_H
