#include "monitor_display.h"

#include <QElapsedTimer>

#include <csignal>
#include <sys/prctl.h>

namespace testsupport {

MonitorDisplay::MonitorDisplay(QSize screen, const QStringList &serverOptions, int depth)
{
    m_hadDisplay = qEnvironmentVariableIsSet("DISPLAY");
    m_oldDisplay = qgetenv("DISPLAY");
    // A test that aborts leaves no server behind: it ends with the test's process.
    m_server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // The server picks a free display number and writes it to its standard output.
    const QStringList arguments{ "-displayfd", "1", "-screen", "0",
        QString("%1x%2x%3").arg(screen.width()).arg(screen.height()).arg(depth), "-nolisten", "tcp",
        "-noreset" };
    m_server.start("Xvfb", arguments + serverOptions);
    if (!m_server.waitForStarted(5000)) {
        m_error = "Xvfb does not start: " + m_server.errorString();
        return;
    }
    QByteArray number;
    QElapsedTimer clock;
    clock.start();
    while (!number.endsWith('\n') && clock.elapsed() < 10000
            && m_server.state() == QProcess::Running) {
        m_server.waitForReadyRead(100);
        number += m_server.readAllStandardOutput();
    }
    if (!number.endsWith('\n')) {
        m_error = "Xvfb gave no display number: "
                + QString::fromLocal8Bit(m_server.readAllStandardError());
        return;
    }
    m_name = ":" + number.trimmed();
    qputenv("DISPLAY", m_name);
}

MonitorDisplay::~MonitorDisplay()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished(2000);
        }
    }
    if (m_hadDisplay)
        qputenv("DISPLAY", m_oldDisplay);
    else
        qunsetenv("DISPLAY");
}

bool MonitorDisplay::xrandr(const QStringList &arguments, QString *output) const
{
    if (m_name.isEmpty())
        return false;
    QProcess process;
    process.start("xrandr", QStringList{ "--display", QString::fromLatin1(m_name) } + arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (output)
        *output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QStringList MonitorDisplay::monitorLines() const
{
    QString output;
    if (!xrandr({ "--listmonitors" }, &output))
        return {};
    // " 0: LEFT 1920/480x1080/270+0+0 " and "+*name" for primary or automatic ones.
    QStringList lines;
    for (const QString &line : output.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(' ', Qt::SkipEmptyParts);
        if (fields.size() >= 3 && fields[0].endsWith(':')) {
            QString name = fields[1];
            while (name.startsWith('+') || name.startsWith('*'))
                name.remove(0, 1);
            lines << name + " " + fields[2];
        }
    }
    return lines;
}

bool MonitorDisplay::setMonitor(const QString &name, const QRect &area)
{
    // A monitor's size in millimetres, as a 96 dpi screen has it.
    const int widthMm = area.width() * 254 / 960;
    const int heightMm = area.height() * 254 / 960;
    const QString geometry = QString("%1/%2x%3/%4+%5+%6")
                                     .arg(area.width())
                                     .arg(widthMm)
                                     .arg(area.height())
                                     .arg(heightMm)
                                     .arg(area.x())
                                     .arg(area.y());
    // This server refuses (BadValue) a new area for a name it already has: the old monitor
    // goes first, in the same xrandr run, so both requests reach the server in one write and
    // it takes them in one go, as a change of resolution replaces a monitor.
    QStringList arguments;
    for (const QString &line : monitorLines()) {
        if (line.startsWith(name + " "))
            arguments << "--delmonitor" << name;
    }
    arguments << "--setmonitor" << name << geometry << "none";
    return xrandr(arguments) && monitorLines().contains(name + " " + geometry);
}

bool MonitorDisplay::removeMonitor(const QString &name)
{
    if (!xrandr({ "--delmonitor", name }))
        return false;
    for (const QString &line : monitorLines()) {
        if (line.startsWith(name + " "))
            return false;
    }
    return true;
}

} // namespace testsupport
