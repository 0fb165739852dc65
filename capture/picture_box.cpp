#include "picture_box.h"

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

} // namespace capture
