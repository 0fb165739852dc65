// Whole sessions of the built tandeo-desktop as a user has them, against tandeo-unitsim: log in,
// share, stop, log out, close the window; the program's exit status and what the unit
// received. Each test has its own unit address (127.0.0.110 and up).

#include "program_session.h"
#include "x_painter.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using testsupport::DesktopProcess;
using testsupport::ProcessEnd;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;

namespace {

constexpr int Frames = 5;

std::string describe(const std::optional<ProcessEnd> &end)
{
    if (!end)
        return "still running";
    return end->crashed ? "ended by signal" : "exit status " + std::to_string(end->code);
}

class WholeSession : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the X display of the test run";
    }

    void start(const QString &address, const QStringList &unitOptions = {},
            const QStringList &desktopArguments = {}, const QStringList &environment = {},
            const testsupport::Launcher &launcher = {})
    {
        unit = std::make_unique<UnitProcess>(address, unitOptions);
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
        desktop = std::make_unique<DesktopProcess>(
                *unit, "1234", desktopArguments, environment, launcher);
        ASSERT_TRUE(desktop->started()) << desktop->output().toStdString();
    }

    void logIn()
    {
        desktop->click(Control::ProfileRow);
        desktop->click(Control::Login);
        // The firmware request follows an accepted login.
        ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    }

    void shareFrames(int frames)
    {
        desktop->click(Control::Share);
        ASSERT_TRUE(unit->waitFor(UnitProcess::validFrame(), frames)) << diagnosis();
    }

    void logOut()
    {
        desktop->click(Control::Logout);
        ASSERT_TRUE(unit->waitFor(UnitProcess::command("logout"), 1, 10s)) << diagnosis();
    }

    // A user's whole session: log in, share, Stop, log out, close the window.
    void wholeSession(int frames)
    {
        ASSERT_NO_FATAL_FAILURE(logIn());
        ASSERT_NO_FATAL_FAILURE(shareFrames(frames));
        desktop->click(Control::Stop);
        ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
        ASSERT_NO_FATAL_FAILURE(logOut());
        closeAndExpectCleanExit();
    }

    // The window manager's close, then the program's end.
    void closeAndExpectCleanExit()
    {
        desktop->requestClose();
        const std::optional<ProcessEnd> end = desktop->waitForExit(10s);
        EXPECT_TRUE(end && end->clean()) << describe(end) << "\n" << diagnosis();
    }

    std::string diagnosis() const
    {
        return ("program:\n" + desktop->output() + "\nunit:\n" + unit->output()).toStdString();
    }

    // The first events matching each reached the unit in this order. The unit handles each
    // connection in a thread of its own, so between connections its lines follow the handling;
    // the kernel's arrival time ("arrivedUs") follows the client's sending. The lines decide
    // where a time is missing or two are equal (messages taken in by one read).
    void expectArrivedInOrder(
            const std::vector<std::function<bool(const QJsonObject &)>> &matches) const
    {
        const QList<QJsonObject> events = unit->events();
        std::vector<std::pair<qint64, qsizetype>> found; // (arrivedUs or -1, line)
        for (const auto &match : matches) {
            const auto at = std::find_if(events.begin(), events.end(), match);
            found.emplace_back(at == events.end() ? -1 : (*at)["arrivedUs"].toInteger(-1),
                    at - events.begin());
        }
        ASSERT_LT(found[0].second, events.size()) << diagnosis();
        for (std::size_t i = 1; i < found.size(); ++i) {
            const auto [earlierUs, earlierLine] = found[i - 1];
            const auto [laterUs, laterLine] = found[i];
            const bool byTime = earlierUs >= 0 && laterUs >= 0 && earlierUs != laterUs;
            EXPECT_TRUE(laterLine < events.size()
                    && (byTime ? earlierUs < laterUs : earlierLine < laterLine))
                    << "event " << i - 1 << " at line " << earlierLine << ", " << earlierUs
                    << " us; event " << i << " at line " << laterLine << ", " << laterUs << " us";
        }
    }

    std::unique_ptr<UnitProcess> unit;
    std::unique_ptr<DesktopProcess> desktop;
};

