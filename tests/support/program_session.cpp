#include "program_session.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <csignal>
#include <thread>

namespace testsupport {

namespace {

// Runs a helper program to its end; returns its standard output.
QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString xdotool(const QStringList &args)
{
    return run("xdotool", args);
}

// The visible top-level windows of a process whose title matches.
QStringList windowsOf(qint64 pid, const QString &titlePattern)
{
    const QString found = xdotool(
            { "search", "--onlyvisible", "--pid", QString::number(pid), "--name", titlePattern });
    return found.isEmpty() ? QStringList() : found.split('\n');
}

// Sets the program and its arguments, behind the launcher when there is one.
void setCommand(QProcess &process, const QString &program, const QStringList &args,
        const Launcher &launcher)
{
    if (launcher.isEmpty()) {
        process.setProgram(program);
        process.setArguments(args);
    } else {
        process.setProgram(launcher.first());
        process.setArguments(launcher.mid(1) + QStringList{ program } + args);
    }
}

void stopChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

// "NAME=value" sets a variable, a bare "NAME" removes it.
void applyEnvironment(QProcessEnvironment &env, const QStringList &changes)
{
    for (const QString &entry : changes) {
        if (entry.contains('='))
            env.insert(entry.section('=', 0, 0), entry.section('=', 1));
        else
            env.remove(entry);
    }
}

} // namespace

bool pollUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

DesktopRun runDesktop(const QStringList &arguments, const QStringList &environment,
        std::chrono::milliseconds timeout)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    applyEnvironment(env, environment);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(TANDEO_DESKTOP_PROGRAM, arguments);
    DesktopRun run;
    if (!process.waitForStarted())
        return run;
    if (process.waitForFinished(int(timeout.count()))) {
        ProcessEnd end;
        end.crashed = process.exitStatus() == QProcess::CrashExit;
        end.code = process.exitCode();
        run.end = end;
    } else {
        stopChild(process);
    }
    run.standardOutput = QString::fromUtf8(process.readAllStandardOutput());
    run.standardError = QString::fromUtf8(process.readAllStandardError());
    return run;
}

UnitProcess::UnitProcess(
        const QString &address, const QStringList &options, const Launcher &launcher)
    : m_address(address),
      m_logPath(m_dir.filePath("unit.log"))
{
    setCommand(m_process, TANDEO_UNITSIM_PROGRAM,
            QStringList{ "--address", address, "--log", m_logPath } + options, launcher);
    m_process.setStandardOutputFile(m_dir.filePath("unit.out"));
    m_process.setStandardErrorFile(m_dir.filePath("unit.err"));
    m_process.start();
    m_started = m_process.waitForStarted()
            && pollUntil([&] { return output().contains("unit on " + address); }, 10s);
}

UnitProcess::~UnitProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(5000))
            stopChild(m_process);
    }
}

QList<QJsonObject> UnitProcess::events() const
{
    QList<QJsonObject> result;
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject())
            result.append(doc.object());
    }
    return result;
}

QList<QJsonObject> UnitProcess::eventsAfter(qint64 &offset) const
{
    QList<QJsonObject> result;
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return result;
    const QByteArray text = file.readAll();
    // A line still being written stays for the next call.
    const qsizetype end = text.lastIndexOf('\n') + 1;
    for (const QByteArray &line : text.left(end).split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject())
            result.append(doc.object());
    }
    offset += end;
    return result;
}

int UnitProcess::count(const std::function<bool(const QJsonObject &)> &match) const
{
    int n = 0;
    for (const QJsonObject &event : events())
        n += match(event) ? 1 : 0;
    return n;
}

bool UnitProcess::waitFor(const std::function<bool(const QJsonObject &)> &match, int atLeast,
        std::chrono::milliseconds timeout) const
{
    return pollUntil([&] { return count(match) >= atLeast; }, timeout);
}

std::function<bool(const QJsonObject &)> UnitProcess::command(const QString &name)
{
    return [name](const QJsonObject &e) {
        return e["event"] == "http_request" && e["command"] == name;
    };
}

std::function<bool(const QJsonObject &)> UnitProcess::controlIn(const QString &type)
{
    return [type](const QJsonObject &e) {
        return e["event"] == "control" && e["dir"] == "in" && e["type"] == type;
    };
}

std::function<bool(const QJsonObject &)> UnitProcess::controlOut(const QString &type)
{
    return [type](const QJsonObject &e) {
        return e["event"] == "control" && e["dir"] == "out" && e["type"] == type;
    };
}

std::function<bool(const QJsonObject &)> UnitProcess::validFrame()
{
    return [](const QJsonObject &e) { return e["event"] == "frame" && e["valid"] == true; };
}

void UnitProcess::kill()
{
    stopChild(m_process);
}

