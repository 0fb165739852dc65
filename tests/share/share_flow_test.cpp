// The share flow of the real main window against the emulated unit on the real 1920 x 1080
// X screen: the picture size announced on the control channel, frames pulled one by one and
// checked against what is on the screen, the unit's and the user's stops, refusals and silence,
// and logout during a share. Each test has its own unit address (127.0.0.70 to 127.0.0.79).

#include "control_channel.h"
#include "flow_timings.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "mainwindow_state.h"
#include "test_pictures.h"
#include "test_support.h"
#include "unit_sim.h"
#include "unit_window.h"
#include "xcb_screen_source.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include <algorithm>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testsupport::waitUntil;
using unitsim::ControlType;
using unitsim::Direction;

namespace {

const std::string Session = "Zq7x";
const QSize Screen(1920, 1080);
constexpr int GridColumns = 8;
constexpr int GridRows = 4;
const QRect MainWindowPlace(1500, 600, 349, 429);

std::vector<std::uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(std::uint8_t(v));
    return out;
}

// "AC", version 1, the type, the session id's first four bytes reversed, param 1, length.
std::vector<std::uint8_t> header(int type, int length)
{
    return bytes({ 'A', 'C', 1, type, Session[3], Session[2], Session[1], Session[0], 0, 1,
            length >> 8, length & 0xff });
}

std::vector<std::uint8_t> connectMessage(int width, int height)
{
    std::vector<std::uint8_t> message = header(1, 22);
    const auto block = bytes({ 5, // count: five, although six items follow
            1, 1, 0x1A, // payload type 26
            2, 2, 0x1F, 0x40, // 8000
            3, 1, 5, // 5
            4, 2, width >> 8, width & 0xff, // picture width
            5, 2, height >> 8, height & 0xff, // picture height
            8, 1, 1 });
    message.insert(message.end(), block.begin(), block.end());
    return message;
}

// Phases of the share page, as the window's controls show them.
enum class Phase { Idle, Sharing, Streaming, StopSent };

