// The tandeo-unitsim program as a child process: its options, its log and its summary.

#include "raw_peer.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace std::chrono_literals;

namespace {

const std::string Address = "127.0.0.45";

// A child with its standard output and error read through pipes.
class Child
{
public:
    explicit Child(const std::vector<std::string> &args)
    {
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe(out), 0);
        EXPECT_EQ(::pipe(err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all = { UNITSIM_PROGRAM };
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_pid, UNITSIM_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }

    // Reads standard error until it holds `text` or the deadline passes.
    bool waitForError(const std::string &text, std::chrono::milliseconds timeout = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_errText.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
            pollfd p{ m_err, POLLIN, 0 };
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return false;
            char buffer[1024];
            ssize_t n = ::read(m_err, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            m_errText.append(buffer, std::size_t(n));
        }
        return true;
    }

    // Waits for the exit (at most the timeout) and returns the status and the whole output.
    int finish(std::string &out, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (int fd : { m_out, m_err }) {
            while (true) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now());
                pollfd p{ fd, POLLIN, 0 };
                if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                    break;
                char buffer[4096];
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                (fd == m_out ? out : m_errText).append(buffer, std::size_t(n));
            }
        }
        int status = -1;
        if (::waitpid(m_pid, &status, 0) == m_pid)
            m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void signal(int sig) { ::kill(m_pid, sig); }
    const std::string &errorText() const { return m_errText; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_errText;
};

TEST(UnitsimProgram, HelpAndBadOptions)
{
    std::string out;
    Child help({ "--help" });
    EXPECT_EQ(help.finish(out), 0);
    EXPECT_NE(out.find("--frame-budget N"), std::string::npos);

    Child bad({ "--frame-budget", "many" });
    EXPECT_EQ(bad.finish(out), 2);
    EXPECT_NE(bad.errorText().find("--frame-budget: not a number"), std::string::npos)
            << bad.errorText();
}

TEST(UnitsimProgram, RunsAUnitLogsItAndSummarisesAtExit)
{
    const std::string log = (std::filesystem::temp_directory_path()
            / ("unitsim-program-" + std::to_string(::getpid()) + ".log"))
                                    .string();
    std::filesystem::remove(log);
    Child unit({ "--address", Address, "--family", "zmt", "--session", "Qq77", "--log", log,
            "--exit-after-frames", "1" });
    ASSERT_TRUE(unit.waitForError("ZMT unit on 127.0.0.45")) << unit.errorText();

    // A second program on the same address fails with the bind error.
    std::string ignored;
    Child second({ "--address", Address });
    EXPECT_EQ(second.finish(ignored), 1);
    EXPECT_NE(second.errorText().find("Address already in use"), std::string::npos)
            << second.errorText();

    rawpeer::TcpClient http(Address, 80);
    http.get(
            "/docmd?jdoc=%5B%20%7B%22cmd%22%3A%22login%22%2C%20%22acccode%22%3A%221234%22%7D%20%5D",
            Address);
    rawpeer::TcpClient::Response reply = http.receiveResponse();
    EXPECT_EQ(reply.body, "[ {\"cmd\":\"login\", \"session\":\"Qq77\", \"errno\":000} ]");
    rawpeer::UdpSender rtp;
    const std::uint32_t ssrc = 0x37377151; // "Qq77"
    for (const auto &packet : rawpeer::packetize(rawpeer::makeJpeg(80, 60), 80, 60, 7, ssrc))
        rtp.sendTo(Address, 50001, packet);

    std::string out;
    EXPECT_EQ(unit.finish(out), 0) << "exits after its one frame";
    EXPECT_NE(out.find("unit 127.0.0.45 (ZMT, session Qq77)"), std::string::npos) << out;
    EXPECT_NE(out.find("frames 1 valid, 0 not valid; last 80x60"), std::string::npos) << out;

    std::ifstream file(log);
    std::string text((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(text.find("\"event\":\"http_request\""), std::string::npos);
    EXPECT_NE(text.find("\"document\":\"[ {\\\"cmd\\\":\\\"login\\\", "
                        "\\\"acccode\\\":\\\"1234\\\"} ]\""),
            std::string::npos)
            << text;
    EXPECT_NE(text.find("\"event\":\"frame\""), std::string::npos);
    EXPECT_NE(text.find("\"event\":\"summary\""), std::string::npos);
    std::filesystem::remove(log);
}

TEST(UnitsimProgram, EndsOnSigtermWithItsSummary)
{
    Child unit({ "--address", Address, "--viewer" });
    ASSERT_TRUE(unit.waitForError("QMT unit on 127.0.0.45")) << unit.errorText();
    unit.signal(SIGTERM);
    std::string out;
    EXPECT_EQ(unit.finish(out), 0);
    EXPECT_NE(out.find("http: 0 requests"), std::string::npos) << out;
}

TEST(UnitsimProgram, WritesAProfileDatabaseForTheDemoHome)
{
    const std::string path = (std::filesystem::temp_directory_path()
            / ("unitsim-profile-" + std::to_string(::getpid()) + ".dat"))
                                     .string();
    std::ofstream(path) << "an old file that is replaced";
    std::string out;
    Child writer({ "--write-profile", path, "--address", "127.0.0.2", "--access-code", "a&b" });
    ASSERT_EQ(writer.finish(out), 0) << writer.errorText();
    // Its owner's only, as the program keeps it, whatever the umask.
    EXPECT_EQ(std::filesystem::status(path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    {
        int argc = 0;
        QCoreApplication app(argc, nullptr);
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(db.open());
        QSqlQuery query("SELECT p_id, title, ip, pw FROM Room", db);
        ASSERT_TRUE(query.next());
        EXPECT_EQ(query.value(1).toString(), "Demo unit");
        EXPECT_EQ(query.value(2).toString(), "127.0.0.2");
        EXPECT_EQ(query.value(3).toString(), "a&b");
        EXPECT_FALSE(query.next());
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("check");
    std::filesystem::remove(path);
}

} // namespace
