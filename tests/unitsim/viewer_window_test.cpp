// The viewer shows what the unit received: the latest valid picture and its size.

#include "raw_peer.h"
#include "test_support.h"
#include "unit_sim.h"
#include "viewer_window.h"

#include <QLabel>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string Address = "127.0.0.46";

TEST(ViewerWindow, ShowsTheLatestValidPictureWithItsSize)
{
    unitsim::Options options;
    options.address = Address;
    options.controlListen = false;
    unitsim::UnitSim unit(options);
    std::optional<std::string> error = unit.start();
    ASSERT_FALSE(error) << *error;
    unitsim::ViewerWindow window(unit);
    window.show();
    EXPECT_EQ(window.statusText(), "no picture yet");

    rawpeer::UdpSender sender;
    const std::uint32_t ssrc = unitsim::ssrcOf("Ab12");
    for (const auto &packet : rawpeer::packetize(rawpeer::makeJpeg(320, 180), 320, 180, 1, ssrc))
        sender.sendTo(Address, 50001, packet);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.shownFrame() == 1; }, 5s));
    EXPECT_TRUE(window.statusText().startsWith("320 x 180, ")) << window.statusText().toStdString();
    EXPECT_TRUE(window.statusText().endsWith(", 1 frames")) << window.statusText().toStdString();
    const QPixmap picture = window.findChildren<QLabel *>().at(0)->pixmap();
    EXPECT_FALSE(picture.isNull());

    // A broken frame does not replace the picture shown.
    auto broken = rawpeer::packetize(rawpeer::makeJpeg(64, 64), 64, 64, 2, ssrc);
    broken.back().back() = 1;
    for (const auto &packet : broken)
        sender.sendTo(Address, 50001, packet);
    for (const auto &packet : rawpeer::packetize(rawpeer::makeJpeg(96, 64), 96, 64, 3, ssrc))
        sender.sendTo(Address, 50001, packet);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.shownFrame() == 3; }, 5s));
    EXPECT_TRUE(window.statusText().startsWith("96 x 64, ")) << window.statusText().toStdString();
    EXPECT_TRUE(window.statusText().endsWith(", 2 frames")) << window.statusText().toStdString();
}

} // namespace