class ShareFlowTest : public ::testing::Test, protected testsupport::UnitWindow
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != "xcb")
            GTEST_SKIP() << "needs the X display of the test run";
        if (QGuiApplication::primaryScreen()->virtualGeometry().size() != Screen)
            GTEST_SKIP() << "needs a 1920 x 1080 screen";
        shortenSharePauses();
        showDesktopContent();
    }

    void TearDown() override { close(); }

    // The whole screen under a grid of known colours, the main window in one corner of it.
    void showDesktopContent()
    {
        desktop = std::make_unique<QLabel>();
        desktop->setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        desktop->setPixmap(
                QPixmap::fromImage(testpictures::colourGrid(Screen, GridColumns, GridRows)));
        desktop->setGeometry(QRect(QPoint(0, 0), Screen));
        desktop->show();
        auto source = capture::XcbScreenSource::open();
        ASSERT_TRUE(source);
        ASSERT_TRUE(waitUntil([&] {
            const auto view = source->grab();
            if (!view)
                return false;
            const QRgb pixel =
                    reinterpret_cast<const QRgb *>(view->data + 135 * view->strideBytes)[120];
            return (pixel & 0xffffff) == (testpictures::blockColour(0, 0).rgb() & 0xffffff);
        }));
    }

    void startUnit(const std::string &address, unitsim::Family family,
            const std::function<void(unitsim::Options &)> &configure = {})
    {
        const auto error = UnitWindow::startUnit(address, family, Session, configure);
        ASSERT_FALSE(error) << *error;
    }

    // Creates the profile through the window's own store, selects it and logs in.
    void logIn(const QString &storedAddress)
    {
        ASSERT_TRUE(openWindow(storedAddress, "1234", MainWindowPlace));
        ASSERT_TRUE(UnitWindow::logIn());
        EXPECT_EQ(strSessionID, QString::fromStdString(Session));
        EXPECT_EQ(phaseProblems(Phase::Idle), "");
    }

    // What differs from the controls of a phase; empty when the window shows that phase.
    std::string phaseProblems(Phase phase) const
    {
        std::string problems;
        const auto visible = [&](const char *name, bool want) {
            QWidget *w = probe->widget<QWidget>(name);
            if (w->isVisibleTo(window.get()) != want)
                problems += std::string(name) + (want ? " hidden; " : " shown; ");
        };
        const auto enabled = [&](const char *name, bool want) {
            if (probe->widget<QWidget>(name)->isEnabled() != want)
                problems += std::string(name) + (want ? " disabled; " : " enabled; ");
        };
        for (const char *name : { "labelConnection", "listViewProfile", "BtnLogin", "BtnAdd",
                     "BtnDel", "BtnEdit", "progressBar", "labelLoginStatus", "QRadioBtnApp",
                     "lineEditApp", "BtnSelectApp" })
            visible(name, false);
        for (const char *name :
                { "labelShare", "QRadioBtnDesktop", "BtnShare", "BtnStop", "BtnLogout" })
            visible(name, true);
        enabled("BtnLogout", true);
        if (!probe->widget<QRadioButton>("QRadioBtnDesktop")->isChecked())
            problems += "desktop not checked; ";
        const bool sharing = phase == Phase::Sharing || phase == Phase::Streaming;
        enabled("QRadioBtnDesktop", !sharing);
        enabled("BtnShare", phase == Phase::Idle);
        enabled("BtnStop", phase == Phase::Streaming);
        visible("labelShareStatus", sharing);
        return problems;
    }

    bool loginPageShown() const
    {
        return !b_loggedIn && button("BtnLogin")->isVisibleTo(window.get())
                && button("BtnLogin")->isEnabled()
                && !button("BtnLogout")->isVisibleTo(window.get());
    }

    int countFromClient(ControlType type) const { return int(fromClient(type).size()); }

    std::string statusText() const
    {
        return probe->widget<QLabel>("labelShareStatus")->text().toStdString();
    }

    // Every frame complete, of the announced size, with the session's SSRC, and showing the
    // grid where the screen shows it (the cells the main window covers left out).
    void expectFramesShowTheScreen(QSize announced) const
    {
        const auto frames = unit->frames();
        ASSERT_FALSE(frames.empty());
        for (const unitsim::Frame &frame : frames) {
            EXPECT_TRUE(frame.valid) << frame.problem;
            EXPECT_EQ(frame.ssrc, unitsim::ssrcOf(Session));
            ASSERT_EQ(QSize(frame.width, frame.height), announced);
        }
        const auto &last = frames.back().jpeg;
        const QImage picture = QImage::fromData(last.data(), int(last.size()), "JPG")
                                       .convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(picture.size(), announced);
        // Cells another window covers now (tests share the screen) are left out; the cells
        // that show the grid on the screen must show it in the frame.
        auto screen = capture::XcbScreenSource::open();
        ASSERT_TRUE(screen);
        const std::optional<capture::PixelView> grab = screen->grab();
        ASSERT_TRUE(grab);
        const auto patchMean = [](auto pixelAt, QPoint centre, int radius) {
            int r = 0, g = 0, b = 0, n = 0;
            for (int y = centre.y() - radius; y <= centre.y() + radius; ++y)
                for (int x = centre.x() - radius; x <= centre.x() + radius; ++x, ++n) {
                    const QRgb p = pixelAt(x, y);
                    r += qRed(p);
                    g += qGreen(p);
                    b += qBlue(p);
                }
            return QColor(r / n, g / n, b / n);
        };
        const auto onScreen = [&](int x, int y) {
            return reinterpret_cast<const QRgb *>(grab->data + y * grab->strideBytes)[x];
        };
        const auto inFrame = [&](int x, int y) { return picture.pixel(x, y); };
        const double scale = double(announced.width()) / Screen.width();
        int checked = 0;
        for (int row = 0; row < GridRows; ++row) {
            for (int column = 0; column < GridColumns; ++column) {
                const QRect cell(column * 240, row * 270, 240, 270);
                const QColor want = testpictures::blockColour(column, row);
                const QColor shown = patchMean(onScreen, cell.center(), 14);
                const bool clean = std::abs(shown.red() - want.red()) <= 2
                        && std::abs(shown.green() - want.green()) <= 2
                        && std::abs(shown.blue() - want.blue()) <= 2;
                if (cell.intersects(MainWindowPlace) || !clean)
                    continue;
                ++checked;
                const QColor got =
                        patchMean(inFrame, (QPointF(cell.center()) * scale).toPoint(), 8);
                EXPECT_NEAR(got.red(), want.red(), 8) << "cell " << column << "," << row;
                EXPECT_NEAR(got.green(), want.green(), 8) << "cell " << column << "," << row;
                EXPECT_NEAR(got.blue(), want.blue(), 8) << "cell " << column << "," << row;
            }
        }
        EXPECT_GE(checked, 12) << "too little of the grid is on the screen";
    }

    // Clicks Share and waits for the unit's share request to have given its first frame.
    void shareAndWaitForStreaming(int framesBefore)
    {
        button("BtnShare")->click();
        ASSERT_TRUE(waitUntil([&] { return unit->counters().framesValid > framesBefore; }));
        ASSERT_TRUE(waitUntil([&] { return button("BtnStop")->isEnabled(); }));
    }

    testsupport::TempHome home;
    testsupport::BoxAnswerer boxes;
    std::unique_ptr<QLabel> desktop;
};

