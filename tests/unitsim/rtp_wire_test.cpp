// The emulator's RTP receiver with hand-built packets over UDP: good frames come back byte for
// byte, every broken rule is reported and keeps its frame from counting as valid.

#include "raw_peer.h"
#include "unit_sim.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

using namespace std::chrono_literals;
using rawpeer::Bytes;

namespace {

const std::string Address = "127.0.0.42";
constexpr std::uint32_t Ssrc = 0x32316241; // "Ab12" read as a little-endian number

// A JPEG padded with a comment segment to exactly `size` bytes.
Bytes jpegOfSize(int width, int height, std::size_t size)
{
    Bytes jpeg = rawpeer::makeJpeg(width, height);
    EXPECT_LE(jpeg.size() + 4, size);
    const std::size_t extra = size - jpeg.size() - 4;
    Bytes segment = rawpeer::bytes({ 0xFF, 0xFE, int((extra + 2) >> 8), int((extra + 2) & 0xFF) });
    segment.resize(segment.size() + extra, 'c');
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

Bytes readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

class RtpWire : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path()
                / ("unitsim-rtp-" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder);
        unitsim::Options options;
        options.address = Address;
        options.controlListen = false;
        options.saveFolder = folder.string();
        options.logPath = (folder.string() + ".log");
        std::filesystem::remove(options.logPath);
        unit = std::make_unique<unitsim::UnitSim>(options);
        std::optional<std::string> error = unit->start();
        ASSERT_FALSE(error) << *error;
    }

    void TearDown() override
    {
        unit.reset();
        std::filesystem::remove_all(folder);
        std::filesystem::remove(folder.string() + ".log");
    }

    void send(const std::vector<Bytes> &packets)
    {
        for (const Bytes &packet : packets)
            ASSERT_TRUE(sender.sendTo(Address, 50001, packet));
    }

    bool waitFrames(std::size_t n)
    {
        return unit->waitFor([n](const unitsim::UnitSim &u) { return u.frames().size() >= n; }, 5s);
    }

    std::filesystem::path folder;
    rawpeer::UdpSender sender;
    std::unique_ptr<unitsim::UnitSim> unit;
};

TEST_F(RtpWire, FramesComeBackEqualToWhatWasSentAndAreSaved)
{
    const struct
    {
        int width, height;
        std::size_t size; // 0: as encoded
    } pictures[] = {
        { 1024, 576, 0 }, // many packets
        { 64, 48, 1392 * 3 }, // the last packet full, no padding at all
        { 16, 8, 0 }, // one packet
        { 1030, 20, 0 }, // width not a multiple of 8
    };
    std::vector<Bytes> sent;
    std::uint32_t timestamp = 1000;
    for (const auto &p : pictures) {
        Bytes jpeg = p.size ? jpegOfSize(p.width, p.height, p.size)
                            : rawpeer::makeJpeg(p.width, p.height);
        send(rawpeer::packetize(jpeg, p.width, p.height, timestamp, Ssrc));
        timestamp += 18000;
        sent.push_back(jpeg);
    }
    ASSERT_TRUE(waitFrames(sent.size()));
    std::vector<unitsim::Frame> frames = unit->frames();
    ASSERT_EQ(frames.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(frames[i].valid) << frames[i].problem;
        EXPECT_TRUE(frames[i].complete);
        EXPECT_EQ(frames[i].jpeg, sent[i]);
        EXPECT_TRUE(frames[i].sizeMatches);
        EXPECT_EQ(frames[i].width, pictures[i].width);
        EXPECT_EQ(frames[i].height, pictures[i].height);
        EXPECT_EQ(frames[i].packetCount, (sent[i].size() + 1391) / 1392);
        EXPECT_EQ(frames[i].datagramBytes, frames[i].packetCount * 1412);
        EXPECT_EQ(frames[i].lostPackets, 0u);
        EXPECT_EQ(frames[i].ssrc, Ssrc);
        EXPECT_EQ(readFile(frames[i].savedPath), sent[i]);
    }
    EXPECT_EQ(frames[0].jpeg.size() > 100000, true) << "the big picture spans many packets";
    // Only whole files carry a name: nothing half-written is left beside them.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                      std::filesystem::directory_iterator()),
            std::ptrdiff_t(sent.size()));
    EXPECT_EQ(unit->counters().rtpPacketsRejected, 0);
    EXPECT_EQ(unit->latestFrame()->index, frames.back().index);

    unit->stop();
    std::ifstream log(folder.string() + ".log");
    std::string line;
    int frameLines = 0;
    while (std::getline(log, line))
        frameLines += line.find("\"event\":\"frame\"") != std::string::npos
                && line.find("\"valid\":true") != std::string::npos;
    EXPECT_EQ(frameLines, 4);
}

