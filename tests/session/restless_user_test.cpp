// A user who clicks anything in any order, types keys and closes boxes, while the unit restarts
// with other manners: the built program against the emulator, both as their own processes.
// Whatever the order, the program neither crashes nor hangs, and SIGTERM ends it with status 0.
// The steps come from a seeded generator, so a failure names the steps that led to it.

#include "program_session.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using testsupport::DesktopProcess;
using testsupport::ProcessEnd;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;

namespace {

// Manners the unit restarts with; the first is a well-behaved unit.
const QStringList UnitManners[] = {
    {},
    { "--stop-after", "3" },
    { "--close-after", "2" },
    { "--disconnect-after", "4" },
    { "--reject-share" },
    { "--stop-answer", "silent" },
    { "--stop-answer", "close" },
    { "--http-delay", "1500" },
    { "--pull-interval", "200" },
    { "--no-rtp" },
    { "--refuse", "bad-code" },
};

// A user's way through a session, which the steps follow half of the time.
const Control Way[] = { Control::ProfileRow, Control::Login, Control::Share, Control::Stop,
    Control::Share, Control::Logout };

// Any control, in the other half. Not Delete: with the one profile gone, nothing more happens.
const Control Controls[] = { Control::ProfileRow, Control::Login, Control::Logout, Control::Share,
    Control::Stop, Control::Desktop, Control::AddProfile, Control::EditProfile };

const char *const Keys[] = { "Return", "Escape", "Tab", "space", "Down", "Up", "Delete" };

class RestlessUser : public ::testing::TestWithParam<unsigned>
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the X display of the test run";
    }

    void restartUnit(const QString &address, const QStringList &manners)
    {
        if (unit) {
            tally();
            unit->kill();
        }
        unit.reset();
        QStringList options = manners;
        options << "--family" << (family ? "zmt" : "qmt");
        unit = std::make_unique<UnitProcess>(address, options);
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
    }

    // What the units saw, for the record of how far the steps went.
    void tally()
    {
        logins += unit->count(UnitProcess::command("login"));
        shares += unit->count(UnitProcess::controlIn("MSG_SHARE"));
        frames += unit->count(UnitProcess::validFrame());
    }

    std::string diagnosis() const
    {
        return ("steps: " + steps.join(", ") + "\nprogram:\n" + desktop->output() + "\nunit:\n"
                + unit->output())
                .toStdString();
    }

    int logins = 0, shares = 0, frames = 0;
    bool family = false;
    QStringList steps;
    std::unique_ptr<UnitProcess> unit;
    std::unique_ptr<DesktopProcess> desktop;
};

TEST_P(RestlessUser, NeitherCrashesNorHangs)
{
    const QString address = "127.0.0.140";
    std::mt19937 random(GetParam());
    family = random() % 2;
    ASSERT_NO_FATAL_FAILURE(restartUnit(address, {}));
    desktop = std::make_unique<DesktopProcess>(*unit);
    ASSERT_TRUE(desktop->started()) << desktop->output().toStdString();

    const int stepCount = qEnvironmentVariableIntValue("TANDEO_RESTLESS_STEPS") ?: 50;
    std::size_t along = 0; // the next step of the way
    for (int i = 0; i < stepCount && desktop->running(); ++i) {
        const unsigned pick = random() % 100;
        if (pick < 50) {
            const Control control = Way[along++ % std::size(Way)];
            steps << QString("way %1").arg(int(control));
            desktop->click(control);
        } else if (pick < 70) {
            const Control control = Controls[random() % std::size(Controls)];
            steps << QString("click %1").arg(int(control));
            desktop->click(control);
        } else if (pick < 80) {
            const char *key = Keys[random() % std::size(Keys)];
            steps << QString("key %1").arg(key);
            desktop->pressKeys({ key });
        } else if (pick < 94) {
            steps << "boxes";
            desktop->answerBoxes();
        } else {
            const QStringList &manners = UnitManners[random() % std::size(UnitManners)];
            steps << "unit " + manners.join(' ');
            ASSERT_NO_FATAL_FAILURE(restartUnit(address, manners));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1200));
    }
    tally();
    std::printf("logins %d, shares %d, frames %d; boxes: %s\n", logins, shares, frames,
            qPrintable(desktop->boxes().join(" | ")));
    ASSERT_TRUE(desktop->running()) << diagnosis();
    desktop->signal(SIGTERM);
    const std::optional<ProcessEnd> end = desktop->waitForExit(15s);
    EXPECT_TRUE(end && end->clean()) << (end ? end->code : -1) << "\n" << diagnosis();
}

unsigned firstSeed()
{
    return qEnvironmentVariableIntValue("TANDEO_RESTLESS_SEED") ?: 1;
}

INSTANTIATE_TEST_SUITE_P(Seeds, RestlessUser, ::testing::Range(firstSeed(), firstSeed() + 2));

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv); // for QProcess
    return RUN_ALL_TESTS();
}
