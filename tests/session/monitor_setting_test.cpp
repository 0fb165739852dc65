// The screen to share as the built program keeps it and grabs it: the program and the emulator
// as their own processes on an Xvfb of the test's own. Divided into two monitors, the choice
// made with the keyboard lands in the settings file under the program's home, and the unit is
// told the chosen monitor's picture size. Without shared memory (a remote or forwarded
// display) the pictures still reach the unit, and from a screen of 10 bits a colour channel
// in their colours.

#include "monitor_display.h"
#include "program_session.h"
#include "x_painter.h"

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

namespace {

using testsupport::DesktopProcess;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;
using namespace std::chrono_literals;

// A whole session on the display of the test: log in, choose (when given), share until the
// unit holds `frames` valid pictures, stop, log out and close; the program ends cleanly.
// `environment` changes the program's environment as DesktopProcess's does.
void shareFrames(UnitProcess &unit, int frames,
        const std::function<void(DesktopProcess &)> &choose = {},
        const QStringList &environment = {})
{
    DesktopProcess desktop(unit, "1234", {}, environment);
    ASSERT_TRUE(desktop.started()) << desktop.output().toStdString();
    const auto diagnosis = [&] {
        return ("program:\n" + desktop.output() + "\nunit:\n" + unit.output()).toStdString();
    };
    desktop.click(Control::ProfileRow);
    desktop.click(Control::Login);
    ASSERT_TRUE(unit.waitFor(UnitProcess::command("firmware"))) << diagnosis();
    if (choose)
        choose(desktop);
    if (::testing::Test::HasFatalFailure())
        return;
    desktop.click(Control::Share);
    ASSERT_TRUE(unit.waitFor(UnitProcess::validFrame(), frames)) << diagnosis();
    EXPECT_FALSE(desktop.output().contains("grab failed")) << diagnosis();
    desktop.click(Control::Stop);
    ASSERT_TRUE(unit.waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
    desktop.click(Control::Logout);
    ASSERT_TRUE(unit.waitFor(UnitProcess::command("logout"), 1, 10s)) << diagnosis();
    desktop.requestClose();
    const auto end = desktop.waitForExit(10s);
    EXPECT_TRUE(end && end->clean()) << diagnosis();
}

TEST(MonitorSetting, TheChosenScreenGoesIntoTheSettingsFileAndToTheUnit)
{
    testsupport::MonitorDisplay display(QSize(3840, 1080));
    if (!display.error().isEmpty())
        GTEST_SKIP() << display.error().toStdString();
    ASSERT_TRUE(display.setMonitor("LEFT", QRect(0, 0, 1920, 1080)));
    ASSERT_TRUE(display.setMonitor("RIGHT", QRect(1920, 0, 1280, 1024)));

    UnitProcess unit("127.0.0.194");
    ASSERT_TRUE(unit.started()) << unit.output().toStdString();
    const auto chooseRight = [](DesktopProcess &desktop) {
        desktop.click(Control::Desktop);
        desktop.pressKeys({ "Tab", "Down", "Down" });
        const QString settings = desktop.home() + "/.config/tandeo-desktop/tandeo-desktop.conf";
        QString text;
        ASSERT_TRUE(testsupport::pollUntil(
                [&] {
                    QFile file(settings);
                    text = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : "";
                    return text.contains("monitor=");
                },
                5s))
                << desktop.output().toStdString();
        EXPECT_TRUE(text.contains("[share]\nmonitor=RIGHT\n")) << text.toStdString();
    };
    // Without XDG_CONFIG_HOME the settings go below the home, as for most users.
    shareFrames(unit, 3, chooseRight, { "XDG_CONFIG_HOME" });

    // 1280 x 1024 fits the box as 960 x 768.
    const QList<QJsonObject> events = unit.events();
    const auto connect =
            std::find_if(events.begin(), events.end(), UnitProcess::controlIn("MSG_CONNECT"));
    ASSERT_NE(connect, events.end());
    EXPECT_EQ((*connect)["items"]["item4"].toInt(), 960) << unit.output().toStdString();
    EXPECT_EQ((*connect)["items"]["item5"].toInt(), 768);
    for (const QJsonObject &frame : events) {
        if (frame["event"] == "frame") {
            EXPECT_EQ(frame["width"].toInt(), 960);
            EXPECT_EQ(frame["height"].toInt(), 768);
        }
    }
}

TEST(ScreenGrab, AnXServerWithoutSharedMemoryStillGivesTheUnitEveryPicture)
{
    testsupport::MonitorDisplay display(QSize(1280, 720), { "-extension", "MIT-SHM" });
    if (!display.error().isEmpty())
        GTEST_SKIP() << display.error().toStdString();
    // The window's status and the unit's viewer change with every picture: other programs draw
    // on the screen while it is grabbed.
    UnitProcess unit("127.0.0.195", { "--viewer", "--pull-interval", "50" });
    ASSERT_TRUE(unit.started()) << unit.output().toStdString();
    shareFrames(unit, 40);
}

// 10 bits a colour channel: the pictures come from Qt's grab, of the monitor chosen too.
TEST(ScreenGrab, ADeepColourScreenReachesTheUnitInItsColours)
{
    testsupport::MonitorDisplay display(QSize(2560, 720), {}, 30);
    if (!display.error().isEmpty())
        GTEST_SKIP() << display.error().toStdString();
    ASSERT_TRUE(display.setMonitor("LEFT", QRect(0, 0, 1280, 720)));
    ASSERT_TRUE(display.setMonitor("RIGHT", QRect(1280, 0, 1280, 720)));
    // The program's window on the left; the right monitor in a colour with different bits in
    // each channel.
    constexpr QRgb Colour = 0xff2050c0;
    testsupport::Painter painter;
    ASSERT_TRUE(painter.ok());
    painter.fill(painter.root(), QRect(1280, 0, 1280, 720), Colour);
    QTemporaryDir pictures;
    UnitProcess unit("127.0.0.196", { "--save", pictures.path() });
    ASSERT_TRUE(unit.started()) << unit.output().toStdString();
    shareFrames(unit, 3, [](DesktopProcess &desktop) {
        desktop.click(Control::Desktop);
        desktop.pressKeys({ "Tab", "Down", "Down" }); // RIGHT
    });

    const QStringList saved = QDir(pictures.path()).entryList({ "frame-*.jpg" }, QDir::Files);
    ASSERT_FALSE(saved.isEmpty());
    const QImage picture(pictures.filePath(saved.last()));
    ASSERT_EQ(picture.size(), QSize(1024, 576));
    for (const QPoint place : { QPoint(8, 8), QPoint(512, 288), QPoint(1015, 567) }) {
        const QRgb seen = picture.pixel(place);
        EXPECT_LE(std::abs(qRed(seen) - qRed(Colour)) + std::abs(qGreen(seen) - qGreen(Colour))
                        + std::abs(qBlue(seen) - qBlue(Colour)),
                12)
                << place.x() << "," << place.y() << ": " << QColor(seen).name().toStdString();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for QProcess
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
