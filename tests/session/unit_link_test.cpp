// The built tandeo-desktop against tandeo-unitsim as their own processes, on what the link to
// the unit must withstand: the desktop's proxy settings, and a unit that goes away while the
// window waits for its answer to Stop. Each test has its own unit address (127.0.0.200 and up).
//
// Qt never sends requests for a loopback address through a proxy, so the proxy test needs a unit
// on an address of the local network. The whole test program runs in a network namespace of its
// own (made in main, as root), where such an address sits on the namespace's loopback device:
// nothing leaves the namespace. The X server is still reached through its socket file.

#include "program_session.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::DesktopProcess;
using testsupport::UnitProcess;
using Control = DesktopProcess::Control;

namespace {

// A local network address of the namespace's own; empty when no namespace could be made.
QString lanAddress;

// Enters a new network namespace and gives its loopback device the address of a unit in the
// local network. Before any thread starts, so every thread and child process shares it.
QString enterOwnNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return QString();
    if (std::system("ip link set lo up && ip addr add 192.0.2.200/32 dev lo") != 0)
        return QString();
    return "192.0.2.200";
}

// Stands where a proxy would: takes every connection on a loopback port and keeps the first
// bytes of each, so that any request sent its way shows. It never answers.
class ListeningProxy
{
public:
    explicit ListeningProxy(const char *address)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &where.sin_addr);
        socklen_t size = sizeof where;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&where), size) != 0
                || ::listen(m_fd, 16) != 0
                || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&where), &size) != 0)
            return;
        m_url = QString("http://%1:%2").arg(address).arg(ntohs(where.sin_port));
        m_thread = std::thread([this] { run(); });
    }
    ~ListeningProxy()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    QString url() const { return m_url; } // empty when it could not listen
    int connections() const { return m_connections; }
    std::string received() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    void run()
    {
        while (!m_stop) {
            pollfd listening{ m_fd, POLLIN, 0 };
            if (::poll(&listening, 1, 50) <= 0)
                continue;
            const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            ++m_connections;
            pollfd incoming{ client, POLLIN, 0 };
            char buffer[2048];
            if (::poll(&incoming, 1, 500) > 0) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                std::lock_guard lock(m_mutex);
                if (n > 0)
                    m_received.append(buffer, std::size_t(n));
            }
            ::close(client);
        }
    }

    int m_fd = -1;
    QString m_url;
    std::thread m_thread;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_connections = 0;
    mutable std::mutex m_mutex;
    std::string m_received;
};

class UnitLink : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the X display of the test run";
    }

    void start(const QString &address, const QStringList &unitOptions = {},
            const QStringList &environment = {})
    {
        unit = std::make_unique<UnitProcess>(address, unitOptions);
        ASSERT_TRUE(unit->started()) << unit->output().toStdString();
        desktop = std::make_unique<DesktopProcess>(*unit, "1234", QStringList(), environment);
        ASSERT_TRUE(desktop->started()) << desktop->output().toStdString();
    }

    void logIn()
    {
        desktop->click(Control::ProfileRow);
        desktop->click(Control::Login);
        ASSERT_TRUE(unit->waitFor(UnitProcess::command("firmware"))) << diagnosis();
    }

    void logOutAndClose()
    {
        desktop->click(Control::Logout);
        ASSERT_TRUE(unit->waitFor(UnitProcess::command("logout"), 1, 10s)) << diagnosis();
        desktop->requestClose();
        const auto end = desktop->waitForExit(10s);
        EXPECT_TRUE(end && end->clean()) << diagnosis();
    }

    std::string diagnosis() const
    {
        return ("program:\n" + desktop->output() + "\nunit:\n" + unit->output()).toStdString();
    }

    std::unique_ptr<UnitProcess> unit;
    std::unique_ptr<DesktopProcess> desktop;
};

// The desktop's proxy settings point at a listener that would take the requests (and the
// access code in the login URL) and answer none: the unit is reached directly all the same.
TEST_F(UnitLink, TheUnitIsReachedDirectlyWhateverTheProxySettings)
{
    if (lanAddress.isEmpty())
        GTEST_SKIP() << "needs a network namespace of its own (run as root)";
    ListeningProxy proxy("127.0.0.209");
    ASSERT_FALSE(proxy.url().isEmpty());
    QStringList environment = { "no_proxy=", "NO_PROXY=" };
    for (const char *name :
            { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" })
        environment << QString(name) + "=" + proxy.url();
    start(lanAddress, {}, environment);

    logIn();
    logOutAndClose();
    EXPECT_EQ(desktop->boxes(), QStringList()) << diagnosis();
    EXPECT_EQ(proxy.connections(), 0) << proxy.received();
}

// Stop is sent and the unit, instead of answering, closes the control connection: the window
// gives Share back as when the unit goes away mid-share, and a new Share connects anew.
TEST_F(UnitLink, AUnitGoneBeforeAnsweringStopGivesShareBack)
{
    start("127.0.0.201", { "--stop-answer", "close" });
    logIn();
    desktop->click(Control::Share);
    ASSERT_TRUE(unit->waitFor(UnitProcess::validFrame(), 2)) << diagnosis();
    desktop->click(Control::Stop);
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"))) << diagnosis();
    ASSERT_TRUE(desktop->waitForBox("The unit ended the connection.")) << diagnosis();
    desktop->answerBoxes();

    // Pictures of the first share may still be checked by the emulator; its reports of
    // pictures sent are counted as they come.
    const auto sent = UnitProcess::controlIn("MSG_FRAME_SENT");
    const int sentBefore = unit->count(sent);
    desktop->click(Control::Share);
    EXPECT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_CONNECT"), 2)) << diagnosis();
    EXPECT_TRUE(unit->waitFor(sent, sentBefore + 2)) << diagnosis();
    desktop->click(Control::Stop);
    ASSERT_TRUE(unit->waitFor(UnitProcess::controlIn("MSG_STOP"), 2)) << diagnosis();
    desktop->answerBoxes();
    logOutAndClose();
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!::testing::GTEST_FLAG(list_tests))
        lanAddress = enterOwnNetwork();
    QCoreApplication app(argc, argv); // for QProcess
    return RUN_ALL_TESTS();
}
