// The built tandeo-desktop's command line as a user types it: a mistaken option is reported and
// ends the program with status 2, whether a display can be reached or not; --help and
// --version answer without one.

#include "program_session.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testsupport::DesktopRun;
using testsupport::runDesktop;

namespace {

// No display of any kind: the application object could not start.
const QStringList NoDisplay = { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" };

void expectRefused(const DesktopRun &run, const QString &argument, const QStringList &arguments)
{
    const std::string args = arguments.join(' ').toStdString();
    ASSERT_TRUE(run.end) << args << ": still running";
    EXPECT_FALSE(run.end->crashed) << args << ": " << run.standardError.toStdString();
    EXPECT_EQ(run.end->code, 2) << args << ": " << run.standardError.toStdString();
    EXPECT_TRUE(run.standardError.contains("unknown argument \"" + argument + "\""))
            << args << ": " << run.standardError.toStdString();
}

struct Refusal
{
    QStringList arguments;
    QString reported;
};

const Refusal Refusals[] = {
    { { "--bogus" }, "--bogus" },
    { { "stray" }, "stray" },
    { { "--show-pointer", "-bogus" }, "-bogus" },
    // Qt's own options with their values are passed over, the mistake after them is not.
    { { "-style", "Fusion", "--reverse", "--bogus" }, "--bogus" },
    { { "-platform" }, "-platform" },
};

TEST(CommandLine, AnUnknownArgumentEndsWithStatus2WithoutADisplay)
{
    for (const Refusal &refusal : Refusals)
        expectRefused(
                runDesktop(refusal.arguments, NoDisplay), refusal.reported, refusal.arguments);
}

TEST(CommandLine, HelpAndVersionNeedNoDisplay)
{
    const DesktopRun help = runDesktop({ "--help" }, NoDisplay);
    ASSERT_TRUE(help.end);
    EXPECT_TRUE(help.end->clean());
    EXPECT_TRUE(help.standardOutput.startsWith("Usage: tandeo-desktop"))
            << help.standardOutput.toStdString();

    // Help is answered whatever else the line holds.
    const DesktopRun helpFirst = runDesktop({ "--bogus", "-h" }, NoDisplay);
    ASSERT_TRUE(helpFirst.end);
    EXPECT_TRUE(helpFirst.end->clean());

    const DesktopRun version = runDesktop({ "--version" }, NoDisplay);
    ASSERT_TRUE(version.end);
    EXPECT_TRUE(version.end->clean());
    EXPECT_TRUE(version.standardOutput.startsWith("tandeo-desktop "))
            << version.standardOutput.toStdString();
}

TEST(CommandLine, QtOptionsAndTheProgramsOwnAreTaken)
{
    // Off screen the window needs no display: the program runs until it is ended.
    QTemporaryDir home;
    const QStringList arguments = { "--show-pointer", "-style", "Fusion", "--reverse",
        "-qwindowtitle", "Unit", "-stylesheet=none.qss" };
    const DesktopRun run = runDesktop(arguments,
            { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=offscreen", "HOME=" + home.path() },
            3s);
    EXPECT_FALSE(run.end) << "ended with " << run.end->code << ": "
                          << run.standardError.toStdString();
    EXPECT_FALSE(run.standardError.contains("unknown argument")) << run.standardError.toStdString();
    EXPECT_TRUE(QFile::exists(home.path() + "/database.dat")) << "the window came up";
}

TEST(CommandLine, AnUnknownArgumentEndsWithStatus2WithADisplay)
{
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        GTEST_SKIP() << "needs the X display of the test run";
    const QStringList x11 = { "QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY" };
    for (const Refusal &refusal : Refusals)
        expectRefused(runDesktop(refusal.arguments, x11), refusal.reported, refusal.arguments);
    const QStringList onDisplay = { "-display", display, "--bogus" };
    expectRefused(runDesktop(onDisplay, x11), "--bogus", onDisplay);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for QProcess
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
