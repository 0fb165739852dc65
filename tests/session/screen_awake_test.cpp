// The screen kept awake while sharing, against stand-ins for the desktop's services on a
// session bus of the test's own: the idle inhibitor itself on both of its routes, and the
// built tandeo-desktop against tandeo-unitsim (addresses 127.0.0.230 and up).

#include "idle_inhibitor.h"
#include "program_session.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using platform::IdleInhibitor;
using testsupport::DesktopProcess;
using testsupport::pollUntil;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;

namespace {

struct Call
{
    QString member; // "Inhibit", "UnInhibit", "PortalInhibit", "Close"
    QVariantList arguments;
    QString path;
};

// The screen saver service and the portal's Inhibit with its request objects, under one
// object tree. Answers from a thread of its own: the test's thread waits without an event loop.
class DesktopStandIn : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return QString(); }

    // A desktop busy elsewhere: every answer comes this much later.
    std::atomic<int> answerDelayMs{ 0 };
    // Calls that came and are not answered yet.
    std::atomic<int> withheld{ 0 };

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        ++withheld;
        std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs.load()));
        --withheld;
        std::lock_guard lock(m_mutex);
        const QString member = message.member();
        QVariantList arguments = message.arguments();
        QDBusMessage reply;
        if (message.interface() == "org.freedesktop.ScreenSaver" && member == "Inhibit") {
            const uint cookie = ++m_next;
            m_held.insert(QString::number(cookie));
            reply = message.createReply(QVariant(cookie));
        } else if (message.interface() == "org.freedesktop.ScreenSaver" && member == "UnInhibit") {
            m_held.erase(QString::number(arguments.value(0).toUInt()));
            reply = message.createReply();
        } else if (message.interface() == "org.freedesktop.portal.Inhibit" && member == "Inhibit") {
            arguments[2] = qdbus_cast<QVariantMap>(arguments.value(2));
            const QString request =
                    QString("/org/freedesktop/portal/desktop/request/1_1/t%1").arg(++m_next);
            m_held.insert(request);
            reply = message.createReply(QVariant::fromValue(QDBusObjectPath(request)));
        } else if (message.interface() == "org.freedesktop.portal.Request" && member == "Close") {
            m_held.erase(message.path());
            reply = message.createReply();
        } else {
            // What else the program asks of the desktop (its theme, for one) gets a plain no.
            connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
            return true;
        }
        m_calls.append(
                { message.interface().startsWith("org.freedesktop.portal.Inhibit") ? "PortalInhibit"
                                                                                   : member,
                        arguments, message.path() });
        m_mostHeld = std::max(m_mostHeld, m_held.size());
        connection.send(reply);
        return true;
    }

    QList<Call> calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::size_t held() const
    {
        std::lock_guard lock(m_mutex);
        return m_held.size();
    }
    std::size_t mostHeld() const
    {
        std::lock_guard lock(m_mutex);
        return m_mostHeld;
    }
    int count(const QString &member) const
    {
        int n = 0;
        for (const Call &call : calls())
            n += call.member == member;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    QList<Call> m_calls;
    std::set<QString> m_held;
    std::size_t m_mostHeld = 0;
    uint m_next = 0;
};