TEST_F(RtpWire, BrokenPacketsAreReportedAndTheirFrameIsNotValid)
{
    using Packets = std::vector<Bytes>;
    const std::optional<std::string> StaysValid;
    const std::string AnyReason;
    const struct
    {
        const char *name;
        std::function<void(Packets &)> breakIt;
        std::string packetProblem; // first problem of some packet; empty: none expected
        std::optional<std::string> frameProblem; // start of the first frame's problem
    } rows[] = {
        { "payload type", [](Packets &p) { p[1][1] = 96; }, "payload type 96, expected 26",
                "packet 1 refused: payload type 96" },
        { "short payload", [](Packets &p) { p[1].pop_back(); },
                "payload of 1399 bytes, expected 1400", "packet 1 refused" },
        { "long first packet", [](Packets &p) { p[0].push_back(0); },
                "payload of 1401 bytes, expected 1400", AnyReason },
        { "version", [](Packets &p) { p[2][0] = 0x40; }, "RTP version 1, expected 2",
                "packet 2 refused" },
        { "ssrc", [](Packets &p) { p[1][8] = 0x99; }, "SSRC 0x99316241, expected 0x32316241",
                "packet 1 refused" },
        { "sequence gap", [](Packets &p) { p[1][3] = 5; }, "sequence 5, expected 1",
                "packet 5 refused: sequence 5" },
        { "start sequence",
                [](Packets &p) {
                    for (auto &packet : p)
                        packet[3] += 1;
                },
                "sequence 1 at the start of a frame, expected 0", "packet 1 refused" },
        { "offset", [](Packets &p) { p[1][15] ^= 0x01; }, "fragment offset 1393, expected 1392",
                "packet 1 refused" },
        { "header changes", [](Packets &p) { p[2][17] = 50; },
                "JPEG header differs from the frame's first packet", "packet 2 refused" },
        { "marker early", [](Packets &p) { p[0][1] |= 0x80; }, "", "no JPEG end marker" },
        { "marker missing", [](Packets &p) { p.back()[1] &= 0x7F; }, "",
                "ended without a marker packet" },
        { "padding not zero", [](Packets &p) { p.back().back() = 7; }, "",
                "non-zero bytes after the JPEG end marker" },
        { "stray tiny datagram",
                [](Packets &p) {
                    p.insert(p.begin() + 1, rawpeer::bytes({ 0x80, 26, 0, 1, 0 }));
                },
                "datagram of 5 bytes is shorter than an RTP header", StaysValid },
    };
    const Bytes jpeg = rawpeer::makeJpeg(320, 240);
    const Bytes good = rawpeer::makeJpeg(64, 64, 7);
    std::uint32_t timestamp = 5000;
    int expectedValid = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t packetsBefore = unit->rtpPackets().size();
        const std::size_t framesBefore = unit->frames().size();
        Packets broken = rawpeer::packetize(jpeg, 320, 240, timestamp, Ssrc);
        ASSERT_GE(broken.size(), 4u);
        row.breakIt(broken);
        send(broken);
        timestamp += 3000;
        // A good frame behind it always comes through: the receiver recovers.
        send(rawpeer::packetize(good, 64, 64, timestamp, Ssrc));
        timestamp += 3000;
        expectedValid += row.frameProblem ? 1 : 2;
        ASSERT_TRUE(unit->waitFor(
                [&](const unitsim::UnitSim &u) {
                    std::vector<unitsim::Frame> f = u.frames();
                    return f.size() > framesBefore && f.back().jpeg == good;
                },
                5s));
        std::vector<unitsim::Frame> frames = unit->frames();
        EXPECT_TRUE(frames.back().valid) << frames.back().problem;
        ASSERT_GE(frames.size(), framesBefore + 2);
        const unitsim::Frame &first = frames[framesBefore];
        if (row.frameProblem) {
            EXPECT_FALSE(first.valid);
            EXPECT_EQ(first.problem.rfind(*row.frameProblem, 0), 0u) << first.problem;
            EXPECT_TRUE(first.savedPath.empty());
        } else {
            EXPECT_TRUE(first.valid) << first.problem;
        }
        std::vector<unitsim::RtpPacket> packets = unit->rtpPackets();
        bool reported = row.packetProblem.empty();
        for (std::size_t i = packetsBefore; i < packets.size(); ++i) {
            if (!packets[i].problems.empty() && packets[i].problems.front() == row.packetProblem) {
                reported = true;
                EXPECT_FALSE(packets[i].accepted);
            }
        }
        EXPECT_TRUE(reported) << "expected a packet with: " << row.packetProblem;
    }
    EXPECT_EQ(unit->counters().framesValid, expectedValid);
}