TEST_F(ShareFlowTest, ZmtUnitGetsTheWideBoxAndEveryPullOneFrame)
{
    constexpr int Pulls = 7;
    startUnit(
            "127.0.0.70", unitsim::Family::Zmt, [](unitsim::Options &o) { o.frameBudget = Pulls; });
    logIn("127.0.0.70");
    EXPECT_TRUE(b_zmtFamily);

    button("BtnShare")->click();
    // Share accepted: status shown, Share and the radio button off, Stop off until the unit's
    // own share request arrives (the emulator sends it right after accepting).
    ASSERT_EQ(countFromClient(ControlType::Connect), 1);
    EXPECT_EQ(fromClient(ControlType::Connect)[0].raw, connectMessage(1280, 720));
    ASSERT_EQ(countFromClient(ControlType::Share), 1);
    EXPECT_EQ(fromClient(ControlType::Share)[0].raw, header(2, 0));
    EXPECT_TRUE(phaseProblems(Phase::Sharing) == "" || phaseProblems(Phase::Streaming) == "")
            << phaseProblems(Phase::Sharing);

    // The first frame answers the share request, then one frame per pull and no more.
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesSentReported == Pulls + 1; }));
    // The unit reads the pictures on a thread of its own, which may lag behind the reports.
    EXPECT_TRUE(waitUntil([&] { return unit->counters().framesComplete == Pulls + 1; }));
    testsupport::processEventsFor(200ms);
    const unitsim::Counters counters = unit->counters();
    EXPECT_EQ(counters.nextFramesSent, Pulls);
    EXPECT_EQ(counters.framesSentReported, Pulls + 1);
    EXPECT_EQ(counters.framesComplete, Pulls + 1);
    EXPECT_EQ(counters.framesValid, Pulls + 1);
    EXPECT_EQ(counters.rtpPacketsRejected, 0);
    for (const auto &sent : fromClient(ControlType::FrameSent))
        EXPECT_EQ(sent.raw, header(8, 0));
    expectFramesShowTheScreen({ 1280, 720 });
    EXPECT_EQ(phaseProblems(Phase::Streaming), "");
    // Seven pulls: the dots went 1, 2, 3, 4, 5, 0 and are at 1 again.
    EXPECT_EQ(statusText(), "<font color='#F2F2F2'>Sharing .</font>");

    // The stream goes from the loopback address that routes to this unit, port 50001.
    const auto packets = unit->rtpPackets();
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.front().source, "127.0.0.1:50001");
    EXPECT_EQ(packets.front().payloadType, 26);
    // The payload header announces 1024 x 768 in 8-pixel blocks, whatever the picture's own
    // size (the JPEG and MSG_CONNECT carry that).
    for (const auto &packet : packets) {
        EXPECT_EQ(packet.widthBlocks, 128);
        EXPECT_EQ(packet.heightBlocks, 96);
    }
}

