#include "picture_box.h"

#include <algorithm>
#include <cstdint>

namespace capture {

QSize pictureBox(QSize desktop, bool zmtFamily)
{
    if (desktop.height() <= 0)
        return StandardBox;
    const double ratio = double(desktop.width()) / double(desktop.height());
    return (ratio > WideRatio && zmtFamily) ? WideBox : StandardBox;
}

QSize fitKeepingAspect(QSize source, QSize box)
{
    if (source.width() <= 0 || source.height() <= 0 || box.width() <= 0 || box.height() <= 0)
        return QSize();
    // Width the source would have at the box's height; when it fits, the height decides.
    const std::int64_t widthAtBoxHeight =
            std::int64_t(box.height()) * source.width() / source.height();
    if (widthAtBoxHeight <= box.width())
        return QSize(int(widthAtBoxHeight), box.height());
    const std::int64_t heightAtBoxWidth =
            std::int64_t(box.width()) * source.height() / source.width();
    return QSize(box.width(), int(heightAtBoxWidth));
}

QRect shapeKeepingArea(QSize source, QSize target)
{
    if (source.isEmpty() || target.isEmpty())
        return QRect();
    const QSize fitted = fitKeepingAspect(source, target);
    // A pixel or two of rounding is stretched away, as the announced size itself was rounded.
    constexpr int Rounding = 2;
    if (target.width() - fitted.width() <= Rounding
            && target.height() - fitted.height() <= Rounding)
        return QRect(QPoint(0, 0), target);
    // A sliver of a picture still shows as two rows or columns.
    const int width = std::max(fitted.width() & ~1, std::min(2, target.width()));
    const int height = std::max(fitted.height() & ~1, std::min(2, target.height()));
    return QRect(((target.width() - width) / 2) & ~1, ((target.height() - height) / 2) & ~1, width,
            height);
}

} // namespace capture
