// An application share end to end: the window chosen in the picker, shared to the emulated
// unit, its frames read back from the unit; and the chosen window closing during the share or
// missing at its start. Units on 127.0.0.90 to 127.0.0.93.

#include "control_channel.h"
#include "dlg_tasklist.h"
#include "flow_timings.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "mainwindow_state.h"
#include "test_support.h"
#include "test_windows.h"
#include "unit_sim.h"
#include "unit_window.h"

#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

using namespace testsupport;
using testwindows::TestDisplay;
using testwindows::uniqueTitle;
using unitsim::ControlType;

namespace {

const std::string Session = "Wn5k";
constexpr std::uint32_t Red = 0xff0000;
constexpr std::uint32_t Blue = 0x0000ff;

class AppShareTest : public ::testing::Test, protected testsupport::UnitWindow
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY") || !display.isOpen())
            GTEST_SKIP() << "needs an X display (run under Xvfb)";
        timings.waitStepMs = 20;
        timings.connectTimeoutS = 1;
        timings.stopPauseMs = 50;
        timings.peerStopPauseMs = 50;
        timings.logoutStopPauseMs = 20;
    }

    void TearDown() override { close(); }

    // The unit, a logged-in window with the application choice shown and checked.
    void logIn(const std::string &address, int frameBudget = -1)
    {
        const auto error = startUnit(address, unitsim::Family::Qmt, Session,
                [&](unitsim::Options &o) { o.frameBudget = frameBudget; });
        ASSERT_FALSE(error) << *error;
        ASSERT_TRUE(openWindow(QString::fromStdString(address)));
        ASSERT_TRUE(UnitWindow::logIn());

        for (const char *name : { "QRadioBtnApp", "lineEditApp", "BtnSelectApp" })
            probe->widget<QWidget>(name)->show();
        probe->widget<QRadioButton>("QRadioBtnApp")->click();
    }

    // Chooses the title in the picker and presses OK.
    void choose(const QString &wanted)
    {
        boxes.dialogHandler = [&](QWidget *dialog) {
            auto *picker = qobject_cast<dlgTasklist *>(dialog);
            if (!picker)
                return false;
            auto *list = picker->findChild<QListView *>("QTasklist");
            const int row = int(windowTitleList.indexOf(wanted));
            if (row >= 0)
                list->setCurrentIndex(list->model()->index(row, 0));
            picker->findChild<QPushButton *>("BtnOk")->click();
            return true;
        };
        button("BtnSelectApp")->click();
        ASSERT_EQ(strAppTitle, wanted);
        ASSERT_TRUE(button("BtnShare")->isEnabled());
    }

    std::uint32_t createTwoColourWindow(QSize size)
    {
        const std::uint32_t shared = display.create(
                { .title = title, .geometry = QRect(QPoint(880, 420), size), .colour = Red });
        display.addChild(shared,
                QRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height()), Blue);
        return shared;
    }

    int countFromClient(ControlType type) const { return int(fromClient(type).size()); }

    // The share page as a stopped share leaves it, with the application choice checked.
    void expectShareControlsBack(bool stopDisabled = true) const
    {
        EXPECT_TRUE(waitUntil([&] { return button("BtnShare")->isEnabled(); }));
        if (stopDisabled) {
            EXPECT_FALSE(button("BtnStop")->isEnabled());
        }
        EXPECT_TRUE(probe->widget<QWidget>("QRadioBtnApp")->isEnabled());
        EXPECT_TRUE(probe->widget<QWidget>("QRadioBtnDesktop")->isEnabled());
        EXPECT_TRUE(button("BtnSelectApp")->isEnabled());
    }

    TestDisplay display;
    const QString title = uniqueTitle("app share");
    TempHome home;
    BoxAnswerer boxes;
};

struct ShareCase
{
    const char *address;
    QSize window;
    QSize frame;
};

void PrintTo(const ShareCase &c, std::ostream *os)
{
    *os << c.window.width() << "x" << c.window.height() << " on " << c.address;
}

class AppShareSizeTest : public AppShareTest, public ::testing::WithParamInterface<ShareCase>
{
};