TEST_F(ShareFlowTest, QmtUnitGetsTheStandardBoxAtAPaddedAddress)
{
    constexpr int Pulls = 3;
    startUnit(
            "127.0.0.71", unitsim::Family::Qmt, [](unitsim::Options &o) { o.frameBudget = Pulls; });
    // The stored octets are decimal with leading zeros; control and RTP reach 127.0.0.71.
    logIn("127.000.000.071");
    EXPECT_FALSE(b_zmtFamily);

    shareAndWaitForStreaming(0);
    EXPECT_EQ(fromClient(ControlType::Connect).at(0).raw, connectMessage(1024, 576));
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesSentReported == Pulls + 1; }));
    // The last frame's packets went before its MSG_FRAME_SENT, but the unit's RTP side may
    // take them in a little later than its control side; then no more come.
    EXPECT_TRUE(waitUntil([&] { return unit->counters().framesValid == Pulls + 1; }));
    testsupport::processEventsFor(100ms);
    EXPECT_EQ(unit->counters().framesValid, Pulls + 1);
    expectFramesShowTheScreen({ 1024, 576 });
    EXPECT_EQ(statusText(), "<font color='#F2F2F2'>Sharing ...</font>");
    EXPECT_EQ(unit->rtpPackets().back().widthBlocks, 128);
    EXPECT_EQ(unit->rtpPackets().back().heightBlocks, 96);
}

TEST_F(ShareFlowTest, StopAcceptedThenASecondShareSendsOnlyShare)
{
    startUnit("127.0.0.72", unitsim::Family::Zmt, [](unitsim::Options &o) { o.frameBudget = 2; });
    logIn("127.0.0.72");
    shareAndWaitForStreaming(0);
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesSentReported == 3; }));

    // Stop: the unit accepts at once, yet Share stays off until the answer has been seen
    // after the pause; the stream's session is kept.
    button("BtnStop")->click();
    ASSERT_EQ(countFromClient(ControlType::Stop), 1);
    EXPECT_EQ(fromClient(ControlType::Stop)[0].raw, header(3, 0));
    EXPECT_EQ(phaseProblems(Phase::StopSent), "");
    ASSERT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }));
    EXPECT_EQ(phaseProblems(Phase::Idle), "");
    EXPECT_NE(rtpSession, nullptr);
    const std::uint32_t firstSsrc = unit->frames().front().ssrc;
    const std::string firstSource = unit->rtpPackets().front().source;

    // Pulls after the stop would be ignored; the second share needs no new connection.
    shareAndWaitForStreaming(3);
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesSentReported == 6; }));
    EXPECT_EQ(countFromClient(ControlType::Connect), 1);
    EXPECT_EQ(countFromClient(ControlType::Share), 2);
    EXPECT_EQ(unit->counters().controlConnections, 1);
    EXPECT_EQ(unit->frames().back().ssrc, firstSsrc);
    EXPECT_EQ(unit->rtpPackets().back().source, firstSource);
    EXPECT_EQ(phaseProblems(Phase::Streaming), "");
}

TEST_F(ShareFlowTest, RefusedShareLeavesTheWindowIdle)
{
    startUnit("127.0.0.73", unitsim::Family::Qmt, [](unitsim::Options &o) {
        o.rejectShare = true;
        o.rejectReason = { 0, 0, 0, 7 };
    });
    logIn("127.0.0.73");
    button("BtnShare")->click();
    ASSERT_TRUE(boxes.waitForText("Rejected by remote side"));
    EXPECT_EQ(boxes.boxes().back().title, "Warning");
    EXPECT_EQ(phaseProblems(Phase::Idle), "");
    EXPECT_FALSE(probe->firstImgTimer()->isActive());
    EXPECT_FALSE(probe->sharedImgTimer()->isActive());
    EXPECT_TRUE(b_loggedIn);

    // A share request from the unit now is answered and enables Stop, but sends no picture.
    ASSERT_TRUE(unit->sendShareRequest());
    ASSERT_TRUE(waitUntil([&] { return button("BtnStop")->isEnabled(); }));
    testsupport::processEventsFor(100ms);
    EXPECT_EQ(unit->counters().rtpPackets, 0);
    EXPECT_EQ(countFromClient(ControlType::FrameSent), 0);
    const auto answers = unit->controlMessages();
    EXPECT_TRUE(std::any_of(answers.begin(), answers.end(), [](const auto &m) {
        return m.direction == Direction::FromClient && m.type == 7 && m.answers == 2
                && m.result == 0 && m.raw.size() == 14;
    }));
}

