// The monitors a real X server reports, on an Xvfb of the test's own divided by xrandr.

#include "monitor_display.h"
#include "monitor_list.h"
#include "qstring_printer.h"

#include <gtest/gtest.h>

namespace {

TEST(MonitorList, ReadsTheServersMonitorsWithTheirNamesAndAreas)
{
    testsupport::MonitorDisplay display(QSize(3840, 1080));
    ASSERT_TRUE(display.error().isEmpty()) << display.error().toStdString();

    // Undivided: only the screen's own monitor, nothing to offer.
    x11::ScreenMonitors undivided = x11::readDisplayMonitors();
    EXPECT_EQ(undivided.screen, QSize(3840, 1080));
    ASSERT_EQ(undivided.monitors.size(), 1u);
    EXPECT_EQ(undivided.monitors[0].area, QRect(0, 0, 3840, 1080));
    EXPECT_TRUE(x11::choosableMonitors(undivided.monitors, undivided.screen).empty());

    ASSERT_TRUE(display.setMonitor("LEFT", QRect(0, 0, 1920, 1080)));
    ASSERT_TRUE(display.setMonitor("RIGHT", QRect(1920, 0, 1920, 1080)));
    const x11::ScreenMonitors divided = x11::readDisplayMonitors(display.name());
    const std::vector<x11::Monitor> expected{ { "LEFT", QRect(0, 0, 1920, 1080) },
        { "RIGHT", QRect(1920, 0, 1920, 1080) } };
    EXPECT_EQ(x11::choosableMonitors(divided.monitors, divided.screen), expected);

    ASSERT_TRUE(display.removeMonitor("LEFT"));
    const x11::ScreenMonitors after = x11::readDisplayMonitors();
    EXPECT_EQ(x11::monitorArea(after.monitors, "LEFT", after.screen), std::nullopt);
    EXPECT_EQ(x11::monitorArea(after.monitors, "RIGHT", after.screen), QRect(1920, 0, 1920, 1080));
}

TEST(MonitorList, NoDisplayMeansNoMonitors)
{
    const x11::ScreenMonitors none = x11::readDisplayMonitors(":4711");
    EXPECT_TRUE(none.monitors.empty());
    EXPECT_TRUE(none.screen.isEmpty());
}

} // namespace
