// The path of a pulled picture without a window: capture into the pump's frame, the login's
// RTP link to the unit, the report on the control channel.

#include "control_channel.h"
#include "desktop_capture.h"
#include "frame_pump.h"
#include "test_pictures.h"
#include "unit_sim.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using frames::Capture;
using frames::FramePump;

namespace {

const std::string Address = "127.0.0.103";
const QString Session = "Ab12";

class FramePumpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        unitsim::Options options;
        options.address = Address;
        options.sessionId = Session.toStdString();
        options.autoShareRequest = false;
        unit = std::make_unique<unitsim::UnitSim>(options);
        const auto error = unit->start();
        ASSERT_FALSE(error) << *error;
    }

    void TearDown() override
    {
        pump.release();
        control::stopChannel();
    }

    // A desktop picture in the unit's box, as the window's desktop path makes it.
    FramePump::CaptureStep desktopPicture()
    {
        return [this](capture::Frame &frame) {
            return desktop.captureFrame({ 1024, 576 }, frame) ? Capture::Picture
                                                              : Capture::NoPicture;
        };
    }

    bool framesArrive(std::size_t count)
    {
        return unit->waitFor(
                [&](const unitsim::UnitSim &u) { return u.frames().size() >= count; }, 5s);
    }

    std::unique_ptr<unitsim::UnitSim> unit;
    capture::DesktopCapture desktop{ std::make_unique<capture::ImageScreenSource>(
            testpictures::photoLike({ 1920, 1080 })) };
    QByteArray mirror;
    FramePump pump{ &mirror };
};

TEST_F(FramePumpTest, PicturesGoOverOneLinkPerLoginAndAreReported)
{
    ASSERT_GT(control::connectChannel(Address.c_str(), 50000, {}, "Ab12", 2), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(pump.pull(QString::fromStdString(Address), Session, desktopPicture()), 1);
        pump.reportSent(Session);
    }
    ASSERT_TRUE(framesArrive(3));
    const frames::RtpLink *link = pump.link();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->localAddress(), "127.0.0.1");
    EXPECT_EQ(pump.frame().size, QSize(1024, 576));
    EXPECT_EQ(mirror, pump.frame().jpeg) << "the window's jpegImg mirrors the last picture";

    for (const unitsim::Frame &frame : unit->frames()) {
        EXPECT_TRUE(frame.valid) << frame.problem;
        EXPECT_EQ(QSize(frame.width, frame.height), QSize(1024, 576));
        EXPECT_EQ(frame.ssrc, unitsim::ssrcOf("Ab12"));
        // The payload header announces 1024 x 768 whatever the picture's size.
        EXPECT_EQ(frame.widthBlocks, 128);
        EXPECT_EQ(frame.heightBlocks, 96);
    }
    ASSERT_TRUE(unit->waitFor(
            [](const unitsim::UnitSim &u) { return u.counters().framesSentReported == 3; }, 5s));

    // Logout releases the link; the next login's first picture makes a new one.
    pump.release();
    EXPECT_EQ(pump.link(), nullptr);
    EXPECT_EQ(pump.session(), nullptr);
    ASSERT_EQ(pump.pull(QString::fromStdString(Address), Session, desktopPicture()), 1);
    EXPECT_NE(pump.session(), nullptr);
    EXPECT_TRUE(framesArrive(4));
}

TEST_F(FramePumpTest, NothingIsSentWithoutAPicture)
{
    ASSERT_EQ(pump.pull(QString::fromStdString(Address), Session, desktopPicture()), 1);
    ASSERT_TRUE(framesArrive(1));
    const QByteArray last = mirror;

    // A closed window or a failed grab: nothing goes out, the last picture stays the mirror's.
    EXPECT_EQ(pump.pull(QString::fromStdString(Address), Session,
                      [](capture::Frame &) { return Capture::NoPicture; }),
            1);
    // The shared surface is gone: the share ends.
    EXPECT_EQ(pump.pull(QString::fromStdString(Address), Session,
                      [](capture::Frame &) { return Capture::NothingToShare; }),
            0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(unit->counters().rtpPackets, int(unit->rtpPackets().size()));
    EXPECT_EQ(unit->frames().size(), 1u);
    EXPECT_EQ(mirror, last);
}

// A picture leaves on the pump's own thread; its outcome comes back through the event loop,
// and never for a picture a stop path cancelled.
TEST_F(FramePumpTest, OutcomesComeBackThroughTheEventLoopUnlessCancelled)
{
    int argc = 1;
    char name[] = "frame_pump_tests";
    char *argv[] = { name, nullptr };
    QCoreApplication app(argc, argv);
    std::vector<frames::SendOutcome> outcomes;
    pump.onFrameLeft([&](frames::SendOutcome outcome) { outcomes.push_back(outcome); });
    const auto processEventsFor = [](int ms, const std::function<bool()> &done) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    };

    ASSERT_EQ(pump.pull(QString::fromStdString(Address), Session, desktopPicture()), 1);
    EXPECT_TRUE(pump.sending());
    processEventsFor(5000, [&] { return !outcomes.empty(); });
    ASSERT_EQ(outcomes, std::vector{ frames::SendOutcome::Sent });
    EXPECT_FALSE(pump.sending());
    EXPECT_TRUE(framesArrive(1));

    ASSERT_EQ(pump.pull(QString::fromStdString(Address), Session, desktopPicture()), 1);
    pump.cancel();
    EXPECT_FALSE(pump.sending());
    processEventsFor(300, [] { return false; });
    EXPECT_EQ(outcomes.size(), 1u) << "a cancelled picture is not reported";

    // Nothing to send: nothing leaves, nothing to wait for.
    EXPECT_EQ(pump.pull(QString::fromStdString(Address), Session,
                      [](capture::Frame &) { return Capture::NoPicture; }),
            1);
    EXPECT_FALSE(pump.sending());
}

TEST_F(FramePumpTest, PaddedOctetsReachTheUnit)
{
    ASSERT_EQ(pump.pull("127.000.000.103", Session, desktopPicture()), 1);
    ASSERT_TRUE(framesArrive(1));
    EXPECT_EQ(pump.link()->unitAddress(), "127.0.0.103");
}

} // namespace