// A bus daemon of the test's own (no service activation: only what the test registers is
// there), with the stand-in under both service names.
class ScreenAwake : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        const QString config = m_dir.filePath("bus.conf");
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("<busconfig><type>session</type><listen>unix:dir=" + m_dir.path().toUtf8()
                + "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
                  "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>");
        file.close();
        m_daemon.start("dbus-daemon", { "--config-file=" + config, "--nofork", "--print-address" });
        ASSERT_TRUE(m_daemon.waitForStarted()) << "dbus-daemon is needed";
        while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(5000)) { }
        address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        ASSERT_FALSE(address.isEmpty()) << m_daemon.readAllStandardError().toStdString();

        QDBusConnection bus = QDBusConnection::connectToBus(address, "stand-in");
        ASSERT_TRUE(bus.isConnected());
        // Registered before it moves: the helper object the registration makes is its child
        // and moves with it (made from here after the move, it could not be, and would leak).
        ASSERT_TRUE(bus.registerVirtualObject(
                "/org/freedesktop", &m_standIn, QDBusConnection::SubPath));
        m_standIn.moveToThread(&m_thread);
        m_thread.start();
        ASSERT_TRUE(bus.registerService("org.freedesktop.ScreenSaver"));
        ASSERT_TRUE(bus.registerService("org.freedesktop.portal.Desktop"));
    }

    void TearDown() override
    {
        QDBusConnection::disconnectFromBus("client");
        standInLeaves();
        m_thread.quit();
        m_thread.wait();
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(5000);
        }
    }

    // The services leave the bus; their objects are taken off first, so nothing of them stays
    // in the process.
    static void standInLeaves()
    {
        QDBusConnection bus("stand-in");
        if (bus.isConnected())
            bus.unregisterObject("/org/freedesktop", QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus("stand-in");
    }

    QDBusConnection client() { return QDBusConnection::connectToBus(address, "client"); }

    // The program logged in to a unit, with the test's bus as its session bus unless
    // `environment` says otherwise.
    void startSession(const QString &unitAddress, QStringList environment = {},
            const QStringList &unitOptions = {})
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the X display of the test run";
        if (environment.isEmpty())
            environment << "DBUS_SESSION_BUS_ADDRESS=" + address;
        unit = std::make_unique<UnitProcess>(unitAddress, unitOptions);
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
        desktop = std::make_unique<DesktopProcess>(*unit, "1234", QStringList(), environment);
        ASSERT_TRUE(desktop->started()) << desktop->output().toStdString();
        desktop->click(Control::ProfileRow);
        desktop->click(Control::Login);
        ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    }

    // Returns once pictures of this share have left, so Stop is enabled. Pictures of an
    // earlier share may still be checked by the emulator: its reports of pictures sent are
    // counted as they come, in order.
    void share()
    {
        const auto sent = UnitProcess::controlIn("MSG_FRAME_SENT");
        const int before = unit->count(sent);
        desktop->click(Control::Share);
        ASSERT_TRUE(unit->waitFor(sent, before + 2)) << diagnosis();
    }

    // The inhibitor hears the desktop through the event loop: runs it until pred holds.
    static bool answeredUntil(const std::function<bool()> &pred)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return pred();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    bool heldBecomes(std::size_t held)
    {
        return pollUntil([&] { return standIn().held() == held; }, 5s);
    }

    // The end of the desktop session, which the program answers by ending.
    void endBySignal()
    {
        desktop->signal(SIGTERM);
        EXPECT_TRUE(desktop->waitForExit(10s)) << diagnosis();
    }

    std::string diagnosis() const
    {
        return ("program:\n" + desktop->output() + "\nunit:\n" + unit->output()).toStdString();
    }

    const DesktopStandIn &standIn() const { return m_standIn; }
    DesktopStandIn &standIn() { return m_standIn; }

    QString address;
    std::unique_ptr<UnitProcess> unit;
    std::unique_ptr<DesktopProcess> desktop;

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QThread m_thread;
    DesktopStandIn m_standIn;
};

TEST_F(ScreenAwake, ScreenSaverRouteHoldsOnceAndGivesItsCookieBack)
{
    {
        IdleInhibitor inhibitor(IdleInhibitor::Route::ScreenSaver, client());
        ASSERT_TRUE(inhibitor.hold("sharing"));
        EXPECT_TRUE(inhibitor.hold("sharing"));
        ASSERT_TRUE(answeredUntil([&] { return inhibitor.held(); }));
        ASSERT_EQ(standIn().count("Inhibit"), 1);
        const Call inhibit = standIn().calls().first();
        EXPECT_EQ(inhibit.path, "/org/freedesktop/ScreenSaver");
        EXPECT_EQ(inhibit.arguments.value(1).toString(), "sharing");
        EXPECT_FALSE(inhibit.arguments.value(0).toString().isEmpty());

        inhibitor.release();
        inhibitor.release();
        EXPECT_FALSE(inhibitor.held());
        ASSERT_EQ(standIn().count("UnInhibit"), 1);
        EXPECT_EQ(standIn().calls().last().arguments, QVariantList{ 1u });

        // Released before a slow desktop answered: given back once it does.
        standIn().answerDelayMs = 300;
        ASSERT_TRUE(inhibitor.hold("slow"));
        inhibitor.release();
        EXPECT_TRUE(answeredUntil([&] { return !inhibitor.asking(); }));
        EXPECT_EQ(standIn().count("UnInhibit"), 2);
        EXPECT_FALSE(inhibitor.held());

        ASSERT_TRUE(inhibitor.hold("again")); // still asked when it goes
    }
    EXPECT_EQ(standIn().count("Inhibit"), 3);
    EXPECT_EQ(standIn().held(), 0u);
    EXPECT_EQ(standIn().mostHeld(), 1u);
}

