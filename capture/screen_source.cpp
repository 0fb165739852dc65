#include "screen_source.h"

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

QSize QtScreenSource::size()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->virtualGeometry().size() : QSize();
}

std::optional<PixelView> QtScreenSource::grab()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return std::nullopt;
    countGrab();
    const QRect desktop = screen->virtualGeometry();
    m_last = screen->grabWindow(0, desktop.x(), desktop.y(), desktop.width(), desktop.height())
                     .toImage();
    if (m_last.format() != QImage::Format_RGB32 && m_last.format() != QImage::Format_ARGB32)
        m_last = m_last.convertToFormat(QImage::Format_RGB32);
    return viewOf(m_last);
}

} // namespace capture
