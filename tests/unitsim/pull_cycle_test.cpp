// The pull cycle end to end on the wire: control bytes over TCP, frames over UDP. The unit
// pulls the next picture only after the client reported the last one sent, until its budget.

#include "raw_peer.h"
#include "unit_sim.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using rawpeer::Bytes;
using rawpeer::bytes;
using rawpeer::hex;

namespace {

const std::string Address = "127.0.0.43";
constexpr std::uint32_t Ssrc = 0x32316241; // "Ab12"

#define TAG 0x32, 0x31, 0x62, 0x41

TEST(PullCycle, EachFrameSentIsAnsweredWithOnePullUntilTheBudget)
{
    unitsim::Options options;
    options.address = Address;
    options.frameBudget = 3;
    unitsim::UnitSim unit(options);
    std::optional<std::string> error = unit.start();
    ASSERT_FALSE(error) << *error;

    rawpeer::TcpClient control(Address, 50000);
    ASSERT_TRUE(control.connected());
    control.send(bytes({ 'A', 'C', 1, 1, TAG, 0, 1, 0, 0x16, 5, 1, 1, 0x1A, 2, 2, 0x1F, 0x40, 3, 1,
            5, 4, 2, 0x01, 0x40, 5, 2, 0x00, 0xF0, 8, 1, 1 })); // MSG_CONNECT 320 x 240
    Bytes accepted = control.receive(26);
    ASSERT_EQ(accepted.size(), 26u);
    EXPECT_EQ(accepted[12], 0) << "connect accepted";
    control.send(bytes({ 'A', 'C', 1, 2, TAG, 0, 1, 0, 0 })); // MSG_SHARE
    EXPECT_EQ(hex(control.receive(14)), hex(bytes({ 'A', 'C', 1, 7, TAG, 0, 1, 0, 2, 0, 2 })));
    // The unit asks for the first picture.
    EXPECT_EQ(hex(control.receive(12)), hex(bytes({ 'A', 'C', 1, 2, TAG, 0, 1, 0, 0 })));
    control.send(bytes({ 'A', 'C', 1, 7, TAG, 0, 1, 0, 2, 0, 2 }));

    rawpeer::UdpSender rtp;
    std::vector<Bytes> sent;
    for (int frame = 0; frame < 4; ++frame) {
        Bytes jpeg = rawpeer::makeJpeg(320, 240, frame + 1);
        for (const Bytes &packet : rawpeer::packetize(jpeg, 320, 240, 9000u * frame, Ssrc))
            ASSERT_TRUE(rtp.sendTo(Address, 50001, packet));
        sent.push_back(jpeg);
        ASSERT_TRUE(unit.waitFor(
                [&](const unitsim::UnitSim &u) { return u.frames().size() == sent.size(); }, 5s));
        control.send(bytes({ 'A', 'C', 1, 8, TAG, 0, 1, 0, 0 })); // MSG_FRAME_SENT
        if (frame < 3) {
            Bytes pull = control.receive(17);
            EXPECT_EQ(hex(pull),
                    hex(bytes({ 'A', 'C', 1, 6, TAG, 0, 1, 0, 5, 1, 2, 2, 0, frame + 1 })));
        }
    }
    // The budget is spent: the next bytes are the answer to the client's stop, no pull first.
    control.send(bytes({ 'A', 'C', 1, 3, TAG, 0, 1, 0, 0 }));
    EXPECT_EQ(hex(control.receive(14)), hex(bytes({ 'A', 'C', 1, 7, TAG, 0, 1, 0, 2, 0, 3 })));

    std::vector<unitsim::Frame> frames = unit.frames();
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(frames[i].valid) << frames[i].problem;
        EXPECT_EQ(frames[i].jpeg, sent[i]);
    }
    unitsim::Counters c = unit.counters();
    EXPECT_EQ(c.framesSentReported, 4);
    EXPECT_EQ(c.nextFramesSent, 3);
    EXPECT_EQ(c.framesValid, 4);
    EXPECT_NE(unit.summary().find("4 valid"), std::string::npos) << unit.summary();
}

} // namespace
