// Sharing one monitor of a divided X screen with the emulated unit: an Xvfb of the test's own
// whose 3840 x 1080 screen is two 1920 x 1080 monitors, each painted its own colour on the root
// window, the real main window (offscreen) logged in to the unit. Each test has its own unit
// address (127.0.0.190 to 127.0.0.193).

#include "flow_timings.h"
#include "mainwindow_state.h"
#include "monitor_display.h"
#include "test_support.h"
#include "unit_sim.h"
#include "unit_window.h"
#include "x_painter.h"

#include <QComboBox>
#include <QImage>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>
#include <memory>

using namespace std::chrono_literals;
using testsupport::waitUntil;
using unitsim::ControlType;

namespace {

const std::string Session = "Mq4w";
const QRect Left(0, 0, 1920, 1080);
const QRect Right(1920, 0, 1920, 1080);
constexpr QRgb LeftColour = 0xffc03020;
constexpr QRgb RightColour = 0xff2050c0;

bool near(QRgb a, QRgb b)
{
    constexpr int Tolerance = 12; // JPEG
    return std::abs(qRed(a) - qRed(b)) <= Tolerance && std::abs(qGreen(a) - qGreen(b)) <= Tolerance
            && std::abs(qBlue(a) - qBlue(b)) <= Tolerance;
}

class MonitorShareTest : public ::testing::Test, protected testsupport::UnitWindow
{
protected:
    void SetUp() override
    {
        if (!display.error().isEmpty())
            GTEST_SKIP() << display.error().toStdString();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path() + "/.config");
        shortenSharePauses();
        ASSERT_TRUE(display.setMonitor("LEFT", Left));
        ASSERT_TRUE(display.setMonitor("RIGHT", Right));
        painter = std::make_unique<testsupport::Painter>();
        ASSERT_TRUE(painter->ok());
        painter->fill(painter->root(), Left, LeftColour);
        painter->fill(painter->root(), Right, RightColour);
    }

    void TearDown() override
    {
        close();
        painter.reset();
    }

    void logInTo(const std::string &address)
    {
        const auto error = startUnit(address, unitsim::Family::Qmt, Session);
        ASSERT_FALSE(error) << *error;
        ASSERT_TRUE(openWindow(QString::fromStdString(address)));
        ASSERT_TRUE(logIn());
    }

    QComboBox *choice() const { return probe->widget<QComboBox>("comboMonitor"); }

    // Picks a line of the drop-down as the keyboard does.
    void choose(const QString &text)
    {
        QComboBox *box = choice();
        ASSERT_TRUE(box->isVisible());
        const int index = box->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Home);
        for (int i = 0; i < index; ++i)
            QTest::keyClick(box, Qt::Key_Down);
        ASSERT_EQ(box->currentText(), text);
    }

    void shareAndWaitForStreaming(int framesBefore)
    {
        button("BtnShare")->click();
        ASSERT_TRUE(waitUntil([&] { return unit->counters().framesValid > framesBefore + 2; }));
        ASSERT_TRUE(waitUntil([&] { return button("BtnStop")->isEnabled(); }));
    }

    // The frames from the index on: all valid, of the announced size, showing one colour in
    // `area` (the whole frame unless given) and black around it.
    void expectFramesShow(
            std::size_t from, QSize announced, QRgb colour, QRect area = QRect()) const
    {
        if (area.isNull())
            area = QRect(QPoint(0, 0), announced);
        const auto frames = unit->frames();
        ASSERT_GT(frames.size(), from);
        for (std::size_t i = from; i < frames.size(); ++i) {
            const unitsim::Frame &frame = frames[i];
            EXPECT_TRUE(frame.valid) << frame.problem;
            ASSERT_EQ(QSize(frame.width, frame.height), announced) << "frame " << frame.index;
            const QImage picture =
                    QImage::fromData(frame.jpeg.data(), int(frame.jpeg.size()), "JPG");
            const QRect inside = area.adjusted(4, 4, -4, -4);
            std::vector<std::pair<QPoint, QRgb>> expected = { { inside.topLeft(), colour },
                { inside.topRight(), colour }, { inside.center(), colour },
                { inside.bottomLeft(), colour } };
            if (area.left() > 0)
                expected.push_back({ QPoint(area.left() / 2, area.center().y()), qRgb(0, 0, 0) });
            if (area.right() < announced.width() - 1)
                expected.push_back(
                        { QPoint((area.right() + announced.width()) / 2, area.center().y()),
                                qRgb(0, 0, 0) });
            for (const auto &[at, seen] : expected)
                EXPECT_TRUE(near(picture.pixel(at), seen))
                        << "frame " << frame.index << " at " << at.x() << "," << at.y() << ": "
                        << std::hex << picture.pixel(at);
        }
    }

    testsupport::TempHome home;
    testsupport::BoxAnswerer boxes;
    testsupport::MonitorDisplay display{ QSize(3840, 1080) };
    std::unique_ptr<testsupport::Painter> painter;
};