TEST_P(AppShareSizeTest, UnitSeesTheChosenWindowScaledIntoTheBox)
{
    constexpr int Pulls = 3;
    const std::uint32_t shared = createTwoColourWindow(GetParam().window);
    logIn(GetParam().address, Pulls);
    choose(title);

    button("BtnShare")->click();
    EXPECT_EQ(shareMode, 1);
    EXPECT_EQ(selectedHwnd, shared) << "looked up again when the share started";
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesSentReported == Pulls + 1; }));
    // The pictures travel over UDP, the reports over TCP: the last picture may come second.
    EXPECT_TRUE(waitUntil([&] { return unit->counters().framesComplete == Pulls + 1; }))
            << unit->summary();

    const auto frames = unit->frames();
    ASSERT_EQ(int(frames.size()), Pulls + 1);
    for (const unitsim::Frame &frame : frames) {
        EXPECT_TRUE(frame.valid) << frame.problem;
        EXPECT_EQ(frame.ssrc, unitsim::ssrcOf(Session));
        EXPECT_EQ(QSize(frame.width, frame.height), GetParam().frame);
    }
    const auto &jpeg = frames.back().jpeg;
    const QImage picture = QImage::fromData(jpeg.data(), int(jpeg.size()), "JPG");
    ASSERT_EQ(picture.size(), GetParam().frame);
    const int y = picture.height() / 2;
    const QRgb left = picture.pixel(picture.width() / 4, y);
    const QRgb right = picture.pixel(picture.width() * 3 / 4, y);
    EXPECT_GT(qRed(left), 200);
    EXPECT_LT(qBlue(left), 60);
    EXPECT_GT(qBlue(right), 200);
    EXPECT_LT(qRed(right), 60);
    EXPECT_TRUE(boxes.boxes().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, AppShareSizeTest,
        ::testing::Values(ShareCase{ "127.0.0.90", { 800, 600 }, { 1024, 768 } },
                ShareCase{ "127.0.0.91", { 1000, 400 }, { 1024, 409 } }),
        [](const ::testing::TestParamInfo<ShareCase> &info) {
            return std::to_string(info.param.window.width()) + "x"
                    + std::to_string(info.param.window.height());
        });

TEST_F(AppShareTest, ChosenWindowClosedDuringTheShare)
{
    const std::uint32_t shared = createTwoColourWindow({ 400, 300 });
    logIn("127.0.0.92");
    choose(title);
    button("BtnShare")->click();
    ASSERT_TRUE(waitUntil([&] { return unit->counters().framesValid >= 3; }));

    display.destroy(shared);
    ASSERT_TRUE(boxes.waitForText("The selected application is close"));
    EXPECT_TRUE(b_shareStopped);
    EXPECT_FALSE(boxes.boxes().first().modal);
    expectShareControlsBack();

    const int framesAfterClose = unit->counters().framesComplete;
    processEventsFor(300ms);
    EXPECT_EQ(unit->counters().framesComplete, framesAfterClose) << "sent after the close";
    EXPECT_EQ(boxes.texts().count("The selected application is close"), 1);
}

TEST_F(AppShareTest, NoWindowWithTheTitleAtTheFirstFrame)
{
    const std::uint32_t shared = createTwoColourWindow({ 400, 300 });
    logIn("127.0.0.93");
    choose(title);
    display.destroy(shared);

    button("BtnShare")->click();
    ASSERT_TRUE(boxes.waitForText("The selected application does not exist"));
    EXPECT_TRUE(b_shareStopped);
    EXPECT_FALSE(boxes.boxes().first().modal);
    EXPECT_TRUE(waitUntil([&] { return countFromClient(ControlType::FrameSent) == 1; }))
            << "the unit is still told that the frame is done";
    EXPECT_TRUE(waitUntil([&] { return countFromClient(ControlType::Stop) == 1; }));
    // Stop is left to the race between the stop and the unit's share request, which may
    // enable it after the stop.
    expectShareControlsBack(false);
    EXPECT_EQ(unit->counters().rtpPackets, 0);
}

} // namespace