TEST_F(RtpWire, PictureOfAnotherSizeThanAnnouncedIsKeptAndNoted)
{
    // The client announces 1024 x 768 (128 x 96 blocks) whatever the picture's own size.
    const Bytes jpeg = rawpeer::makeJpeg(320, 180);
    send(rawpeer::packetize(jpeg, 1024, 768, 42, Ssrc));
    ASSERT_TRUE(waitFrames(1));
    unitsim::Frame frame = unit->frames().at(0);
    EXPECT_TRUE(frame.valid) << frame.problem;
    EXPECT_FALSE(frame.sizeMatches);
    EXPECT_EQ(frame.widthBlocks, 128);
    EXPECT_EQ(frame.heightBlocks, 96);
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 180);
    EXPECT_EQ(frame.jpeg, jpeg);
}

// Packets lost on the way, as a slow link loses them: the gaps in the sequence are counted,
// a repeated packet is no loss, and the bytes of every datagram that came are summed.
TEST_F(RtpWire, LostPacketsOfAFrameAreCounted)
{
    const Bytes jpeg = rawpeer::makeJpeg(640, 480, 3);
    std::vector<Bytes> packets = rawpeer::packetize(jpeg, 640, 480, 77, Ssrc);
    ASSERT_GE(packets.size(), 8u);
    const std::size_t all = packets.size();
    packets.erase(packets.begin() + 5, packets.begin() + 7); // two in the middle
    packets.insert(packets.begin() + 3, packets[2]); // one twice
    packets.erase(packets.begin()); // the first
    send(packets);
    ASSERT_TRUE(waitFrames(1));
    const unitsim::Frame frame = unit->frames().at(0);
    EXPECT_FALSE(frame.valid);
    EXPECT_EQ(frame.lostPackets, 3u);
    EXPECT_EQ(frame.datagramBytes, (all - 3 + 1) * 1412);
}

// An unchanged desktop comes as the same picture again and again: each copy is a whole, valid
// frame, and a copy spoilt after its end marker is still found out.
TEST_F(RtpWire, APictureSentAgainIsCheckedAgain)
{
    const Bytes jpeg = rawpeer::makeJpeg(320, 240, 5);
    std::vector<Bytes> spoilt = rawpeer::packetize(jpeg, 320, 240, 3, Ssrc);
    spoilt.back().back() = 1;
    send(rawpeer::packetize(jpeg, 320, 240, 1, Ssrc));
    send(rawpeer::packetize(jpeg, 320, 240, 2, Ssrc));
    send(spoilt);
    ASSERT_TRUE(waitFrames(3));
    const std::vector<unitsim::Frame> frames = unit->frames();
    for (int i : { 0, 1 }) {
        EXPECT_TRUE(frames[i].valid) << frames[i].problem;
        EXPECT_EQ(frames[i].jpeg, jpeg);
        EXPECT_EQ(frames[i].width, 320);
    }
    EXPECT_FALSE(frames[2].valid);
    EXPECT_EQ(frames[2].problem, "non-zero bytes after the JPEG end marker");
}

// The reader hands the datagrams on and another thread reassembles them: a frame still open
// when the unit stops is recorded all the same, after every packet read before it.
TEST_F(RtpWire, AFrameCutOffByTheStopIsRecordedAfterItsPackets)
{
    const Bytes jpeg = rawpeer::makeJpeg(640, 480, 3);
    std::vector<Bytes> packets = rawpeer::packetize(jpeg, 640, 480, 9, Ssrc);
    ASSERT_GE(packets.size(), 4u);
    packets.resize(packets.size() / 2);
    send(packets);
    ASSERT_TRUE(unit->waitFor(
            [&](const unitsim::UnitSim &u) { return u.rtpPackets().size() == packets.size(); },
            5s));
    unit->stop();
    const std::vector<unitsim::Frame> frames = unit->frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].complete);
    EXPECT_EQ(frames[0].problem, "ended without a marker packet");
    EXPECT_EQ(frames[0].packetCount, packets.size());
}

} // namespace
