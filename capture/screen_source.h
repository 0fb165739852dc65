#ifndef TANDEO_CAPTURE_SCREEN_SOURCE_H
#define TANDEO_CAPTURE_SCREEN_SOURCE_H

// Where desktop pictures come from: the X server's root window (XcbScreenSource), Qt's screen
// grab where no X connection of our own can be made (QtScreenSource), or a fixed picture for
// tests and benchmarks (ImageScreenSource).

#include "frame_scaler.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <optional>

namespace capture {

// What may have changed on the desktop since the source last asked (see takeChanges()).
struct DesktopChanges
{
    // False: the source cannot tell, and anything may have changed.
    bool known = false;
    // The rows [top, bottom) that changed; empty when nothing did.
    int top = 0;
    int bottom = 0;

    bool none() const { return known && bottom <= top; }
    static DesktopChanges unknown() { return {}; }
    static DesktopChanges rows(int top, int bottom) { return { true, top, bottom }; }
};

class ScreenSource
{
public:
    virtual ~ScreenSource() = default;

    // Size of the whole desktop as the next grab() will take it.
    virtual QSize size() = 0;

    // One picture of the whole desktop. The pixels stay valid until the next grab() or the
    // source's destruction; nothing is copied for the caller. Empty when the grab failed.
    virtual std::optional<PixelView> grab() = 0;

    // The same picture arriving from the top down: the view is where the pixels will be, and
    // rowsArrived() tells how many rows from the top are in so far. A source that has no such
    // way grabs the whole picture here, and then every row is in.
    virtual std::optional<PixelView> startGrab() { return m_whole = grab(); }
    // Rows in so far; with wait set, waits until at least one more row is in (unless all are).
    // -1 when the grab failed on the way.
    virtual int rowsArrived(bool wait)
    {
        (void)wait;
        return m_whole ? m_whole->height : -1;
    }

    // The rows drawn on since the last call: every row of the desktop the first time, and
    // whenever the source lost track. A picture grabbed after this call shows at least every
    // change it reports. Sources that do not follow drawing always answer unknown().
    virtual DesktopChanges takeChanges() { return DesktopChanges::unknown(); }

    // Grabs only the rows [top, bottom) into the place a whole grab puts them; the other rows
    // of the view keep what the last grab left there. Sources that cannot grab part of the
    // desktop grab all of it.
    virtual std::optional<PixelView> grabRows(int top, int bottom)
    {
        (void)top;
        (void)bottom;
        return grab();
    }

    // The part of the desktop this source shows is gone for good (its monitor was unplugged
    // or switched off): every grab fails from now on. A failed grab alone says nothing of the
    // kind; the next one may work.
    virtual bool areaGone() { return false; }

    // How many times the desktop has been read (whole or in part) since the source was made.
    std::uint64_t grabCount() const { return m_grabs; }

protected:
    void countGrab() { ++m_grabs; }

private:
    std::optional<PixelView> m_whole;
    std::uint64_t m_grabs = 0;
};

// A fixed picture, converted once to 32-bit pixels.
class ImageScreenSource : public ScreenSource
{
public:
    explicit ImageScreenSource(const QImage &image) { setImage(image); }

    void setImage(const QImage &image) { m_image = image.convertToFormat(QImage::Format_RGB32); }

    QSize size() override { return m_image.size(); }
    std::optional<PixelView> grab() override;

private:
    QImage m_image;
};

// Qt's grab of the whole virtual desktop, or of one monitor's screen; slow (the X server copies
// every pixel through the socket), used only where XcbScreenSource cannot be opened.
class QtScreenSource : public ScreenSource
{
public:
    // With a monitor's name, only the screen Qt has of that name.
    explicit QtScreenSource(const QString &monitor = QString()) : m_monitor(monitor) { }

    QSize size() override;
    std::optional<PixelView> grab() override;
    bool areaGone() override;

private:
    // On the virtual desktop; empty once the monitor is gone.
    QRect area();

    QString m_monitor;
    bool m_gone = false;
    QImage m_last;
};

// The view of an image's pixels (32-bit formats only).
std::optional<PixelView> viewOf(const QImage &image);

} // namespace capture

#endif // TANDEO_CAPTURE_SCREEN_SOURCE_H
