#ifndef TANDEO_UNITSIM_VIEWER_WINDOW_H
#define TANDEO_UNITSIM_VIEWER_WINDOW_H

// What the unit would show: the latest valid picture, its size and the frame rate. The window
// polls the emulator's core from a GUI-thread timer; the core never calls into it.

#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <utility>

namespace unitsim {

class UnitSim;

class ViewerWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ViewerWindow(const UnitSim &unit, QWidget *parent = nullptr);

    // The status line under the picture ("1024 x 576, 4.9 frames/s, 37 frames").
    QString statusText() const { return m_status->text(); }
    // The index of the frame shown; 0 before the first.
    std::size_t shownFrame() const { return m_shownIndex; }

    void poll();

private:
    const UnitSim &m_unit;
    QLabel *m_picture;
    QLabel *m_status;
    QTimer m_timer;
    QElapsedTimer m_clock;
    std::size_t m_shownIndex = 0;
    std::deque<std::pair<qint64, int>> m_history; // (ms, valid frames so far)
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_VIEWER_WINDOW_H
