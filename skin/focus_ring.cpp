#include "focus_ring.h"

#include <QApplication>
#include <QFocusFrame>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

namespace skin {

namespace {

constexpr char RingObjectName[] = "focusRing";
const QColor InnerBand(0x1f, 0x2b, 0x36); // reads on the light forms
const QColor OuterBand(0xff, 0xff, 0xff); // reads on the dark foot and on the lists
constexpr qreal BandWidth = 2;

// One overlay over a whole window that paints the ring around its target. A focus frame rather
// than a plain widget: mouse events pass through it and accessibility leaves it out.
class FocusRing : public QFocusFrame
{
public:
    explicit FocusRing(QWidget *window) : QFocusFrame(window)
    {
        setObjectName(RingObjectName);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    void follow(QWidget *target)
    {
        m_target = target;
        setGeometry(parentWidget()->rect());
        raise();
        setVisible(target != nullptr);
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (!m_target || !m_target->isVisible())
            return;
        const QRectF body(m_target->mapTo(parentWidget(), QPoint(0, 0)), m_target->size());
        const bool round = m_target->property(RoundFaceProperty).toBool();
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(Qt::NoBrush);
        // Each band is centred on an outline this far outside the control's edge, on pixel
        // boundaries so that both of its pixels are fully inked: a pixel of gap, then the dark
        // band, then the white one.
        const struct
        {
            qreal distance;
            QColor colour;
        } bands[] = { { 2, InnerBand }, { 4, OuterBand } };
        for (const auto &band : bands) {
            const qreal d = band.distance;
            const QRectF outline = body.adjusted(-d, -d, d, d);
            QPainterPath path;
            if (round)
                path.addEllipse(outline);
            else
                path.addRoundedRect(outline, 3 + d, 3 + d);
            painter.setPen(QPen(band.colour, BandWidth));
            painter.drawPath(path);
        }
    }

private:
    QPointer<QWidget> m_target;
};

FocusRing *ringOf(QWidget *window, bool create)
{
    auto *ring = window->findChild<FocusRing *>(RingObjectName, Qt::FindDirectChildrenOnly);
    if (!ring && create)
        ring = new FocusRing(window);
    return ring;
}

void moveRing(QWidget *old, QWidget *now)
{
    QWidget *oldWindow = old ? old->window() : nullptr;
    QWidget *nowWindow = now ? now->window() : nullptr;
    if (oldWindow && oldWindow != nowWindow) {
        if (FocusRing *ring = ringOf(oldWindow, false))
            ring->follow(nullptr);
    }
    if (nowWindow)
        ringOf(nowWindow, true)->follow(now);
}

} // namespace

void followFocusWithRing()
{
    static QPointer<QObject> follower;
    if (follower || !qApp)
        return;
    follower = new QObject(qApp);
    QObject::connect(qApp, &QApplication::focusChanged, follower, &moveRing);
}

QWidget *focusRingOf(QWidget *window)
{
    return ringOf(window, false);
}

} // namespace skin
