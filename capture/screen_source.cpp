#include "screen_source.h"

#include "capture_log.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

namespace capture {

std::optional<PixelView> viewOf(const QImage &image)
{
    if (image.isNull() || image.depth() != 32)
        return std::nullopt;
    return PixelView{ image.constBits(), image.width(), image.height(), int(image.bytesPerLine()) };
}

std::optional<PixelView> ImageScreenSource::grab()
{
    countGrab();
    return viewOf(m_image);
}

QRect QtScreenSource::area()
{
    if (m_gone)
        return QRect();
    if (m_monitor.isEmpty()) {
        const QScreen *screen = QGuiApplication::primaryScreen();
        return screen ? screen->virtualGeometry() : QRect();
    }
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen->name() == m_monitor)
            return screen->geometry();
    }
    qCInfo(lcCapture) << "the monitor" << m_monitor << "is gone";
    m_gone = true;
    return QRect();
}

QSize QtScreenSource::size()
{
    return area().size();
}

bool QtScreenSource::areaGone()
{
    area();
    return m_gone;
}

std::optional<PixelView> QtScreenSource::grab()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    const QRect desktop = area();
    if (!screen || desktop.isEmpty())
        return std::nullopt;
    countGrab();
    // Window 0 is the root window: the coordinates are the virtual desktop's.
    m_last = screen->grabWindow(0, desktop.x(), desktop.y(), desktop.width(), desktop.height())
                     .toImage();
    if (m_last.format() != QImage::Format_RGB32 && m_last.format() != QImage::Format_ARGB32)
        m_last = m_last.convertToFormat(QImage::Format_RGB32);
    return viewOf(m_last);
}

} // namespace capture
