#ifndef TANDEO_TESTS_MONITOR_DISPLAY_H
#define TANDEO_TESTS_MONITOR_DISPLAY_H

// An X server of the test's own (Xvfb) whose screen is divided into RandR monitors, as a
// laptop beside a second monitor is. DISPLAY names it while the fixture lives, so the code
// under test, the test's own X connections and child processes all reach it.
//
// Two things make monitors stick on Xvfb. It resets itself when its last client leaves, and a
// reset forgets every monitor set since: it runs with -noreset here (xrandr --setmonitor on a
// server nobody else is connected to otherwise "works" and leaves nothing). And monitors are
// set with xrandr, not over XCB: libxcb 1.15's SetMonitor request counts one part more than it
// fills, so it sends stack garbage as the request's length and the connection is closed
// (XCB_CONN_CLOSED_REQ_LEN_EXCEED) while xcb_request_check() reports no error.

#include <QByteArray>
#include <QProcess>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

namespace testsupport {

class MonitorDisplay
{
public:
    // Starts Xvfb with one screen of this size and depth (24: 8 bits a channel, 30: 10 bits),
    // and the server options given (e.g. "-extension MIT-SHM" for a server without shared
    // memory).
    explicit MonitorDisplay(QSize screen, const QStringList &serverOptions = {}, int depth = 24);
    ~MonitorDisplay();
    MonitorDisplay(const MonitorDisplay &) = delete;
    MonitorDisplay &operator=(const MonitorDisplay &) = delete;

    // Empty when the server runs; else why not (e.g. Xvfb or xrandr missing).
    QString error() const { return m_error; }
    QByteArray name() const { return m_name; }

    // Adds a monitor, or moves and resizes the one of that name (removed and added again in
    // one xrandr run: the server takes no new area for a name it has); true once the server
    // lists it there.
    bool setMonitor(const QString &name, const QRect &area);
    // Removes it; true once the server no longer lists it.
    bool removeMonitor(const QString &name);
    // The server's monitors as xrandr lists them, one line each ("LEFT 1920/480x1080/270+0+0").
    QStringList monitorLines() const;

private:
    bool xrandr(const QStringList &arguments, QString *output = nullptr) const;

    QProcess m_server;
    QByteArray m_name;
    QByteArray m_oldDisplay;
    bool m_hadDisplay = false;
    QString m_error;
};

} // namespace testsupport

#endif // TANDEO_TESTS_MONITOR_DISPLAY_H
