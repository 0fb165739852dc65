#include "viewer_window.h"

#include "unit_sim.h"
#include "unitsim_log.h"

#include <QImage>
#include <QPixmap>
#include <QVBoxLayout>

namespace unitsim {

namespace {
constexpr int PollMs = 100;
constexpr qint64 RateWindowMs = 3000; // the frame rate is averaged over this long
} // namespace

ViewerWindow::ViewerWindow(const UnitSim &unit, QWidget *parent)
    : QWidget(parent),
      m_unit(unit),
      m_picture(new QLabel(this)),
      m_status(new QLabel(this))
{
    setWindowTitle(QStringLiteral("Unit %1").arg(QString::fromStdString(unit.options().address)));
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setMinimumSize(320, 180);
    m_picture->setText(QStringLiteral("Waiting for pictures"));
    m_picture->setStyleSheet(QStringLiteral("background: black; color: #c0c0c0;"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_picture, 1);
    layout->addWidget(m_status);
    m_status->setText(QStringLiteral("no picture yet"));
    resize(800, 500);
    m_clock.start();
    connect(&m_timer, &QTimer::timeout, this, &ViewerWindow::poll);
    m_timer.start(PollMs);
}

void ViewerWindow::poll()
{
    const int valid = m_unit.counters().framesValid;
    const qint64 now = m_clock.elapsed();
    m_history.emplace_back(now, valid);
    while (m_history.size() > 2 && now - m_history.front().first > RateWindowMs)
        m_history.pop_front();
    double rate = 0;
    if (m_history.size() >= 2 && now > m_history.front().first)
        rate = (valid - m_history.front().second) * 1000.0 / (now - m_history.front().first);

    std::optional<Frame> frame = m_unit.latestFrame();
    if (!frame) {
        m_status->setText(QStringLiteral("no picture yet"));
        return;
    }
    if (frame->index != m_shownIndex) {
        QImage image = QImage::fromData(frame->jpeg.data(), int(frame->jpeg.size()), "JPG");
        if (image.isNull()) {
            qCWarning(lcUnitsim) << "frame" << frame->index << "does not load as an image";
        } else {
            m_picture->setPixmap(QPixmap::fromImage(image).scaled(
                    m_picture->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
            m_shownIndex = frame->index;
        }
    }
    m_status->setText(QStringLiteral("%1 x %2, %3 frames/s, %4 frames")
                              .arg(frame->width)
                              .arg(frame->height)
                              .arg(rate, 0, 'f', 1)
                              .arg(valid));
}

} // namespace unitsim
