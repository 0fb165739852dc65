// The receiver against the real streaming library as sender: what the client puts on the wire
// must pass every check of the unit.

#include "raw_peer.h"
#include "unit_sim.h"
#include "zelrtp.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string Address = "127.0.0.44";

TEST(ZelRtpSender, FramesOfTheStreamingLibraryPassEveryCheck)
{
    unitsim::Options options;
    options.address = Address;
    options.controlListen = false;
    unitsim::UnitSim unit(options);
    std::optional<std::string> error = unit.start();
    ASSERT_FALSE(error) << *error;

    initRtp();
    _ZelRtpSession *session =
            initSession("127.0.0.1", 50001, Address.c_str(), 50001, 5, unitsim::ssrcOf("Ab12"));
    ASSERT_NE(session, nullptr);
    const struct
    {
        int width, height;
    } pictures[] = { { 1024, 768 }, { 1024, 576 }, { 64, 64 } };
    std::vector<rawpeer::Bytes> sent;
    for (const auto &p : pictures) {
        rawpeer::Bytes jpeg = rawpeer::makeJpeg(p.width, p.height, unsigned(sent.size() + 3));
        sendJpegFrame(session, reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size()));
        sent.push_back(jpeg);
    }
    const bool arrived = unit.waitFor(
            [&](const unitsim::UnitSim &u) { return u.frames().size() == sent.size(); }, 5s);
    exitSession(session);
    exitRtp();
    ASSERT_TRUE(arrived);

    std::vector<unitsim::Frame> frames = unit.frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(frames[i].valid) << frames[i].problem;
        EXPECT_EQ(frames[i].jpeg, sent[i]);
        EXPECT_EQ(frames[i].width, pictures[i].width);
        EXPECT_EQ(frames[i].widthBlocks, 128) << "announced as 1024 x 768 whatever its size";
        EXPECT_EQ(frames[i].heightBlocks, 96);
        EXPECT_EQ(frames[i].sizeMatches, pictures[i].height == 768);
    }
    EXPECT_EQ(unit.counters().rtpPacketsRejected, 0);
    for (const unitsim::RtpPacket &packet : unit.rtpPackets())
        EXPECT_TRUE(packet.problems.empty()) << packet.problems.front();
}

} // namespace
