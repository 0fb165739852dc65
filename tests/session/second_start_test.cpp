// The built program started again while it runs, as a second click in the menu starts it: one
// window per user (runtime folder and home), the running one raised; and the icon its window
// gives the task bar. Unit address 127.0.0.177.

#include "program_session.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testsupport::DesktopProcess;
using testsupport::pollUntil;
using testsupport::UnitProcess;

namespace {

constexpr char Address[] = "127.0.0.177";
constexpr char RaisedLine[] = "another start: raising the window";
constexpr char ListeningLine[] = "the one program of this user";

class SecondStart : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the X display of the test run";
        ASSERT_TRUE(runtime.isValid());
        QFile::setPermissions(
                runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // The fixture's programs take this process's environment.
        oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        unit = std::make_unique<UnitProcess>(Address);
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
    }

    void TearDown() override { qputenv("XDG_RUNTIME_DIR", oldRuntime); }

    // tandeo-desktop in the given home, as the menu starts it; its output goes to a file of the
    // runtime folder (read with outputOf).
    void startIn(QProcess &process, const QString &home, const QString &name)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("QT_LOGGING_RULES", "tandeo.*.debug=true");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(runtime.filePath(name + ".out"));
        process.start(TANDEO_DESKTOP_PROGRAM, QStringList());
        process.waitForStarted();
    }

    QString outputOf(const QString &name) const
    {
        QFile file(runtime.filePath(name + ".out"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QStringList sockets() const
    {
        return QDir(runtime.path()).entryList({ "*.socket" }, QDir::System | QDir::Files);
    }

    QTemporaryDir runtime;
    QByteArray oldRuntime;
    std::unique_ptr<UnitProcess> unit;
};

TEST_F(SecondStart, RaisesTheRunningWindowAndEndsWithStatusZero)
{
    DesktopProcess first(*unit);
    ASSERT_TRUE(first.started()) << first.output().toStdString();
    ASSERT_TRUE(pollUntil([&] { return first.output().contains(ListeningLine); }, 5s))
            << first.output().toStdString();

    QProcess second;
    startIn(second, first.home(), "second");
    ASSERT_TRUE(second.waitForFinished(5000)) << "the second start is still running";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << outputOf("second").toStdString();
    EXPECT_TRUE(pollUntil([&] { return first.output().contains(RaisedLine); }, 5s))
            << first.output().toStdString();
    EXPECT_TRUE(first.running());
}

TEST_F(SecondStart, ProgramsWithHomesOfTheirOwnRunSideBySide)
{
    DesktopProcess one(*unit);
    DesktopProcess other(*unit);
    ASSERT_TRUE(one.started()) << one.output().toStdString();
    ASSERT_TRUE(other.started()) << other.output().toStdString();
    EXPECT_TRUE(one.running() && other.running());
    EXPECT_FALSE(one.output().contains(RaisedLine));
    EXPECT_TRUE(pollUntil([&] { return sockets().size() == 2; }, 5s))
            << sockets().join(' ').toStdString() << "\n"
            << one.output().toStdString() << other.output().toStdString();
}

TEST_F(SecondStart, SocketLeftByACrashDoesNotStopTheNextStart)
{
    DesktopProcess crashed(*unit);
    ASSERT_TRUE(crashed.started()) << crashed.output().toStdString();
    crashed.signal(SIGKILL);
    ASSERT_TRUE(crashed.waitForExit(5s));
    ASSERT_EQ(sockets().size(), 1) << "no socket was left to test with";

    QProcess next;
    startIn(next, crashed.home(), "next");
    EXPECT_TRUE(pollUntil(
            [&] {
                return next.state() == QProcess::NotRunning
                        || outputOf("next").contains(ListeningLine);
            },
            10s));
    ASSERT_EQ(next.state(), QProcess::Running) << outputOf("next").toStdString();

    // And it answers the start after it.
    QProcess third;
    startIn(third, crashed.home(), "third");
    ASSERT_TRUE(third.waitForFinished(5000));
    EXPECT_EQ(third.exitCode(), 0) << outputOf("third").toStdString();
    EXPECT_TRUE(pollUntil([&] { return outputOf("next").contains(RaisedLine); }, 5s));
    next.kill();
    next.waitForFinished(5000);
}

// Task bars and window switchers pick the icon size they draw from _NET_WM_ICON.
TEST_F(SecondStart, WindowOffersTheIconAtEveryThemeSize)
{
    DesktopProcess desktop(*unit);
    ASSERT_TRUE(desktop.started()) << desktop.output().toStdString();
    QProcess xprop;
    // -len: all of it, the largest picture comes last.
    xprop.start("xprop",
            { "-len", "4000000", "-id", QString::number(desktop.window()), "_NET_WM_ICON" });
    ASSERT_TRUE(xprop.waitForFinished(10000));
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput());
    static const QRegularExpression icon("Icon \\((\\d+) x (\\d+)\\)");
    QStringList sizes;
    for (const auto &match : icon.globalMatch(out))
        sizes << match.captured(1) + "x" + match.captured(2);
    sizes.sort();
    QStringList expected = { "16x16", "32x32", "48x48", "64x64", "128x128", "256x256" };
    expected.sort();
    EXPECT_EQ(sizes, expected) << out.left(200).toStdString();
}

} // namespace
