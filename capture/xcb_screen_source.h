#ifndef TANDEO_CAPTURE_XCB_SCREEN_SOURCE_H
#define TANDEO_CAPTURE_XCB_SCREEN_SOURCE_H

// The whole desktop straight from the X server: the root window of the default screen, read
// into one shared-memory segment that is reused for every picture (MIT-SHM), so no pixel
// crosses the socket. Servers without MIT-SHM get the plain image request instead. Where the
// server reports drawing (DAMAGE), the source tells which rows changed between pictures.
//
// The source owns its own X connection. Use it from one thread at a time.

#include "screen_source.h"

#include <memory>

namespace capture {

class XcbScreenSource : public ScreenSource
{
public:
    // Connects to the display named by displayName, or by DISPLAY when it is null. Empty when
    // no connection can be made or the root window's pixels are not 32-bit little-endian.
    static std::unique_ptr<XcbScreenSource> open(const char *displayName = nullptr);
    ~XcbScreenSource() override;

    QSize size() override;
    std::optional<PixelView> grab() override;
    // Asks for the picture in bands of rows, all requests at once; the X server fills the
    // shared segment band by band while the caller already works on the bands that are in.
    std::optional<PixelView> startGrab() override;
    int rowsArrived(bool wait) override;
    // One round trip to the X server; the rows come from its drawing reports.
    DesktopChanges takeChanges() override;
    std::optional<PixelView> grabRows(int top, int bottom) override;

    // Whether pictures travel through shared memory.
    bool usesSharedMemory() const;
    // Whether the X server reports drawing, so takeChanges() knows what changed.
    bool followsDrawing() const;

private:
    struct Impl;
    explicit XcbScreenSource(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace capture

#endif // TANDEO_CAPTURE_XCB_SCREEN_SOURCE_H