TEST_F(WholeSession, ClosingTheLoginPageEndsTheProgram)
{
    start("127.0.0.110");
    closeAndExpectCleanExit();
    EXPECT_EQ(unit->count(UnitProcess::command("login")), 0);
}

TEST_F(WholeSession, ClosingAfterLoginAndLogoutEndsTheProgram)
{
    start("127.0.0.111");
    logIn();
    logOut();
    closeAndExpectCleanExit();
    EXPECT_EQ(desktop->boxes(), QStringList());
}

struct FamilyCase
{
    const char *name;
    const char *address;
    QStringList unitOptions;
};

void PrintTo(const FamilyCase &c, std::ostream *os)
{
    *os << c.name;
}

class FamilySession : public WholeSession, public ::testing::WithParamInterface<FamilyCase>
{
};

TEST_P(FamilySession, LoginShareStopLogoutClose)
{
    start(GetParam().address, GetParam().unitOptions);
    ASSERT_NO_FATAL_FAILURE(wholeSession(Frames));

    EXPECT_EQ(desktop->boxes(), QStringList()) << "no box on the way";
    // Every frame is announced as 1024 x 768 in its payload header, whatever its own size.
    for (const QJsonObject &frame : unit->events()) {
        if (frame["event"] != "frame")
            continue;
        EXPECT_EQ(frame["valid"], true);
        EXPECT_EQ(frame["widthBlocks"].toInt(), 128);
        EXPECT_EQ(frame["heightBlocks"].toInt(), 96);
    }
    // The goodbye: the share stopped, then MSG_DISCONNECT, then the logout request.
    expectArrivedInOrder({ UnitProcess::controlIn("MSG_STOP"),
            UnitProcess::controlIn("MSG_DISCONNECT"), UnitProcess::command("logout") });
}

INSTANTIATE_TEST_SUITE_P(Families, FamilySession,
        ::testing::Values(FamilyCase{ "Qmt", "127.0.0.112", { "--family", "qmt" } },
                // The ZMT unit answers the QMT path with 404 before its own login reply.
                FamilyCase{
                        "Zmt", "127.0.0.113", { "--family", "zmt", "--own-path-delay", "300" } }),
        [](const ::testing::TestParamInfo<FamilyCase> &info) { return info.param.name; });

TEST_F(WholeSession, ClosingAfterTheUnitStoppedTheShare)
{
    start("127.0.0.114", { "--stop-after", "3" });
    logIn();
    shareFrames(3);
    ASSERT_TRUE(unit->waitFor([](const QJsonObject &e) {
        return e["event"] == "control" && e["dir"] == "out" && e["type"] == "MSG_STOP";
    })) << diagnosis();
    logOut();
    closeAndExpectCleanExit();
}

TEST_F(WholeSession, ClosingAfterTheUnitVanishedMidShare)
{
    start("127.0.0.115");
    logIn();
    shareFrames(3);
    unit->kill();
    desktop->answerBoxes();
    desktop->click(Control::Logout);
    ASSERT_TRUE(
            testsupport::pollUntil([&] { return desktop->output().contains("QMT Logout"); }, 10s))
            << diagnosis();
    closeAndExpectCleanExit();
}

// Logout sits where Login is, and the page changes as soon as the unit answers: a double click
// on either counts once, as the user meant it.
TEST_F(WholeSession, ADoubleClickOnLoginOrLogoutCountsOnce)
{
    start("127.0.0.123");
    desktop->click(Control::ProfileRow);
    desktop->doubleClick(Control::Login);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(unit->count(UnitProcess::command("logout")), 0) << diagnosis();
    const int logins = unit->count(UnitProcess::command("login"));

    desktop->doubleClick(Control::Logout);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("logout"), 1, 10s)) << diagnosis();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(unit->count(UnitProcess::command("login")), logins) << diagnosis();
    closeAndExpectCleanExit();
}

