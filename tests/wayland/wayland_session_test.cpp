// The window shares a Wayland desktop through the screen-cast portal, as a presenter on a
// Wayland session does: the window runs in this process on Qt's wayland platform inside the
// test stack's headless compositor (scripts/wayland_stack.sh), the unit is tandeo-unitsim
// outside the stack (tests/wayland/with_unit.sh; it needs port 80), and the portal is the
// stand-in back-end (tools/portal-standin) with the arguments of the ctest entry. Only the
// portal's back-end is stood in: the D-Bus calls, the PipeWire stream and its buffers are real.

#include "mainwindow_state.h"
#include "picture_box.h"
#include "program_session.h"
#include "qstring_printer.h"
#include "standin_picture.h"
#include "test_support.h"
#include "unit_window.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTemporaryFile>
#include <QTimer>

#include <csignal>
#include <gtest/gtest.h>
#include <utility>

using namespace testsupport;

namespace {

using Match = std::function<bool(const QJsonObject &)>;

// The unit's JSON-lines log as it grows.
int countInUnitLog(const Match &match)
{
    QFile file(qEnvironmentVariable("TANDEO_TEST_UNIT_LOG"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        count += doc.isObject() && match(doc.object()) ? 1 : 0;
    }
    return count;
}

// The stand-in portal's record: one line per event.
QStringList standinRecord()
{
    QFile file(qEnvironmentVariable("TANDEO_TEST_RECORDS") + "/standin.record");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The stand-in portal stopped, as a desktop busy elsewhere: it answers nothing until resume()
// or the end of the scope. Found by its name on the session bus.
class PortalPause
{
public:
    PortalPause()
        : m_pid(pid_t(QDBusConnection::sessionBus()
                              .interface()
                              ->servicePid(QStringLiteral("org.freedesktop.portal.Desktop"))
                              .value()))
    {
        m_stopped = m_pid > 0 && ::kill(m_pid, SIGSTOP) == 0;
    }
    ~PortalPause() { resume(); }
    bool stopped() const { return m_stopped; }
    void resume()
    {
        if (std::exchange(m_stopped, false))
            ::kill(m_pid, SIGCONT);
    }

private:
    pid_t m_pid;
    bool m_stopped = false;
};

int recordLines(const QString &start)
{
    const QStringList lines = standinRecord();
    return int(std::count_if(
            lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(start); }));
}

QImage newestFrame()
{
    const QDir frames(qEnvironmentVariable("TANDEO_TEST_UNIT_FRAMES"));
    const QStringList names = frames.entryList({ "*.jpg" }, QDir::Files, QDir::Name);
    return names.isEmpty() ? QImage() : QImage(frames.filePath(names.last()));
}

// Each quadrant's middle shows the stand-in's colour (JPEG moves it a little).
void expectStandinPicture(const QImage &frame)
{
    ASSERT_FALSE(frame.isNull());
    const int w = frame.width();
    const int h = frame.height();
    for (const auto &[x, y] : { std::pair{ w / 4, h / 4 }, std::pair{ 3 * w / 4, h / 4 },
                 std::pair{ w / 4, 3 * h / 4 }, std::pair{ 3 * w / 4, 3 * h / 4 } }) {
        const standin::Rgb expected = standin::quadrantColourAt(x, y, w, h);
        const QColor seen = frame.pixelColor(x, y);
        EXPECT_NEAR(seen.red(), expected.r, 24) << x << "," << y;
        EXPECT_NEAR(seen.green(), expected.g, 24) << x << "," << y;
        EXPECT_NEAR(seen.blue(), expected.b, 24) << x << "," << y;
    }
}

// A window for the unit of with_unit.sh, in a home of its own.
class WaylandUnitTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("TANDEO_TEST_UNIT"))
            GTEST_SKIP() << "runs with a unit (see CMakeLists.txt)";
    }
    void TearDown() override { session.close(); }

    bool openAndLogIn()
    {
        return session.openWindow(qEnvironmentVariable("TANDEO_TEST_UNIT"))
                && session.logIn(std::chrono::seconds(15));
    }
    // Share, then `frames` more valid frames at the unit.
    bool shareFrames(int frames)
    {
        const int before = countInUnitLog(UnitProcess::validFrame());
        // After a stop, Share comes back once the unit has accepted the stop.
        if (!waitUntil([&] { return session.button("BtnShare")->isEnabled(); }))
            return false;
        session.button("BtnShare")->click();
        return waitUntil(
                [&] { return countInUnitLog(UnitProcess::validFrame()) >= before + frames; }, 20s);
    }
    bool stopSharing()
    {
        const int before = countInUnitLog(UnitProcess::controlIn("MSG_STOP"));
        session.button("BtnStop")->click();
        return waitUntil(
                [&] { return countInUnitLog(UnitProcess::controlIn("MSG_STOP")) > before; });
    }
    bool shareControlsBack() const
    {
        return session.button("BtnShare")->isEnabled() && !session.button("BtnStop")->isEnabled();
    }

    TempHome home;
    BoxAnswerer boxes;
    UnitWindow session;
};