TEST_F(MonitorShareTest, TheUnitGetsTheChosenMonitorAtItsAnnouncedSize)
{
    logInTo("127.0.0.190");
    choose("RIGHT, 1920 x 1080");
    shareAndWaitForStreaming(0);

    // The monitor's size decides the box: 1024 x 576, not the whole screen's 1024 x 288.
    const auto connects = fromClient(ControlType::Connect);
    ASSERT_EQ(connects.size(), 1u);
    ASSERT_TRUE(connects[0].items);
    EXPECT_EQ(connects[0].items->item4, 1024);
    EXPECT_EQ(connects[0].items->item5, 576);
    expectFramesShow(0, QSize(1024, 576), RightColour);

    // Stop, the other monitor, Share again on the same connection: its pixels, the same size.
    button("BtnStop")->click();
    ASSERT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }));
    EXPECT_TRUE(choice()->isEnabled());
    choose("LEFT, 1920 x 1080");
    testsupport::processEventsFor(100ms);
    const std::size_t before = unit->frames().size();
    shareAndWaitForStreaming(int(before));
    EXPECT_EQ(fromClient(ControlType::Connect).size(), 1u);
    expectFramesShow(before + 1, QSize(1024, 576), LeftColour);

    // All screens on the same connection: both colours side by side, scaled into the same size
    // keeping their shape, black above and below.
    button("BtnStop")->click();
    ASSERT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }));
    choose("All screens");
    testsupport::processEventsFor(100ms);
    const std::size_t whole = unit->frames().size();
    shareAndWaitForStreaming(int(whole));
    const std::optional<unitsim::Frame> latest = unit->latestFrame();
    ASSERT_TRUE(latest);
    const unitsim::Frame &last = *latest;
    ASSERT_EQ(QSize(last.width, last.height), QSize(1024, 576));
    const QImage picture = QImage::fromData(last.jpeg.data(), int(last.jpeg.size()), "JPG");
    EXPECT_TRUE(near(picture.pixel(100, 300), LeftColour)) << std::hex << picture.pixel(100, 300);
    EXPECT_TRUE(near(picture.pixel(900, 300), RightColour)) << std::hex << picture.pixel(900, 300);
    EXPECT_TRUE(near(picture.pixel(512, 60), qRgb(0, 0, 0))) << std::hex << picture.pixel(512, 60);
}

TEST_F(MonitorShareTest, TheMonitorGoingMidShareEndsTheShareWithABox)
{
    logInTo("127.0.0.191");
    choose("RIGHT, 1920 x 1080");
    shareAndWaitForStreaming(0);
    ASSERT_TRUE(display.removeMonitor("RIGHT"));

    ASSERT_TRUE(boxes.waitForText("The shared screen is gone."));
    EXPECT_EQ(boxes.boxes().back().title, "Warning");
    EXPECT_EQ(boxes.texts().count("The shared screen is gone."), 1);
    // Stopped as Stop does: the unit is told, the frame timers are off, Share is back.
    EXPECT_TRUE(waitUntil([&] { return !fromClient(ControlType::Stop).empty(); }));
    EXPECT_FALSE(probe->firstImgTimer()->isActive());
    EXPECT_FALSE(probe->sharedImgTimer()->isActive());
    EXPECT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }));
    EXPECT_TRUE(b_loggedIn);
    // The drop-down lists what is left.
    EXPECT_EQ(choice()->count(), 2);
    EXPECT_EQ(choice()->currentText(), "All screens");

    // The next Share shares all screens, at the size announced before.
    const std::size_t before = unit->frames().size();
    shareAndWaitForStreaming(int(before));
    const std::optional<unitsim::Frame> latest = unit->latestFrame();
    ASSERT_TRUE(latest);
    EXPECT_EQ(QSize(latest->width, latest->height), QSize(1024, 576));
}

TEST_F(MonitorShareTest, ANewResolutionOfTheMonitorKeepsTheShareAtItsSize)
{
    logInTo("127.0.0.193");
    choose("RIGHT, 1920 x 1080");
    shareAndWaitForStreaming(0);
    painter->fill(painter->root(), QRect(1920 + 1280, 0, 640, 1080), LeftColour);

    // The monitor now shows 1280 x 1024 of the screen: only blue, in the 1024 x 576 the unit
    // was told rather than its own 960 x 768, keeping its shape with black at the sides.
    ASSERT_TRUE(display.setMonitor("RIGHT", QRect(1920, 0, 1280, 1024)));
    testsupport::processEventsFor(200ms);
    const std::size_t before = unit->frames().size();
    ASSERT_TRUE(waitUntil([&] { return unit->frames().size() > before + 3; }));
    expectFramesShow(before, QSize(1024, 576), RightColour, QRect(152, 0, 720, 576));
    EXPECT_TRUE(probe->firstImgTimer()->isActive());
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join('|').toStdString();
    EXPECT_TRUE(fromClient(ControlType::Stop).empty());
}

TEST_F(MonitorShareTest, AMonitorGoneBeforeShareIsNotShared)
{
    logInTo("127.0.0.192");
    choose("RIGHT, 1920 x 1080");
    ASSERT_TRUE(display.removeMonitor("RIGHT"));
    button("BtnShare")->click();
    ASSERT_TRUE(boxes.waitForText("The shared screen is gone."));
    // Nothing reached the unit: no connection, no share, no picture.
    testsupport::processEventsFor(200ms);
    EXPECT_TRUE(fromClient(ControlType::Connect).empty());
    EXPECT_EQ(unit->counters().rtpPackets, 0);
    EXPECT_TRUE(button("BtnShare")->isEnabled());
    EXPECT_EQ(choice()->currentText(), "All screens");
}

} // namespace
