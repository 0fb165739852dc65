#include "status_label.h"

#include <QEvent>
#include <QPainter>

namespace {

// More texts than a share shows: the label is used for something else, and keeping every
// picture would only grow.
constexpr qsizetype MostPictures = 16;

} // namespace

void StatusLabel::paintEvent(QPaintEvent *event)
{
    // A window moved to a screen of another pixel ratio needs its pictures drawn again.
    if (!m_drawn.isEmpty() && m_drawn.cbegin()->devicePixelRatio() != devicePixelRatioF())
        m_drawn.clear();
    const auto drawn = m_drawing ? m_drawn.cend() : m_drawn.constFind(text());
    if (drawn == m_drawn.cend()) {
        QLabel::paintEvent(event);
        // A widget cannot be rendered while it paints: the picture is made afterwards.
        if (!m_drawing)
            QMetaObject::invokeMethod(this, &StatusLabel::keepPicture, Qt::QueuedConnection);
        return;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, *drawn);
}

void StatusLabel::keepPicture()
{
    if (m_drawn.contains(text()) || size().isEmpty())
        return;
    if (m_drawn.size() >= MostPictures)
        m_drawn.clear();
    const qreal ratio = devicePixelRatioF();
    QPixmap picture(size() * ratio);
    picture.setDevicePixelRatio(ratio);
    picture.fill(Qt::transparent);
    // The label's own painting only: what lies behind it is painted by its parent, under the
    // picture, as under the text.
    m_drawing = true;
    render(&picture, QPoint(), QRegion(), QWidget::RenderFlags());
    m_drawing = false;
    m_drawn.insert(text(), picture);
}

void StatusLabel::changeEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::StyleChange:
    case QEvent::LocaleChange:
    case QEvent::LayoutDirectionChange:
    case QEvent::EnabledChange:
    case QEvent::ActivationChange: // the inactive window's colours may differ
        m_drawn.clear();
        break;
    default:
        break;
    }
    QLabel::changeEvent(event);
}

void StatusLabel::resizeEvent(QResizeEvent *event)
{
    m_drawn.clear();
    QLabel::resizeEvent(event);
}