class WaylandShareTest : public WaylandUnitTest
{
protected:
    void SetUp() override
    {
        WaylandUnitTest::SetUp();
        if (QGuiApplication::platformName() != QLatin1String("wayland"))
            GTEST_SKIP() << "runs inside the Wayland test stack (see CMakeLists.txt)";
    }
};
using WaylandWithoutPortal = WaylandUnitTest;
using WaylandDemo = WaylandUnitTest;

TEST_F(WaylandShareTest, SharesTheGrantedScreenAndAsksOnlyOnce)
{
    ASSERT_TRUE(openAndLogIn());
    ASSERT_TRUE(shareFrames(10));
    EXPECT_EQ(recordLines("select-sources types=1"), 1);
    EXPECT_EQ(recordLines("start granted"), 1);

    // The stand-in's picture, in the size the picture box gives its stream.
    const QSize announced =
            capture::scaledDesktopSize(QSize(standin::DefaultWidth, standin::DefaultHeight), false);
    const QImage frame = newestFrame();
    EXPECT_EQ(frame.size(), announced);
    expectStandinPicture(frame);

    // Stopping ends the screen cast; the next share is granted by the kept token.
    ASSERT_TRUE(stopSharing());
    EXPECT_TRUE(waitUntil([] { return recordLines("session-closed") >= 1; }));
    ASSERT_TRUE(shareFrames(5));
    EXPECT_EQ(recordLines("select-sources"), 2);
    EXPECT_EQ(standinRecord().filter("restored=yes").size(), 1);
    ASSERT_TRUE(stopSharing());
    ASSERT_TRUE(session.logOut());
    session.close();

    // The next run of the program (a new window, the same home) is not asked either.
    ASSERT_TRUE(openAndLogIn());
    ASSERT_TRUE(shareFrames(5));
    EXPECT_EQ(standinRecord().filter("restored=yes").size(), 2);
    expectStandinPicture(newestFrame());
    EXPECT_EQ(boxes.texts(), QStringList()) << "no box on the way";
}

TEST_F(WaylandShareTest, RefusalInThePortalSaysSoAndKeepsTheSession)
{
    ASSERT_TRUE(openAndLogIn());
    session.button("BtnShare")->click();
    EXPECT_TRUE(boxes.waitForText("Screen sharing was not allowed."));
    EXPECT_EQ(recordLines("start cancelled"), 1);
    EXPECT_TRUE(shareControlsBack());
    // The unit never heard of the share; the session with it stays.
    EXPECT_EQ(countInUnitLog(UnitProcess::controlIn("MSG_CONNECT")), 0);
    EXPECT_TRUE(b_loggedIn);
    ASSERT_TRUE(session.logOut());
    EXPECT_TRUE(waitUntil([] { return countInUnitLog(UnitProcess::command("logout")) == 1; }));
}

TEST_F(WaylandShareTest, TheScreenCastEndingStopsTheShare)
{
    ASSERT_TRUE(openAndLogIn());
    session.button("BtnShare")->click();
    // The stand-in's node goes after its 60th picture (two seconds).
    ASSERT_TRUE(boxes.waitForText("The desktop ended the screen sharing.", 20s));
    EXPECT_EQ(recordLines("node-removed"), 1);
    EXPECT_GT(countInUnitLog(UnitProcess::validFrame()), 0);
    EXPECT_TRUE(waitUntil([] { return countInUnitLog(UnitProcess::controlIn("MSG_STOP")) == 1; }));
    EXPECT_TRUE(shareControlsBack());
    EXPECT_TRUE(b_loggedIn);
    ASSERT_TRUE(session.logOut());
}

TEST_F(WaylandShareTest, PickerSaysWhenTheDesktopOffersNoWindows)
{
    ASSERT_TRUE(openAndLogIn());
    session.probe->widget<QRadioButton>("QRadioBtnApp")->click();
    session.button("BtnSelectApp")->click();
    EXPECT_TRUE(boxes.waitForText("This desktop shares whole screens only: choose Desktop."));
    EXPECT_EQ(recordLines("select-sources"), 0) << "nothing asked of the user";
}

