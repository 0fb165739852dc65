// The application-window path of the frame capture over real X windows: the look-up by title,
// the picture scaled into 1024 x 768, and what happens when the window is gone.

#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "mainwindow_state.h"
#include "test_support.h"
#include "test_windows.h"
#include "window_system.h"

#include <QImage>

#include <gtest/gtest.h>

using namespace testsupport;
using testwindows::TestDisplay;
using testwindows::uniqueTitle;

namespace {

constexpr std::uint32_t Red = 0xff0000;
constexpr std::uint32_t Blue = 0x0000ff;

bool near(QRgb actual, QRgb expected)
{
    const int tolerance = 40; // JPEG colours drift a little, most of all at edges
    return std::abs(qRed(actual) - qRed(expected)) <= tolerance
            && std::abs(qGreen(actual) - qGreen(expected)) <= tolerance
            && std::abs(qBlue(actual) - qBlue(expected)) <= tolerance;
}

class WindowFrameTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY") || !display.isOpen())
            GTEST_SKIP() << "needs an X display (run under Xvfb)";
        shareMode = 1;
        strIP.clear(); // no unit: the frame is made but not sent
        selectedHwnd = 0;
        strAppTitle = title;
        b_shareStopped = false;
        b_triggerBtnStop = false;
        jpegImg.clear();
    }

    // A window of the given size, red on its left half and blue on its right, on top of the
    // others and away from the corner where windows open by default.
    std::uint32_t createTwoColourWindow(QSize size)
    {
        const std::uint32_t window = display.create(
                { .title = title, .geometry = QRect(QPoint(880, 420), size), .colour = Red });
        display.addChild(window,
                QRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height()), Blue);
        return window;
    }

    QImage sentPicture() const { return QImage::fromData(jpegImg, "JPG"); }

    void expectStoppedWith(const QString &text)
    {
        EXPECT_TRUE(b_shareStopped);
        EXPECT_TRUE(b_triggerBtnStop);
        ASSERT_TRUE(answers.waitForText(text));
        EXPECT_FALSE(answers.boxes().first().modal) << "the box must not block the frames";
    }

    TestDisplay display;
    const QString title = uniqueTitle("shared window");
    TempHome home;
    MainWindow window;
    BoxAnswerer answers;
};

struct ScaleCase
{
    QSize window;
    QSize sent;
};

void PrintTo(const ScaleCase &c, std::ostream *os)
{
    *os << c.window.width() << "x" << c.window.height() << " to " << c.sent.width() << "x"
        << c.sent.height();
}

class WindowScaleTest : public WindowFrameTest, public ::testing::WithParamInterface<ScaleCase>
{
};

TEST_P(WindowScaleTest, SendsTheWindowScaledIntoTheBox)
{
    const std::uint32_t shared = createTwoColourWindow(GetParam().window);
    display.raise(shared);

    EXPECT_EQ(window.captureSelectedWindowFrame(), 1);
    EXPECT_EQ(selectedHwnd, shared) << "looked up by its title";

    const QImage sent = sentPicture();
    ASSERT_FALSE(sent.isNull()) << "no JPEG file in jpegImg";
    EXPECT_EQ(sent.size(), GetParam().sent);
    const int y = sent.height() / 2;
    EXPECT_TRUE(near(sent.pixel(sent.width() / 4, y), qRgb(255, 0, 0)));
    EXPECT_TRUE(near(sent.pixel(sent.width() * 3 / 4, y), qRgb(0, 0, 255)));
    EXPECT_FALSE(b_shareStopped);
    EXPECT_FALSE(b_triggerBtnStop);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WindowScaleTest,
        ::testing::Values(ScaleCase{ { 800, 600 }, { 1024, 768 } },
                ScaleCase{ { 1000, 400 }, { 1024, 409 } }, ScaleCase{ { 300, 600 }, { 384, 768 } }),
        [](const ::testing::TestParamInfo<ScaleCase> &info) {
            return std::to_string(info.param.window.width()) + "x"
                    + std::to_string(info.param.window.height());
        });

TEST_F(WindowFrameTest, ClosedWindowStopsTheShareAndSendsNothing)
{
    const std::uint32_t shared = createTwoColourWindow({ 400, 300 });
    ASSERT_EQ(window.captureSelectedWindowFrame(), 1);
    const QByteArray lastFrame = jpegImg;
    ASSERT_FALSE(lastFrame.isEmpty());

    display.destroy(shared);
    EXPECT_EQ(window.captureSelectedWindowFrame(), 1);
    expectStoppedWith("The selected application is close");
    EXPECT_EQ(jpegImg, lastFrame) << "nothing new was encoded";
}

TEST_F(WindowFrameTest, MissingWindowStopsTheShare)
{
    EXPECT_EQ(window.captureSelectedWindowFrame(), 0);
    EXPECT_EQ(selectedHwnd, 0u);
    EXPECT_TRUE(jpegImg.isEmpty());
    expectStoppedWith("The selected application does not exist");
}

TEST_F(WindowFrameTest, ThumbnailProxyIsGrabbedFromAnEmptyRectangle)
{
    const std::uint32_t proxy = display.create(
            { .title = title, .wmClass = QByteArrayLiteral("thumb\0TabThumbnailWindow\0") });
    EXPECT_EQ(window.captureSelectedWindowFrame(), 1);
    EXPECT_EQ(selectedHwnd, proxy) << "looked up again by title";
    // The empty grab gives one black pixel, which fills the box's height.
    EXPECT_EQ(sentPicture().size(), QSize(768, 768));
    EXPECT_FALSE(b_shareStopped);
}

TEST_F(WindowFrameTest, DesktopWindowIsNotCaptured)
{
    selectedHwnd = x11::WindowSystem().desktopWindow();
    ASSERT_NE(selectedHwnd, 0u);
    EXPECT_EQ(window.captureSelectedWindowFrame(), 0);
    EXPECT_TRUE(jpegImg.isEmpty());
    EXPECT_FALSE(b_shareStopped);
    processEventsFor(50ms);
    EXPECT_TRUE(answers.boxes().isEmpty());
}

TEST_F(WindowFrameTest, ShareStartLooksTheWindowUpAgain)
{
    const std::uint32_t old = display.create({ .title = title });
    const std::uint32_t front = display.create({ .title = title });
    selectedHwnd = old;
    window.grabSelectedWindow();
    EXPECT_EQ(selectedHwnd, front);

    display.create({ .title = title, .wmClass = QByteArrayLiteral("t\0TabThumbnailWindow\0") });
    window.grabSelectedWindow();
    EXPECT_EQ(selectedHwnd, 0u) << "a thumbnail proxy is left to the first frame";

    strAppTitle = title + " nowhere";
    window.grabSelectedWindow();
    EXPECT_EQ(selectedHwnd, 0u);
    EXPECT_TRUE(answers.boxes().isEmpty()) << "share start reports nothing";
}

} // namespace