TEST_F(ScreenAwake, PortalRouteAsksForIdleAndClosesItsRequest)
{
    {
        IdleInhibitor inhibitor(IdleInhibitor::Route::Portal, client());
        ASSERT_TRUE(inhibitor.hold("sharing"));
        EXPECT_TRUE(inhibitor.hold("sharing"));
        ASSERT_TRUE(answeredUntil([&] { return inhibitor.held(); }));
        ASSERT_EQ(standIn().count("PortalInhibit"), 1);
        const Call inhibit = standIn().calls().first();
        EXPECT_EQ(inhibit.path, "/org/freedesktop/portal/desktop");
        EXPECT_EQ(inhibit.arguments.value(0).toString(), "");
        EXPECT_EQ(inhibit.arguments.value(1).toUInt(), 8u);
        EXPECT_EQ(inhibit.arguments.value(2).toMap().value("reason").toString(), "sharing");

        inhibitor.release();
        ASSERT_EQ(standIn().count("Close"), 1);
        EXPECT_EQ(standIn().calls().last().path, "/org/freedesktop/portal/desktop/request/1_1/t1");
        ASSERT_TRUE(inhibitor.hold("again"));
        ASSERT_TRUE(answeredUntil([&] { return inhibitor.held(); })); // held when it goes
    }
    EXPECT_EQ(standIn().count("Close"), 2);
    EXPECT_EQ(standIn().held(), 0u);
}

TEST_F(ScreenAwake, WithoutBusOrServiceNothingIsHeld)
{
    IdleInhibitor noBus(IdleInhibitor::Route::ScreenSaver,
            QDBusConnection::connectToBus("unix:path=/nonexistent", "no-bus"));
    EXPECT_FALSE(noBus.hold("sharing"));
    noBus.release();
    QDBusConnection::disconnectFromBus("no-bus");

    standInLeaves();
    IdleInhibitor noService(IdleInhibitor::Route::Portal, client());
    EXPECT_TRUE(noService.hold("sharing")) << "asked";
    EXPECT_TRUE(answeredUntil([&] { return !noService.asking(); }));
    EXPECT_FALSE(noService.held());
}

// Held from the accepted share to Stop, and again to a logout during the share; never two.
TEST_F(ScreenAwake, TheProgramHoldsWhileSharingOnly)
{
    ASSERT_NO_FATAL_FAILURE(startSession("127.0.0.230"));
    EXPECT_EQ(standIn().held(), 0u);
    ASSERT_NO_FATAL_FAILURE(share());
    ASSERT_TRUE(heldBecomes(1)) << diagnosis();

    desktop->click(Control::Stop);
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
    EXPECT_TRUE(heldBecomes(0)) << diagnosis();

    ASSERT_NO_FATAL_FAILURE(share());
    ASSERT_TRUE(heldBecomes(1)) << diagnosis();
    desktop->click(Control::Logout);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("logout"), 1, 10s)) << diagnosis();
    EXPECT_TRUE(heldBecomes(0)) << diagnosis();

    desktop->requestClose();
    const auto end = desktop->waitForExit(10s);
    EXPECT_TRUE(end && end->clean()) << diagnosis();
    EXPECT_EQ(standIn().count("Inhibit"), 2);
    EXPECT_EQ(standIn().count("UnInhibit"), 2);
    EXPECT_EQ(standIn().mostHeld(), 1u);
    const Call first = standIn().calls().first();
    EXPECT_EQ(first.arguments.value(0).toString(), "tandeo-desktop");
}