TEST_F(WaylandShareTest, PickerAsksThePortalForAWindow)
{
    ASSERT_TRUE(openAndLogIn());
    session.probe->widget<QRadioButton>("QRadioBtnApp")->click();
    session.button("BtnSelectApp")->click();
    const QLineEdit *chosen = session.probe->widget<QLineEdit>("lineEditApp");
    ASSERT_TRUE(waitUntil([&] { return chosen->text() == "Chosen window"; }));
    EXPECT_EQ(recordLines("select-sources types=2"), 1);
    ASSERT_TRUE(shareFrames(5));
    expectStandinPicture(newestFrame());
    ASSERT_TRUE(stopSharing());
    // The window stays chosen: the next share asks nothing.
    ASSERT_TRUE(shareFrames(3));
    EXPECT_EQ(recordLines("select-sources"), 1);
    ASSERT_TRUE(stopSharing());
    EXPECT_EQ(boxes.texts(), QStringList());
}

// A desktop busy elsewhere (the stand-in stopped for two seconds) answers late whether it shares
// single windows: the click does not wait for it, the window goes on, and a second click asks
// nothing more.
TEST_F(WaylandShareTest, PickerGoesOnWhileTheDesktopIsSlowToSayWhatItShares)
{
    ASSERT_TRUE(openAndLogIn());
    session.probe->widget<QRadioButton>("QRadioBtnApp")->click();
    PortalPause busy;
    ASSERT_TRUE(busy.stopped());

    QElapsedTimer clicked;
    clicked.start();
    session.button("BtnSelectApp")->click();
    EXPECT_LT(clicked.elapsed(), 500) << "the click waited for the desktop";
    EXPECT_FALSE(session.button("BtnSelectApp")->isEnabled());
    session.button("BtnSelectApp")->click();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    processEventsFor(2s);
    EXPECT_GE(ticks, 30) << "the window stood still while the desktop was asked";
    busy.resume();

    const QLineEdit *chosen = session.probe->widget<QLineEdit>("lineEditApp");
    ASSERT_TRUE(waitUntil([&] { return chosen->text() == "Chosen window"; }));
    EXPECT_EQ(recordLines("select-sources types=2"), 1);
    ASSERT_TRUE(shareFrames(3));
    ASSERT_TRUE(stopSharing());
    EXPECT_EQ(boxes.texts(), QStringList());
}

TEST_F(WaylandShareTest, LogoutWhileTheDesktopIsSlowToSayWhatItSharesAsksNothingAfterIt)
{
    ASSERT_TRUE(openAndLogIn());
    session.probe->widget<QRadioButton>("QRadioBtnApp")->click();
    PortalPause busy;
    ASSERT_TRUE(busy.stopped());
    session.button("BtnSelectApp")->click();
    ASSERT_TRUE(session.logOut());
    busy.resume();
    processEventsFor(2s);
    EXPECT_EQ(recordLines("select-sources"), 0) << "the user was asked after the logout";
    EXPECT_EQ(boxes.texts(), QStringList());
    EXPECT_EQ(session.probe->widget<QLineEdit>("lineEditApp")->text(), QString());
}

// The desktop's dialog stays up for seconds (the stand-in answers after 4 s): the window goes on
// meanwhile, and nothing of a share it no longer wants reaches the unit.
TEST_F(WaylandShareTest, LogoutWhileTheDialogIsUpReachesNothingAfterIt)
{
    ASSERT_TRUE(openAndLogIn());
    session.button("BtnShare")->click();
    EXPECT_FALSE(session.button("BtnShare")->isEnabled()) << "one question at a time";
    ASSERT_TRUE(waitUntil([] { return recordLines("start asked") == 1; }));
    ASSERT_TRUE(session.logOut());
    EXPECT_TRUE(waitUntil([] { return recordLines("session-closed") == 1; })) << "withdrawn";
    processEventsFor(5s); // past the time the dialog would have answered
    EXPECT_EQ(recordLines("start granted"), 0);
    EXPECT_EQ(countInUnitLog(UnitProcess::controlIn("MSG_CONNECT")), 0);
    EXPECT_EQ(countInUnitLog(UnitProcess::validFrame()), 0);
    EXPECT_EQ(boxes.texts(), QStringList());
}

TEST_F(WaylandShareTest, SecondShareWhileTheDialogIsUpAsksOnce)
{
    ASSERT_TRUE(openAndLogIn());
    session.button("BtnShare")->click();
    session.window->on_BtnShare_clicked(); // a second click that got through (a key, a script)
    ASSERT_TRUE(waitUntil([] { return countInUnitLog(UnitProcess::validFrame()) >= 3; }, 20s));
    EXPECT_EQ(recordLines("start asked"), 1);
    EXPECT_EQ(countInUnitLog(UnitProcess::controlIn("MSG_SHARE")), 1);
    ASSERT_TRUE(stopSharing());
    ASSERT_TRUE(session.logOut());
}

