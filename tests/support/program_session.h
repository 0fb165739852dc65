#ifndef TANDEO_TESTS_PROGRAM_SESSION_H
#define TANDEO_TESTS_PROGRAM_SESSION_H

// The built programs as a user runs them: tandeo-unitsim as its own process with its JSON log,
// and tandeo-desktop as its own process whose window is driven through the X server (xdotool
// clicks, a window manager's close request). Nothing here reaches into either program.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <optional>

namespace testsupport {

using namespace std::chrono_literals;

// Polls pred() every 50 ms (no event loop needed) until it holds or the timeout passes.
bool pollUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout);

// How a child process ended: its exit code, or the signal that ended it.
struct ProcessEnd
{
    bool crashed = false; // ended by a signal
    int code = -1; // exit code, or the signal number when crashed
    bool clean() const { return !crashed && code == 0; }
};

// A command the program is started through, e.g. { "ip", "netns", "exec", "ns" } to run it in
// a network namespace; it must exec the program, so the process keeps its pid. Empty: none.
using Launcher = QStringList;
// tandeo-desktop run to its end with these arguments and the test run's environment changed
// by `environment` ("NAME=value" sets a variable, a bare "NAME" removes it). `end` is empty
// when the program was still running after `timeout` (it is then killed).
struct DesktopRun
{
    std::optional<ProcessEnd> end;
    QString standardOutput;
    QString standardError;
};
DesktopRun runDesktop(const QStringList &arguments, const QStringList &environment,
        std::chrono::milliseconds timeout = 10s);

// tandeo-unitsim on one address, logging every event as a JSON line.
class UnitProcess
{
public:
    UnitProcess(
            const QString &address, const QStringList &options = {}, const Launcher &launcher = {});
    ~UnitProcess();

    bool started() const { return m_started; }
    QString address() const { return m_address; }
    qint64 pid() const { return m_process.processId(); }

    // Every event logged so far, in the order written.
    QList<QJsonObject> events() const;
    // The events written from byte offset on, whole lines only; moves offset past the last whole
    // line read. Passing the same variable each time follows a long log without reading it
    // again from its start (start with 0).
    QList<QJsonObject> eventsAfter(qint64 &offset) const;
    int count(const std::function<bool(const QJsonObject &)> &match) const;
    bool waitFor(const std::function<bool(const QJsonObject &)> &match, int atLeast = 1,
            std::chrono::milliseconds timeout = 20s) const;

    // Common matches.
    static std::function<bool(const QJsonObject &)> command(const QString &name);
    static std::function<bool(const QJsonObject &)> controlIn(const QString &type);
    static std::function<bool(const QJsonObject &)> controlOut(const QString &type);
    static std::function<bool(const QJsonObject &)> validFrame();

    // Ends the unit at once, as a unit that is switched off.
    void kill();
    // The unit's summary and stderr, for failure messages.
    QString output() const;

private:
    QTemporaryDir m_dir;
    QString m_address;
    QString m_logPath;
    mutable QProcess m_process;
    bool m_started = false;
};

// Moves the X pointer to a place on the screen as a user's mouse does (xdotool).
void movePointerTo(int x, int y);

// The debug output tandeo-desktop is started with unless a test says otherwise (boxes() reads
// the tandeo.ui lines).
inline constexpr char DebugOutputRules[] = "tandeo.*.debug=true";

// tandeo-desktop with a home of its own that holds one profile ("Demo unit") for the unit,
// started with the given command-line arguments and with the environment of the test run,
// QT_LOGGING_RULES set to DebugOutputRules, changed by `environment` ("NAME=value" sets a
// variable, a bare "NAME" removes it: {"QT_LOGGING_RULES"} runs it as from the applications
// menu).
class DesktopProcess
{
public:
    explicit DesktopProcess(const UnitProcess &unit, const QString &accessCode = "1234",
            const QStringList &arguments = {}, const QStringList &environment = {},
            const Launcher &launcher = {});
    ~DesktopProcess();

    bool started() const { return m_window != 0; }
    qint64 pid() const { return m_process.processId(); }
    unsigned long window() const { return m_window; }
    QString home() const { return m_home.path(); }

    // The window's controls, in window coordinates (the window has a fixed size and layout).
    enum class Control {
        ProfileRow,
        Login,
        Logout,
        Share,
        Stop,
        Desktop,
        AddProfile,
        EditProfile,
    };
    void click(Control control);
    // Two clicks as one double click: the second comes 250 ms after the first, within the
    // double-click time and long after the window reacted to the first.
    void doubleClick(Control control);
    // Keys as a user types them ("Tab", "Down"), into the window the pointer is over (the
    // X server's focus follows the pointer while no window manager runs).
    void pressKeys(const QStringList &keys);
    // The window manager's close request (WM_DELETE_WINDOW), as the title bar's close button.
    void requestClose();
    void signal(int sig);

    // Every message box the program has shown, as "title: text" (from its tandeo.ui debug
    // output, which the default rules switch on).
    QStringList boxes() const;
    bool waitForBox(const QString &text, std::chrono::milliseconds timeout = 5s) const;
    // Answers the program's open boxes as a user would (closing each).
    void answerBoxes();

    std::optional<ProcessEnd> waitForExit(std::chrono::milliseconds timeout = 10s);
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    QString output() const;

private:
    void clickAt(Control control, const QStringList &clicks);
    // 2 when the window is drawn twice as large (a screen scaled by two), 1.5 at 150 %.
    double windowScale() const;

    QTemporaryDir m_home;
    mutable QProcess m_process;
    unsigned long m_window = 0;
    int m_lastClickPlace = -1; // Logout counts as Login's place
    QElapsedTimer m_sinceLastClick;
};

} // namespace testsupport

#endif // TANDEO_TESTS_PROGRAM_SESSION_H