// The desktop session ends (SIGTERM), or the user presses Ctrl+C (SIGINT) in a terminal: the
// program says goodbye to the unit like the Logout button, then ends with status 0.
TEST_F(WholeSession, TerminationWhileSharingLogsOutFirst)
{
    start("127.0.0.116");
    logIn();
    shareFrames(3);
    desktop->signal(SIGTERM);
    const std::optional<ProcessEnd> end = desktop->waitForExit(3s);
    EXPECT_TRUE(end && end->clean()) << describe(end) << "\n" << diagnosis();
    expectArrivedInOrder({ UnitProcess::controlIn("MSG_STOP"),
            UnitProcess::controlIn("MSG_DISCONNECT"), UnitProcess::command("logout") });
}

TEST_F(WholeSession, InterruptWhileLoggedInLogsOut)
{
    start("127.0.0.117");
    logIn();
    desktop->signal(SIGINT);
    const std::optional<ProcessEnd> end = desktop->waitForExit(3s);
    EXPECT_TRUE(end && end->clean()) << describe(end) << "\n" << diagnosis();
    EXPECT_EQ(unit->count(UnitProcess::command("logout")), 1);
}

TEST_F(WholeSession, TerminationOnTheLoginPageEndsAtOnce)
{
    start("127.0.0.118");
    desktop->signal(SIGTERM);
    const std::optional<ProcessEnd> end = desktop->waitForExit(1s);
    EXPECT_TRUE(end && end->clean()) << describe(end);
}

// Started from a desktop's menu, the program writes to the journal through a stream that ends
// when the journal restarts (an upgrade). Its output then goes nowhere, and the program goes on:
// here both streams are a pipe whose reader has gone.
TEST_F(WholeSession, OutputIntoABrokenPipeDoesNotEndTheSession)
{
    // env puts SIGPIPE back to its default, as a session starts programs, whatever this test
    // run inherited.
    const testsupport::Launcher brokenOutput = { "bash", "-c",
        R"(exec env --default-signal=PIPE "$@" > >(:) 2>&1)", "bash" };
    start("127.0.0.122", {}, {}, { "QT_LOGGING_RULES" }, brokenOutput);
    ASSERT_NO_FATAL_FAILURE(wholeSession(Frames));
}

// A profile file that cannot be opened is said in a box before the window shows. The end of
// the desktop session, or Ctrl+C, meanwhile ends the program instead of waiting for the box.
TEST_F(WholeSession, TerminationWhileTheStartWaitsOnABoxEndsAtOnce)
{
    for (const int sig : { SIGTERM, SIGINT }) {
        QTemporaryDir home;
        ASSERT_TRUE(QDir(home.path()).mkdir("database.dat")); // a folder where the file goes
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("QT_LOGGING_RULES", testsupport::DebugOutputRules);
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(TANDEO_DESKTOP_PROGRAM);
        QByteArray output;
        const bool boxShown = testsupport::pollUntil(
                [&] {
                    program.waitForReadyRead(50);
                    output += program.readAll();
                    return output.contains("box: Database Error");
                },
                10s);
        ASSERT_TRUE(boxShown) << output.toStdString();
        ::kill(pid_t(program.processId()), sig);
        EXPECT_TRUE(program.waitForFinished(2000)) << "signal " << sig;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
    }
}

// The pointer in the shared picture: a grey window whose pointer shape is known (12 x 12, hot
// spot (3, 4), left half black, right half white), the pointer moved over it while sharing,
// and the frames the unit saved.
struct PointerCase
{
    const char *name;
    const char *address;
    QStringList arguments;
    bool shown;
    QStringList environment = {};
};

void PrintTo(const PointerCase &c, std::ostream *os)
{
    *os << c.name;
}

class PointerShare : public WholeSession, public ::testing::WithParamInterface<PointerCase>
{
};