TEST_F(WaylandShareTest, TerminationWhileTheDialogIsUpLogsOutAndWithdraws)
{
    ASSERT_TRUE(openAndLogIn());
    session.button("BtnShare")->click();
    ASSERT_TRUE(waitUntil([] { return recordLines("start asked") == 1; }));
    session.window->endOnSignal(SIGTERM);
    EXPECT_TRUE(waitUntil([] { return countInUnitLog(UnitProcess::command("logout")) == 1; }));
    EXPECT_TRUE(waitUntil([] { return recordLines("session-closed") == 1; })) << "withdrawn";
    processEventsFor(5s);
    EXPECT_EQ(recordLines("start granted"), 0);
    EXPECT_EQ(countInUnitLog(UnitProcess::controlIn("MSG_CONNECT")), 0);
}

TEST_F(WaylandShareTest, PointerIsDrawnInByTheDesktopWhenAskedFor)
{
    ASSERT_TRUE(session.openWindow(qEnvironmentVariable("TANDEO_TEST_UNIT")));
    session.window->setShareOptions({ .showPointer = true, .monitor = {} });
    ASSERT_TRUE(session.logIn(std::chrono::seconds(15)));
    ASSERT_TRUE(shareFrames(5));
    EXPECT_EQ(standinRecord().filter("cursor=2").size(), 1);
    // The stand-in's pointer mark, scaled with the picture: dark inside, in the red quadrant.
    const QImage frame = newestFrame();
    const double scale = double(frame.width()) / standin::DefaultWidth;
    const int middle = int((standin::CursorMarkX + standin::CursorMarkSize / 2) * scale);
    EXPECT_LT(frame.pixelColor(middle, middle).lightness(), 60);
    EXPECT_GT(frame.pixelColor(middle + 40, middle + 40).red(), 200);
}

// No portal on the bus at all: a box that says what to install, not a black share.
TEST_F(WaylandWithoutPortal, ShareSaysWhatToInstall)
{
    ASSERT_TRUE(openAndLogIn());
    session.button("BtnShare")->click();
    ASSERT_TRUE(waitUntil([&] { return !boxes.texts().isEmpty(); }, 15s));
    EXPECT_TRUE(boxes.texts().first().contains("install")) << boxes.texts().first().toStdString();
    EXPECT_EQ(countInUnitLog(UnitProcess::controlIn("MSG_CONNECT")), 0);
    EXPECT_TRUE(session.button("BtnShare")->isEnabled());
    ASSERT_TRUE(session.logOut());
}

// The picker too: no "screens only" for a desktop that cannot share at all.
TEST_F(WaylandWithoutPortal, PickerSaysWhatToInstall)
{
    ASSERT_TRUE(openAndLogIn());
    session.probe->widget<QRadioButton>("QRadioBtnApp")->click();
    session.button("BtnSelectApp")->click();
    ASSERT_TRUE(waitUntil([&] { return !boxes.texts().isEmpty(); }, 15s));
    EXPECT_TRUE(boxes.texts().first().contains("install")) << boxes.texts().first().toStdString();
    EXPECT_TRUE(session.button("BtnSelectApp")->isEnabled());
    EXPECT_FALSE(session.button("BtnShare")->isEnabled());
    ASSERT_TRUE(session.logOut());
}

// Not a check: the Wayland variant of the demo (scripts/demo.sh with DEMO_WAYLAND=1). Once the
// window is logged in, the compositor's desktop is taken with grim for the stand-in to show
// (its --picture), then shared for TANDEO_DEMO_SECONDS.
TEST_F(WaylandDemo, SharesTheDesktopForAWhile)
{
    const int seconds = qEnvironmentVariableIntValue("TANDEO_DEMO_SECONDS");
    if (seconds <= 0)
        GTEST_SKIP() << "run by scripts/demo.sh with DEMO_WAYLAND=1";
    ASSERT_TRUE(openAndLogIn());
    processEventsFor(1s); // the share page drawn on the compositor's output
    ASSERT_EQ(QProcess::execute("grim", { qEnvironmentVariable("TANDEO_DEMO_PICTURE") }), 0);
    session.button("BtnShare")->click();
    processEventsFor(std::chrono::seconds(seconds));
    session.button("BtnStop")->click();
    EXPECT_TRUE(waitUntil([&] { return session.button("BtnShare")->isEnabled(); }));
    EXPECT_TRUE(session.logOut());
    EXPECT_EQ(boxes.texts(), QStringList());
}

} // namespace