QString UnitProcess::output() const
{
    QString text;
    for (const char *name : { "unit.err", "unit.out" }) {
        QFile file(m_dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

void movePointerTo(int x, int y)
{
    // --sync: returns once the server has moved it, not when the request is sent.
    xdotool({ "mousemove", "--sync", QString::number(x), QString::number(y) });
}

DesktopProcess::DesktopProcess(const UnitProcess &unit, const QString &accessCode,
        const QStringList &arguments, const QStringList &environment, const Launcher &launcher)
{
    // The emulator writes the profile database exactly as the program keeps it.
    QProcess writer;
    writer.start(TANDEO_UNITSIM_PROGRAM,
            { "--write-profile", m_home.filePath("database.dat"), "--address", unit.address(),
                    "--access-code", accessCode });
    if (!writer.waitForFinished(10000) || writer.exitCode() != 0)
        return;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_home.path());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("QT_LOGGING_RULES", DebugOutputRules);
    applyEnvironment(env, environment);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_home.filePath("desktop.out"));
    setCommand(m_process, TANDEO_DESKTOP_PROGRAM, arguments, launcher);
    m_process.start();
    if (!m_process.waitForStarted())
        return;
    pollUntil(
            [&] {
                const QStringList found = windowsOf(m_process.processId(), "^Mirrabel");
                if (!found.isEmpty())
                    m_window = found.first().toULong();
                return m_window != 0;
            },
            20s);
}

DesktopProcess::~DesktopProcess()
{
    stopChild(m_process);
}

void DesktopProcess::click(Control control)
{
    clickAt(control, { "click", "1" });
}

void DesktopProcess::doubleClick(Control control)
{
    clickAt(control, { "click", "--repeat", "2", "--delay", "250", "1" });
}

void DesktopProcess::clickAt(Control control, const QStringList &clicks)
{
    static const std::pair<int, int> places[] = {
        { 60, 128 }, // the first profile row
        { 300, 370 }, // Login
        { 300, 370 }, // Logout sits where Login is, on the share page
        { 103, 195 }, // Share
        { 198, 195 }, // Stop
        { 72, 145 }, // the Desktop button, on its round mark
        { 62, 285 }, // the profile buttons Add and Edit
        { 253, 285 },
    };
    // The places are in the window's own units: on a screen scaled by two (a high-density
    // display) the window is twice as large in pixels, and so is every place.
    const double scale = windowScale();
    const auto [x, y] = places[int(control)];
    const QString window = QString::number(m_window);
    // Two clicks on one place within the double-click time are one double click to the window
    // (Login and Logout share a place and count it once): a user's next click there comes later.
    constexpr qint64 DoubleClickMs = 600; // the desktop's 400 and a margin
    const int place = control == Control::Logout ? int(Control::Login) : int(control);
    if (place == m_lastClickPlace && m_sinceLastClick.isValid()
            && m_sinceLastClick.elapsed() < DoubleClickMs)
        std::this_thread::sleep_for(
                std::chrono::milliseconds(DoubleClickMs - m_sinceLastClick.elapsed()));
    xdotool({ "windowraise", window });
    xdotool(QStringList{ "mousemove", "--window", window, QString::number(qRound(x * scale)),
                    QString::number(qRound(y * scale)) }
            + clicks);
    m_lastClickPlace = place;
    m_sinceLastClick.start();
}

double DesktopProcess::windowScale() const
{
    static const QRegularExpression size("Geometry: (\\d+)x(\\d+)");
    const auto match = size.match(xdotool({ "getwindowgeometry", QString::number(m_window) }));
    constexpr double LogicalWidth = 349; // the window's fixed width
    return match.hasMatch() ? std::max(1.0, match.captured(1).toInt() / LogicalWidth) : 1.0;
}

void DesktopProcess::pressKeys(const QStringList &keys)
{
    for (const QString &key : keys)
        xdotool({ "key", "--clearmodifiers", key });
}

void DesktopProcess::requestClose()
{
    run(TANDEO_X_CLOSE_PROGRAM, { QString::number(m_window) });
}

void DesktopProcess::signal(int sig)
{
    ::kill(pid_t(m_process.processId()), sig);
}

QStringList DesktopProcess::boxes() const
{
    QStringList result;
    static const QRegularExpression line("box: (.*)$", QRegularExpression::MultilineOption);
    auto it = line.globalMatch(output());
    while (it.hasNext())
        result.append(it.next().captured(1));
    return result;
}

bool DesktopProcess::waitForBox(const QString &text, std::chrono::milliseconds timeout) const
{
    return pollUntil(
            [&] {
                for (const QString &box : boxes()) {
                    if (box.endsWith(text))
                        return true;
                }
                return false;
            },
            timeout);
}

void DesktopProcess::answerBoxes()
{
    // Closed through the window manager's close request, as a user's click on its title bar's
    // button: with no window manager to give a box the focus, a key would reach the main
    // window's focused button instead.
    const auto boxesOpen = [this] {
        QStringList open = windowsOf(m_process.processId(), ".");
        open.removeAll(QString::number(m_window));
        return open;
    };
    for (const QString &box : boxesOpen())
        run(TANDEO_X_CLOSE_PROGRAM, { box });
    // Gone before the next click, which could land on a box still over the window.
    pollUntil([&] { return boxesOpen().isEmpty(); }, 5s);
}

std::optional<ProcessEnd> DesktopProcess::waitForExit(std::chrono::milliseconds timeout)
{
    if (!m_process.waitForFinished(int(timeout.count())))
        return std::nullopt;
    ProcessEnd end;
    end.crashed = m_process.exitStatus() == QProcess::CrashExit;
    end.code = m_process.exitCode();
    return end;
}

QString DesktopProcess::output() const
{
    QFile file(m_home.filePath("desktop.out"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace testsupport
