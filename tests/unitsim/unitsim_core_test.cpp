// The emulator's pure parts: reading command documents and the command line; and the send
// its endpoints use on their non-blocking sockets.

#include "cli_options.h"
#include "command_reader.h"
#include "json_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <socket_ops.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using unitsim::Command;
using unitsim::Family;

TEST(CommandReader, PercentDecodingKeepsWhatIsNotAnEscape)
{
    const struct
    {
        std::string in, out;
    } rows[] = {
        { "%3C%3f%20a", "<? a" },
        { "100%", "100%" },
        { "%4", "%4" },
        { "%G1x", "%G1x" },
        { "a+b", "a+b" },
        { "%00z", std::string("\0z", 2) },
        { "%C3%A9", "\xC3\xA9" },
    };
    for (const auto &row : rows)
        EXPECT_EQ(unitsim::percentDecode(row.in), row.out) << row.in;
}

TEST(CommandReader, ReadsEveryCommandOfBothDialects)
{
    const struct
    {
        std::string target;
        std::optional<Family> family;
        Command command;
        std::string device, session, accessCode;
    } rows[] = {
        // The QMT keep-alive as the URL layer encodes it: "=", "/", ":", "?" stay.
        { "/cgi-bin/doxml.cgi?xmldoc=%3C?xml%20version=%221.0%22%20encoding=%22utf-8%22%20%20%20"
          "standalone=%22yes%22?%3E%20%3CVC%20device=%22pc-1%22%20version=%221.0%22%20session=%22"
          "Ab12%22%3E%3Cnop/%3E%3C/VC%3E",
                Family::Qmt, Command::KeepAlive, "pc-1", "Ab12", "" },
        { "/cgi-bin/"
          "doxml.cgi?xmldoc=%3CVC%20device=%22pc%22%20session=%22Ab12%22%3E%3Cget%20id=%221"
          "%22%20object=%22System/FirmwareVersion%22%20/%3E%3Cnop/%3E%3C/VC%3E",
                Family::Qmt, Command::Firmware, "pc", "Ab12", "" },
        { "/cgi-bin/doxml.cgi?xmldoc=%3CVC%20device=%22pc%22%20session=%22Ab12%22%3E%3Clogout/%3E"
          "%3C/VC%3E",
                Family::Qmt, Command::Logout, "pc", "Ab12", "" },
        { "/cgi-bin/doxml.cgi?xmldoc=%3CVC%20device%3D%22pc%22%20acccode%3D%22a%26amp%3Bb%22%20%2F"
          "%3E",
                Family::Qmt, Command::Login, "pc", "", "a&b" },
        { "/docmd?jdoc=%5B%20%7B%22cmd%22:%22login%22,%20%22device%22:%22pc%22,%20%22version%22:"
          "%222.0%22,%20%22session%22:%22Ab12%22%7D,%20%7B%22cmd%22:%22get%22,%20%22id%22:%221%22,"
          "%20%22object%22:%22System/FirmwareVersion%22%7D%20%5D",
                Family::Zmt, Command::Firmware, "pc", "Ab12", "" },
        { "/docmd?jdoc=[{\"cmd\":\"login\",\"session\":\"Ab12\"},{\"cmd\":\"logout\"}]",
                Family::Zmt, Command::Logout, "", "Ab12", "" },
        { "/docmd?jdoc=[ {\"cmd\":\"login\", \"session\":\"Ab12\"}, {\"cmd\":\"nop\"} ]",
                Family::Zmt, Command::KeepAlive, "", "Ab12", "" },
        // Quotation marks and commas inside the access code, as the client leaves them.
        { "/docmd?jdoc=[ {\"cmd\":\"login\", \"device\":\"pc\", \"acccode\":\"x\", \"y\"}, "
          "{\"cmd\":\"nop\"} ]",
                Family::Zmt, Command::Login, "pc", "", "x\", \"y" },
        { "/docmd?jdoc=[ {\"cmd\":\"login\", \"acccode\":\"&amp;lt;\"} ]", Family::Zmt,
                Command::Login, "", "", "&lt;" },
        { "/cgi-bin/doxml.cgi?xmldoc=<VC acccode=\"a\" b\" />", Family::Qmt, Command::Login, "", "",
                "a\" b" },
        { "/docmd?jdoc=[ {\"cmd\":\"get\"} ]", Family::Zmt, Command::Unknown, "", "", "" },
        { "/cgi-bin/doxml.cgi?xmldoc=not xml", Family::Qmt, Command::Unknown, "", "", "" },
        { "/other?xmldoc=%3CVC/%3E", std::nullopt, Command::Unknown, "", "", "" },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.target);
        unitsim::CommandDocument doc = unitsim::readCommand(row.target);
        EXPECT_EQ(doc.family, row.family);
        EXPECT_EQ(doc.command, row.command);
        EXPECT_EQ(doc.device, row.device);
        EXPECT_EQ(doc.session, row.session);
        EXPECT_EQ(doc.accessCode, row.accessCode);
    }
}

