// Which of the server's monitors a user is offered, and the area a chosen one shares.

#include "monitor_layout.h"
#include "qstring_printer.h"

#include <gtest/gtest.h>

namespace x11 {

void PrintTo(const Monitor &monitor, std::ostream *out)
{
    *out << monitorLabel(monitor).toStdString() << " at " << monitor.area.x() << ","
         << monitor.area.y();
}

} // namespace x11

namespace {

using x11::Monitor;

const QSize Wide(4480, 1440); // a 1920 x 1080 laptop beside a 2560 x 1440 monitor

struct OfferCase
{
    const char *what;
    std::vector<Monitor> reported;
    std::vector<Monitor> offered;
};

void PrintTo(const OfferCase &offer, std::ostream *out)
{
    *out << offer.what;
}

class MonitorOffer : public ::testing::TestWithParam<OfferCase>
{
};

TEST_P(MonitorOffer, OffersTheMonitorsWorthAChoice)
{
    EXPECT_EQ(x11::choosableMonitors(GetParam().reported, Wide), GetParam().offered);
}

const Monitor Laptop{ "eDP-1", QRect(0, 0, 1920, 1080) };
const Monitor Side{ "DP-1", QRect(1920, 0, 2560, 1440) };
const Monitor WholeScreen{ "screen", QRect(QPoint(0, 0), Wide) };

INSTANTIATE_TEST_SUITE_P(Layouts, MonitorOffer,
        ::testing::Values(OfferCase{ "laptop and monitor", { Laptop, Side }, { Laptop, Side } },
                OfferCase{ "the screen's own monitor is all screens", { Laptop, Side, WholeScreen },
                        { Laptop, Side } },
                OfferCase{ "one monitor, nothing to choose", { Side }, {} },
                OfferCase{ "only the screen's monitor", { WholeScreen }, {} },
                OfferCase{ "mirrors of the whole screen", { WholeScreen, WholeScreen }, {} },
                OfferCase{ "a monitor beyond the screen's edge is clipped",
                        { Laptop, { "DP-2", QRect(4000, 0, 1000, 1440) } },
                        { Laptop, { "DP-2", QRect(4000, 0, 480, 1440) } } },
                OfferCase{ "a monitor outside the screen is left out",
                        { Laptop, { "DP-3", QRect(5000, 0, 800, 600) } }, { Laptop } },
                OfferCase{ "a switched-off monitor without area is left out",
                        { Laptop, { "HDMI-1", QRect(0, 0, 0, 0) } }, { Laptop } }),
        [](const ::testing::TestParamInfo<OfferCase> &info) {
            std::string name;
            for (const char *c = info.param.what; *c; ++c)
                name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
            return name;
        });

TEST(MonitorLabel, NamesTheMonitorAndItsSize)
{
    EXPECT_EQ(x11::monitorLabel(Side), "DP-1, 2560 x 1440");
    EXPECT_EQ(x11::monitorLabel({ "LEFT", QRect(0, 0, 1920, 1080) }), "LEFT, 1920 x 1080");
}

TEST(MonitorArea, FindsTheChosenMonitorByName)
{
    const std::vector<Monitor> reported{ Laptop, Side, WholeScreen };
    EXPECT_EQ(x11::monitorArea(reported, "DP-1", Wide), Side.area);
    // Names are exact: the server tells "DP-1" from "dp-1".
    EXPECT_EQ(x11::monitorArea(reported, "dp-1", Wide), std::nullopt);
    EXPECT_EQ(x11::monitorArea(reported, "HDMI-1", Wide), std::nullopt);
    // After a change of resolution the monitor may reach past the smaller screen.
    EXPECT_EQ(x11::monitorArea(reported, "DP-1", QSize(3840, 1080)), QRect(1920, 0, 1920, 1080));
    EXPECT_EQ(x11::monitorArea(reported, "DP-1", QSize(1920, 1080)), std::nullopt);
}

} // namespace