TEST_F(ShareFlowTest, SilentUnitGivesNoResponseAndLogsOut)
{
    timings.waitSteps = 10;
    startUnit("127.0.0.74", unitsim::Family::Zmt,
            [](unitsim::Options &o) { o.silentControl = true; });
    logIn("127.0.0.74");
    button("BtnShare")->click();
    ASSERT_TRUE(boxes.waitForText("No response"));
    ASSERT_TRUE(waitUntil([&] { return loginPageShown(); }));
    EXPECT_EQ(fromClient(ControlType::Connect).at(0).raw, connectMessage(1280, 720));
    EXPECT_EQ(countFromClient(ControlType::Share), 0);
    ASSERT_TRUE(waitUntil([&] { return unit->counters().logouts == 1; }));
    // No acceptance of the connection, so no goodbye on it either; but it is not left open.
    EXPECT_EQ(countFromClient(ControlType::Disconnect), 0);
    EXPECT_EQ(unit->counters().rtpPackets, 0);
    EXPECT_TRUE(waitUntil([&] { return !unit->controlConnected(); }, 1s));
}

// How the unit goes away in the middle of a share.
enum class UnitLeaves { SaysGoodbye, ClosesTheConnection, IsSwitchedOff };

struct LeaveCase
{
    const char *name;
    const char *address;
    UnitLeaves how;
};

class UnitLeavesMidShare : public ShareFlowTest, public ::testing::WithParamInterface<LeaveCase>
{
};

TEST_P(UnitLeavesMidShare, EndsTheShareWithANoticeAndTheNextShareConnectsAnew)
{
    const LeaveCase c = GetParam();
    const auto configure = [&](unitsim::Options &o) {
        if (c.how == UnitLeaves::SaysGoodbye)
            o.disconnectAfterFrames = 3;
        if (c.how == UnitLeaves::ClosesTheConnection)
            o.closeAfterFrames = 3;
    };
    startUnit(c.address, unitsim::Family::Zmt, configure);
    logIn(c.address);
    // The unit may leave before the window has shown the share running: only the end counts.
    button("BtnShare")->click();
    if (c.how == UnitLeaves::IsSwitchedOff) {
        ASSERT_TRUE(waitUntil([&] { return unit->counters().framesValid >= 3; }));
        unit->stop();
    }

    ASSERT_TRUE(boxes.waitForText("The unit ended the connection."));
    EXPECT_FALSE(boxes.boxes().last().modal);
    ASSERT_TRUE(waitUntil([&] { return phaseProblems(Phase::Idle).empty(); }))
            << phaseProblems(Phase::Idle);
    EXPECT_FALSE(b_ctrlReady);
    EXPECT_TRUE(b_loggedIn) << "the session with the unit stays";

    // The unit is back (switched on again, or staying this time): Share opens a new control
    // connection.
    if (c.how == UnitLeaves::IsSwitchedOff)
        startUnit(c.address, unitsim::Family::Zmt);
    unit->updateOptions([](unitsim::Options &o) {
        o.disconnectAfterFrames = -1;
        o.closeAfterFrames = -1;
    });
    const int connectsBefore = countFromClient(ControlType::Connect);
    const int framesBefore = unit->counters().framesValid;
    shareAndWaitForStreaming(framesBefore);
    EXPECT_EQ(countFromClient(ControlType::Connect), connectsBefore + 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, UnitLeavesMidShare,
        ::testing::Values(LeaveCase{ "Goodbye", "127.0.0.77", UnitLeaves::SaysGoodbye },
                LeaveCase{ "Close", "127.0.0.78", UnitLeaves::ClosesTheConnection },
                LeaveCase{ "SwitchedOff", "127.0.0.102", UnitLeaves::IsSwitchedOff }),
        [](const ::testing::TestParamInfo<LeaveCase> &info) { return info.param.name; });

TEST_F(ShareFlowTest, UnitStopEndsFramesUntilTheNextShare)
{
    startUnit("127.0.0.75", unitsim::Family::Zmt, [](unitsim::Options &o) { o.frameBudget = 2; });
    logIn("127.0.0.75");
    shareAndWaitForStreaming(0);
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesSentReported == 3; }));

    // The unit stops the share. Share comes back after the first pause, Stop goes off after
    // the second one; the window is blocked in between, so only the total shows.
    QElapsedTimer sinceStop;
    sinceStop.start();
    ASSERT_TRUE(unit->sendStop());
    ASSERT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }, 3s));
    ASSERT_TRUE(waitUntil([&] { return !button("BtnStop")->isEnabled(); }, 3s));
    EXPECT_GE(sinceStop.elapsed(), timings.stopPauseMs + timings.peerStopPauseMs);
    EXPECT_TRUE(b_shareStopped);
    EXPECT_EQ(phaseProblems(Phase::Idle), "");
    EXPECT_EQ(countFromClient(ControlType::Stop), 0) << "the unit's stop needs no stop back";
    const int framesAtStop = unit->counters().framesValid;
    EXPECT_EQ(framesAtStop, 3);

    // Pulls now give nothing, not even a frame-sent message.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(unit->sendNextFrame());
    testsupport::processEventsFor(200ms);
    EXPECT_EQ(unit->counters().framesValid, framesAtStop);
    EXPECT_EQ(countFromClient(ControlType::FrameSent), 3);

    // The user shares again: the unit's next share request brings the frames back.
    shareAndWaitForStreaming(framesAtStop);
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesValid == framesAtStop + 3; }));
    EXPECT_EQ(phaseProblems(Phase::Streaming), "");
}