TEST(JsonLine, AnyBytesMakeValidJson)
{
    unitsim::JsonLine line;
    line.add("text", std::string("a\"b\\c\n\x01\xC3\xA9\xFF", 10)).add("n", 7).addBool("ok", true);
    EXPECT_EQ(
            line.str(), "{\"text\":\"a\\\"b\\\\c\\n\\u0001\xC3\xA9\\u00ff\",\"n\":7,\"ok\":true}");
}

TEST(CommandLine, EveryOptionReachesTheOptions)
{
    unitsim::CommandLine cl = unitsim::parseCommandLine({ "--address", "127.0.0.9", "--http-port",
            "8080", "--family", "zmt", "--access-code", "a&b", "--session", "Xy99zz", "--refuse",
            "104", "--firmware", "V1.00.00", "--unsupported-firmware", "--login-reply", "raw",
            "--firmware-reply", "fw", "--own-status", "500", "--other-path", "close",
            "--http-silent", "--http-delay", "25", "--http-answer-limit", "3", "--no-control",
            "--no-rtp", "--rtp-rcvbuf", "65536", "--reject-connect", "--reject-share",
            "--reject-reason", "0a0B0c0D", "--silent-control", "--no-share-request",
            "--frame-budget", "7", "--pull-interval", "200", "--stop-after", "2",
            "--disconnect-after", "4", "--close-after", "5", "--stop-answer", "reject", "--save",
            "/tmp/f", "--log", "/tmp/l", "--viewer", "--exit-after-frames", "9", "--run-for",
            "1000", "--quiet" });
    ASSERT_FALSE(cl.error) << *cl.error;
    const unitsim::Options &o = cl.options;
    EXPECT_EQ(o.address, "127.0.0.9");
    EXPECT_EQ(o.httpPort, 8080);
    EXPECT_EQ(o.family, Family::Zmt);
    EXPECT_EQ(o.accessCode, "a&b");
    EXPECT_EQ(o.sessionId, "Xy99zz");
    EXPECT_EQ(o.loginRefusal, unitsim::LoginRefusal::NotAccessible);
    EXPECT_EQ(o.firmwareVersion, "V1.00.00");
    EXPECT_TRUE(o.unsupportedFirmware);
    EXPECT_EQ(o.loginReplyBody, "raw");
    EXPECT_EQ(o.firmwareReplyBody, "fw");
    EXPECT_EQ(o.ownPathStatus, 500);
    EXPECT_EQ(o.otherPath, unitsim::OtherPath::Close);
    EXPECT_TRUE(o.httpSilent);
    EXPECT_EQ(o.httpDelayMs, 25);
    EXPECT_EQ(o.httpAnswerLimit, 3);
    EXPECT_FALSE(o.controlListen);
    EXPECT_FALSE(o.rtpListen);
    EXPECT_EQ(o.rtpReceiveBuffer, 65536);
    EXPECT_TRUE(o.rejectConnect);
    EXPECT_TRUE(o.rejectShare);
    EXPECT_EQ(o.rejectReason, (std::array<std::uint8_t, 4>{ 0x0A, 0x0B, 0x0C, 0x0D }));
    EXPECT_TRUE(o.silentControl);
    EXPECT_FALSE(o.autoShareRequest);
    EXPECT_EQ(o.frameBudget, 7);
    EXPECT_EQ(o.pullIntervalMs, 200);
    EXPECT_EQ(o.stopAfterFrames, 2);
    EXPECT_EQ(o.disconnectAfterFrames, 4);
    EXPECT_EQ(o.closeAfterFrames, 5);
    EXPECT_EQ(o.stopAnswer, unitsim::StopAnswer::Reject);
    EXPECT_EQ(o.saveFolder, "/tmp/f");
    EXPECT_EQ(o.logPath, "/tmp/l");
    EXPECT_TRUE(o.viewer);
    EXPECT_EQ(cl.exitAfterFrames, 9);
    EXPECT_EQ(cl.runForMs, 1000);
    EXPECT_TRUE(cl.quiet);

    unitsim::CommandLine status = unitsim::parseCommandLine({ "--other-path", "410" });
    EXPECT_EQ(status.options.otherPath, unitsim::OtherPath::Status);
    EXPECT_EQ(status.options.otherPathStatus, 410);
}