TEST_P(PointerShare, TheUnitSeesThePointerOnlyWithShowPointer)
{
    const PointerCase &c = GetParam();
    QTemporaryDir saved;
    start(c.address, { "--save", saved.path() }, c.arguments, c.environment);
    testsupport::Painter painter;
    ASSERT_TRUE(painter.ok());
    const QRect greyPlace(1200, 600, 600, 400); // clear of the program's window
    painter.setCursor(painter.solid(painter.root(), greyPlace, qRgb(128, 128, 128)),
            painter.halvedCursor(false));
    logIn();
    shareFrames(1);

    const QPoint place(1500, 800);
    testsupport::movePointerTo(place.x(), place.y());
    QImage frame;
    const auto seen = [&](QPoint at) {
        const double scale = frame.width() / 1920.0;
        return qGray(frame.pixel(int(at.x() * scale), int(at.y() * scale)));
    };
    const auto pointerSeen = [&] { return seen(place + QPoint(-1, 2)) < 70; };
    // The newest frame after each of a few more pulls: the move reaches the X server a little
    // after xdotool returns, so the pointer may show a frame or two late, but it must show.
    int before = unit->count(UnitProcess::validFrame());
    for (int look = 0; look < 20; ++look) {
        ASSERT_TRUE(unit->waitFor(UnitProcess::validFrame(), before + 1)) << diagnosis();
        before = unit->count(UnitProcess::validFrame());
        QString last;
        for (const QJsonObject &event : unit->events())
            if (UnitProcess::validFrame()(event))
                last = event["saved"].toString();
        frame = QImage(last);
        ASSERT_FALSE(frame.isNull()) << last.toStdString();
        if (look >= 2 && (!c.shown || pointerSeen()))
            break;
    }
    const int black = seen(place + QPoint(-1, 2));
    const int white = seen(place + QPoint(5, 2));
    if (c.shown) {
        EXPECT_LT(black, 70);
        EXPECT_GT(white, 190);
    } else {
        EXPECT_NEAR(black, 128, 6);
        EXPECT_NEAR(white, 128, 6);
    }
    EXPECT_NEAR(seen(place + QPoint(60, 40)), 128, 6); // beside the pointer: the window only

    logOut();
    closeAndExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(WholeSession, PointerShare,
        ::testing::Values(PointerCase{ "Shown", "127.0.0.119", { "--show-pointer" }, true },
                PointerCase{ "Hidden", "127.0.0.120", {}, false },
                // A high-density screen at 150 %: the program draws half as large again, the X
                // server's pixels stay what is shared.
                PointerCase{ "ShownOnAScaledScreen", "127.0.0.121", { "--show-pointer" }, true,
                        { "QT_SCALE_FACTOR=1.5" } }),
        [](const auto &info) { return std::string(info.param.name); });

// Started from the applications menu the program's output goes to the user's journal: a few
// lines at most unless debug output is asked for, and never the access code, not even then.
class SessionOutput : public WholeSession
{
protected:
    static constexpr char AccessCode[] = "73915";

    // Login, share, stop, logout and close with a ZMT unit, whose login URL is debug output.
    void runSession(const QString &address, const QString &loggingRules)
    {
        unit = std::make_unique<UnitProcess>(
                address, QStringList{ "--family", "zmt", "--access-code", AccessCode });
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
        desktop = std::make_unique<DesktopProcess>(*unit, AccessCode, QStringList(),
                QStringList{ loggingRules.isEmpty() ? "QT_LOGGING_RULES"
                                                    : "QT_LOGGING_RULES=" + loggingRules });
        ASSERT_TRUE(desktop->started()) << desktop->output().toStdString();
        ASSERT_NO_FATAL_FAILURE(wholeSession(25));
    }
};

TEST_F(SessionOutput, QuietWithoutLoggingRules)
{
    ASSERT_NO_FATAL_FAILURE(runSession("127.0.0.125", QString()));
    const QString output = desktop->output();
    // "ssrc: ", "Notification Event : NETWORK_FAIL" and what Qt says about the test's session.
    EXPECT_LE(output.count('\n'), 4) << output.toStdString();
    EXPECT_FALSE(output.contains(AccessCode));
}

TEST_F(SessionOutput, DebugOutputNeverShowsTheAccessCode)
{
    ASSERT_NO_FATAL_FAILURE(runSession("127.0.0.126", testsupport::DebugOutputRules));
    const QString output = desktop->output();
    EXPECT_TRUE(output.contains(R"(\"acccode\":\"****\")")) << "the login URL, masked";
    EXPECT_FALSE(output.contains(AccessCode)) << output.toStdString();
}

// A user who clicks anything in any order, types keys and closes boxes, while the unit restarts
// with other manners: whatever the order, the program neither crashes nor hangs, and SIGTERM
// ends it with status 0. The steps come from a seeded generator and are listed on failure.
class RestlessUser : public WholeSession, public ::testing::WithParamInterface<unsigned>
{
protected:
    // Kills the unit and starts another on its address; counts the frames the last one saw.
    void restartUnit(const QStringList &manners)
    {
        framesSeen += unit->count(UnitProcess::validFrame());
        const QString address = unit->address();
        unit->kill();
        unit = std::make_unique<UnitProcess>(address, manners + unitFamily);
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
    }

    QStringList unitFamily;
    QStringList steps;
    int framesSeen = 0;
};

TEST_P(RestlessUser, NeitherCrashesNorHangs)
{
    // A user's way through a session, which half of the steps follow, and the rest of a step:
    // any control but Delete (with the one profile gone nothing more would happen), a key,
    // closing the boxes, or a unit restarted with other manners.
    const Control way[] = { Control::ProfileRow, Control::Login, Control::Share, Control::Stop,
        Control::Share, Control::Logout };
    const Control controls[] = { Control::ProfileRow, Control::Login, Control::Logout,
        Control::Share, Control::Stop, Control::Desktop, Control::AddProfile,
        Control::EditProfile };
    const char *const keys[] = { "Return", "Escape", "Tab", "space", "Down", "Up", "Delete" };
    const QStringList manners[] = { {}, { "--stop-after", "3" }, { "--close-after", "2" },
        { "--disconnect-after", "4" }, { "--reject-share" }, { "--stop-answer", "silent" },
        { "--stop-answer", "close" }, { "--http-delay", "1500" }, { "--pull-interval", "200" },
        { "--no-rtp" }, { "--refuse", "bad-code" } };

    std::mt19937 random(GetParam());
    unitFamily = { "--family", random() % 2 ? "zmt" : "qmt" };
    start("127.0.0.180", unitFamily); // its own: the reply limit tests use 127.0.0.140
    std::size_t along = 0;
    for (int i = 0; i < 50 && desktop->running(); ++i) {
        const unsigned pick = random() % 100;
        if (pick < 70) {
            const Control control = pick < 50 ? way[along++ % std::size(way)]
                                              : controls[random() % std::size(controls)];
            steps << QString("click %1").arg(int(control));
            desktop->click(control);
        } else if (pick < 80) {
            const char *key = keys[random() % std::size(keys)];
            steps << QString("key %1").arg(key);
            desktop->pressKeys({ key });
        } else if (pick < 94) {
            steps << "boxes";
            desktop->answerBoxes();
        } else {
            const QStringList &unitManners = manners[random() % std::size(manners)];
            steps << "unit " + unitManners.join(' ');
            ASSERT_NO_FATAL_FAILURE(restartUnit(unitManners));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1200));
    }
    framesSeen += unit->count(UnitProcess::validFrame());
    std::printf("frames the units saw: %d; boxes: %s\n", framesSeen,
            qPrintable(desktop->boxes().join(" | ")));
    const std::string walk = "steps: " + steps.join(", ").toStdString() + "\n";
    ASSERT_TRUE(desktop->running()) << walk << diagnosis();
    desktop->signal(SIGTERM);
    const std::optional<ProcessEnd> end = desktop->waitForExit(15s);
    EXPECT_TRUE(end && end->clean()) << describe(end) << "\n" << walk << diagnosis();
}

// Seeds whose walks reach sharing with the unit.
INSTANTIATE_TEST_SUITE_P(Seeds, RestlessUser, ::testing::Values(1u, 3u));

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for QProcess
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