TEST_F(ShareFlowTest, LogoutDuringAShareStopsDisconnectsThenLogsOut)
{
    startUnit("127.0.0.76", unitsim::Family::Qmt);
    logIn("127.0.0.76");
    shareAndWaitForStreaming(0);
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesValid >= 5; }));

    button("BtnLogout")->click();
    ASSERT_TRUE(waitUntil([&] { return loginPageShown(); }));
    ASSERT_TRUE(waitUntil([&] { return unit->counters().logouts == 1; }));
    EXPECT_EQ(rtpSession, nullptr);

    // Stop, goodbye, logout request: in that order on the two wires.
    const auto stops = fromClient(ControlType::Stop);
    const auto goodbyes = fromClient(ControlType::Disconnect);
    ASSERT_EQ(stops.size(), 1u);
    ASSERT_EQ(goodbyes.size(), 1u);
    EXPECT_EQ(goodbyes[0].raw, header(4, 0));
    // The two wires are handled by two threads of the unit: the kernel's arrival times order
    // them as sent.
    std::optional<std::int64_t> logoutUs;
    for (const auto &request : unit->httpRequests())
        if (request.command == unitsim::Command::Logout)
            logoutUs = request.arrivedUs;
    const auto all = unit->controlMessages();
    const auto position = [&](ControlType type) {
        return std::find_if(all.begin(), all.end(), [&](const auto &m) {
            return m.direction == Direction::FromClient && m.type == std::uint8_t(type);
        }) - all.begin();
    };
    EXPECT_LT(position(ControlType::Stop), position(ControlType::Disconnect));
    ASSERT_TRUE(stops[0].arrivedUs && goodbyes[0].arrivedUs && logoutUs);
    EXPECT_LE(*stops[0].arrivedUs, *goodbyes[0].arrivedUs);
    EXPECT_LE(*goodbyes[0].arrivedUs, *logoutUs);

    // Every frame came before the stop, and nothing follows the logout on the picture stream
    // (once the frames still in flight have been read by the unit).
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].type == std::uint8_t(ControlType::FrameSent)) {
            EXPECT_LT(std::ptrdiff_t(i), position(ControlType::Stop));
        }
    }
    ASSERT_TRUE(waitUntil([&] {
        const auto c = unit->counters();
        return c.framesComplete == c.framesSentReported;
    }));
    const int packetsAtLogout = unit->counters().rtpPackets;
    testsupport::processEventsFor(200ms);
    EXPECT_EQ(unit->counters().rtpPackets, packetsAtLogout);
}

} // namespace