TEST(CommandLine, UnusableArgumentsAreRefusedWithAReason)
{
    const struct
    {
        std::vector<std::string> args;
        std::string error;
    } rows[] = {
        { { "--bogus" }, "unknown option --bogus" },
        { { "--frame-budget" }, "--frame-budget needs a value" },
        { { "--http-port", "70000" }, "--http-port: not a number from 1 to 65535: 70000" },
        { { "--family", "xmt" }, "--family: qmt or zmt, not xmt" },
        { { "--reject-reason", "12" }, "--reject-reason: 8 hexadecimal digits, not 12" },
        { { "--rtp-rcvbuf", "512" }, "--rtp-rcvbuf: not a number from 1024 to 67108864: 512" },
        { { "--stop-answer", "maybe" },
                "--stop-answer: accept, reject, silent or close, not maybe" },
        { { "--address", "127.0.0.1" },
                "127.0.0.1 is the client's own RTP address; give the unit another 127.0.0.x" },
    };
    for (const auto &row : rows) {
        unitsim::CommandLine cl = unitsim::parseCommandLine(row.args);
        ASSERT_TRUE(cl.error) << row.args[0];
        EXPECT_EQ(*cl.error, row.error);
    }
    // Every option of the parser is in the help text.
    const std::string help = unitsim::helpText();
    for (const char *name : { "--address", "--http-port", "--log", "--save", "--viewer", "--quiet",
                 "--family", "--access-code", "--session", "--refuse", "--firmware",
                 "--unsupported-firmware", "--login-reply", "--firmware-reply", "--own-status",
                 "--other-path", "--http-silent", "--http-delay", "--http-answer-limit",
                 "--no-control", "--reject-connect", "--reject-share", "--reject-reason",
                 "--silent-control", "--no-share-request", "--frame-budget", "--pull-interval",
                 "--stop-after", "--disconnect-after", "--close-after", "--stop-answer", "--no-rtp",
                 "--rtp-rcvbuf", "--exit-after-frames", "--run-for", "--write-profile",
                 "--profile-title", "--help" })
        EXPECT_NE(help.find(name), std::string::npos) << name;
}

// --- Sends on non-blocking sockets ------------------------------------------------------------

class NonBlockingSend : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        sender.reset(pair[0]);
        receiver.reset(pair[1]);
        int small = 4096;
        ::setsockopt(sender.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::fcntl(sender.get(), F_SETFL, ::fcntl(sender.get(), F_GETFL, 0) | O_NONBLOCK);
        payload.resize(4 * 1024 * 1024);
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    }

    net::UniqueFd sender;
    net::UniqueFd receiver;
    std::vector<std::uint8_t> payload;
};

TEST_F(NonBlockingSend, WaitsForRoomWhileThePeerReadsAndSendsEveryByteInOrder)
{
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t buffer[8192];
        while (received.size() < payload.size()) {
            const ssize_t n = ::recv(receiver.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received.insert(received.end(), buffer, buffer + n);
        }
    });
    const ssize_t sent = net::sendAllWithin(sender.get(), payload, std::chrono::seconds(30));
    reader.join();
    EXPECT_EQ(sent, static_cast<ssize_t>(payload.size()));
    EXPECT_TRUE(received == payload);
}

TEST_F(NonBlockingSend, FailsWhenThePeerNeverReadsOrHasGone)
{
    EXPECT_EQ(net::sendAllWithin(sender.get(), payload, std::chrono::milliseconds(20)), -1)
            << "a peer that reads nothing must not hold the sender for ever";

    // A peer that went away: an error, not SIGPIPE (which would end this test program).
    receiver.reset();
    const std::uint8_t byte = 1;
    EXPECT_EQ(net::sendAllWithin(sender.get(), std::span(&byte, 1), std::chrono::seconds(1)), -1);
    EXPECT_EQ(net::sendAllWithin(sender.get(), {}, std::chrono::seconds(1)), 0);
}

} // namespace