// A desktop slow to answer does not hold up the share: pictures flow before it grants the
// inhibition, which is held from then on.
TEST_F(ScreenAwake, TheShareGoesOnWhileASlowDesktopIsAsked)
{
    ASSERT_NO_FATAL_FAILURE(startSession("127.0.0.236"));
    standIn().answerDelayMs = 2500; // within the time the program gives the desktop
    ASSERT_NO_FATAL_FAILURE(share());
    EXPECT_EQ(standIn().withheld, 1) << "the pictures waited for the desktop";
    standIn().answerDelayMs = 0;
    EXPECT_TRUE(heldBecomes(1)) << diagnosis();
    desktop->click(Control::Stop);
    EXPECT_TRUE(heldBecomes(0)) << diagnosis();
    endBySignal();
}

// A desktop slow to answer does not hold up the stop: the unit hears it first.
TEST_F(ScreenAwake, TheStopReachesTheUnitBeforeASlowDesktopIsAsked)
{
    ASSERT_NO_FATAL_FAILURE(startSession("127.0.0.235"));
    ASSERT_NO_FATAL_FAILURE(share());
    ASSERT_TRUE(heldBecomes(1)) << diagnosis();
    standIn().answerDelayMs = 1500;
    const auto clicked = std::chrono::system_clock::now();
    desktop->click(Control::Stop);
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
    const auto stop = unit->events();
    const auto arrived = std::find_if(stop.begin(), stop.end(), UnitProcess::controlIn("MSG_STOP"));
    const auto waited = std::chrono::microseconds((*arrived)["arrivedUs"].toInteger())
            - std::chrono::duration_cast<std::chrono::microseconds>(clicked.time_since_epoch());
    EXPECT_LT(waited, 700ms) << "the stop waited for the desktop";
    EXPECT_TRUE(heldBecomes(0)) << diagnosis();
    endBySignal();
}

TEST_F(ScreenAwake, EndedBySignalDuringAShareItLeavesNothingHeld)
{
    ASSERT_NO_FATAL_FAILURE(startSession("127.0.0.231"));
    ASSERT_NO_FATAL_FAILURE(share());
    ASSERT_TRUE(heldBecomes(1)) << diagnosis();
    desktop->signal(SIGTERM);
    const auto end = desktop->waitForExit(10s);
    EXPECT_TRUE(end && end->clean()) << diagnosis();
    EXPECT_EQ(standIn().held(), 0u);
    EXPECT_EQ(standIn().count("UnInhibit"), 1);
}

// The unit's own stop, and a unit gone mid-share, give it back as well.
TEST_F(ScreenAwake, TheUnitsStopGivesItBack)
{
    ASSERT_NO_FATAL_FAILURE(startSession("127.0.0.233", {}, { "--stop-after", "4" }));
    ASSERT_NO_FATAL_FAILURE(share());
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlOut("MSG_STOP"))) << diagnosis();
    EXPECT_TRUE(
            pollUntil([&] { return standIn().count("Inhibit") == 1 && standIn().held() == 0; }, 5s))
            << diagnosis();
    endBySignal();
}

TEST_F(ScreenAwake, AUnitGoneMidShareGivesItBack)
{
    ASSERT_NO_FATAL_FAILURE(startSession("127.0.0.234"));
    ASSERT_NO_FATAL_FAILURE(share());
    ASSERT_TRUE(heldBecomes(1)) << diagnosis();
    unit->kill();
    ASSERT_TRUE(desktop->waitForBox("The unit ended the connection.")) << diagnosis();
    EXPECT_EQ(standIn().held(), 0u);
    desktop->answerBoxes();
    endBySignal();
}

// Without a session bus the shares go on as before, and the program says so once.
TEST_F(ScreenAwake, WithoutASessionBusTheShareGoesOnAndSaysSoOnce)
{
    ASSERT_NO_FATAL_FAILURE(
            startSession("127.0.0.232", { "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent" }));
    for (int round = 0; round < 2; ++round) {
        ASSERT_NO_FATAL_FAILURE(share());
        desktop->click(Control::Stop);
        ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"), round + 1)) << diagnosis();
        desktop->answerBoxes();
    }
    desktop->click(Control::Logout);
    ASSERT_TRUE(unit->waitFor(UnitProcess::command("logout"), 1, 10s)) << diagnosis();
    desktop->requestClose();
    const auto end = desktop->waitForExit(10s);
    EXPECT_TRUE(end && end->clean()) << diagnosis();
    EXPECT_EQ(desktop->output().count("The screen may blank while sharing"), 1) << diagnosis();
    EXPECT_EQ(standIn().calls().size(), 0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // for QProcess and the bus connections
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
