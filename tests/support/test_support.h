#ifndef TANDEO_TESTS_SUPPORT_H
#define TANDEO_TESTS_SUPPORT_H

// Helpers shared by the tests: waiting on a condition with a deadline while Qt's events run,
// answering message boxes and dialogs, and a temporary home directory.

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <functional>

class QWidget;

namespace testsupport {

using namespace std::chrono_literals;

// Runs Qt's events until pred() holds or the timeout passes; returns pred()'s last value.
bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5s);

// Runs Qt's events for the given time (for "nothing happens" checks only).
void processEventsFor(std::chrono::milliseconds duration);

// A picture of the window as name.png in $TANDEO_SCREENS_DIR, when that is set (to look at).
void saveScreen(QWidget *window, const QString &name);

struct SeenBox
{
    QString title;
    QString text;
    bool modal = false;
};

// Watches for message boxes and dialogs while it lives, looking every `interval`. Every box
// that appears is recorded and answered: message boxes with their default (OK) button, a
// dialog by the handler when one is set (return true when it was handled), else rejected.
class BoxAnswerer
{
public:
    explicit BoxAnswerer(std::chrono::milliseconds interval = 10ms);
    ~BoxAnswerer();

    QList<SeenBox> boxes() const { return m_boxes; }
    QStringList texts() const;
    void clear() { m_boxes.clear(); }
    bool waitForText(const QString &text, std::chrono::milliseconds timeout = 5s);
    // How often it looks for a box from now on.
    void setInterval(std::chrono::milliseconds interval) { m_timer.setInterval(interval); }

    // Called with every dialog that is not a message box; true when it was answered.
    std::function<bool(QWidget *dialog)> dialogHandler;
    // Called with every message box as it is answered.
    std::function<void(const SeenBox &box)> onBox;

private:
    void poll();

    QTimer m_timer;
    QList<SeenBox> m_boxes;
};

// Points HOME at a fresh temporary directory while it lives.
class TempHome
{
public:
    TempHome();
    ~TempHome();
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
};

} // namespace testsupport

#endif // TANDEO_TESTS_SUPPORT_H
