#include "cli_options.h"

#include <charconv>
#include <functional>
#include <map>

namespace unitsim {

namespace {

std::optional<int> toInt(const std::string &text, int min, int max)
{
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::array<std::uint8_t, 4>> toReason(const std::string &text)
{
    if (text.size() != 8)
        return std::nullopt;
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, value, 16);
        if (ec != std::errc() || end != text.data() + 2 * i + 2)
            return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

// "login,firmware" and the like; nullopt when a name is not a command.
std::optional<std::vector<Command>> toCommands(const std::string &text)
{
    static const std::map<std::string, Command, std::less<>> names = {
        { "login", Command::Login },
        { "firmware", Command::Firmware },
        { "keepalive", Command::KeepAlive },
        { "logout", Command::Logout },
    };
    std::vector<Command> commands;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string name = text.substr(start, comma - start);
        const auto it = names.find(name);
        if (it == names.end())
            return std::nullopt;
        commands.push_back(it->second);
        if (comma == std::string::npos)
            return commands;
        start = comma + 1;
    }
}

} // namespace

std::string helpText()
{
    return R"(Usage: tandeo-unitsim [options]

Plays one conferencing unit on one IPv4 address: the HTTP command server (QMT or ZMT dialect),
the control server on TCP 50000 and the RTP JPEG receiver on UDP 50001. Everything it sees goes
to a JSON-lines log; a summary is printed at exit (SIGINT or SIGTERM, or the exit options).

Address and output
  --address A              IPv4 address to bind, e.g. 127.0.0.2 (default 127.0.0.2; never
                           127.0.0.1, the client's own RTP address)
  --http-port N            HTTP port (default 80, the port the client uses)
  --log FILE               append JSON lines of everything seen to FILE
  --save DIR               save every valid frame as DIR/frame-NNNNNN.jpg
  --viewer                 show the latest picture, its size and the frame rate in a window
  --quiet                  print no summary at exit
  --write-profile FILE     write FILE, a profile database with one profile for this unit
                           (its address and access code), and exit without running
  --profile-title TEXT     the title of that profile (default "Demo unit")

Login (HTTP)
  --family qmt|zmt         dialect the unit speaks (default qmt)
  --access-code TEXT       access code the unit accepts (default 1234)
  --session ID             session id issued at login (default Ab12)
  --refuse none|103|104|bad-code
                           refuse every login: 103 too many users, 104 system not
                           accessible, bad-code as for a wrong access code (default none)
  --firmware TEXT          firmware version text the unit reports
  --unsupported-firmware   report the family's default version that cannot share
  --login-reply TEXT       send TEXT as the whole body of every login reply
  --firmware-reply TEXT    send TEXT as the whole body of every firmware reply

HTTP behaviour
  --own-status N           status of every answer on the unit's own path (default 200)
  --other-path N|silent|close
                           the other dialect's path: answer status N (default 404), never
                           answer, or close the connection
  --http-silent            read requests, never answer
  --http-delay MS          answer each request MS milliseconds after it came
  --own-path-delay MS      answer the unit's own path MS milliseconds later still
  --redirect-to URL        answer the unit's own path with 302 and this Location
  --http-answer-limit N    answer the first N requests only, then stay silent
  --huge-body MB           pad the body of every command answer with blanks to MB megabytes
                           (1 MB = 1048576 bytes), the usual reply first
  --endless-body           follow the body of every command answer with blanks that never
                           end (no Content-Length, Connection: close)
  --oversize-on LIST       the commands whose answers --huge-body and --endless-body apply to,
                           comma-separated from login, firmware, keepalive, logout (default all)

Control channel (TCP 50000)
  --no-control             do not listen on the control port (connections are refused)
  --reject-connect         refuse MSG_CONNECT
  --reject-share           refuse the client's MSG_SHARE
  --reject-reason HEX      the four reason bytes of a refusal, 8 hex digits (default 00000001)
  --silent-control         accept the connection, read, never send anything
  --no-share-request       do not send the unit's own MSG_SHARE after accepting a share
  --frame-budget N         MSG_NEXT_FRAME pulls per share (default unlimited)
  --pull-interval MS       at least MS milliseconds between two pulls (default 0: at once)
  --stop-after N           send MSG_STOP after N frames of a share
  --disconnect-after N     send MSG_DISCONNECT and close after N frames of a share
  --close-after N          close the connection after N frames of a share
  --stop-answer accept|reject|silent|close
                           answer to the client's MSG_STOP (default accept; close: none, the
                           connection is closed instead)

RTP (UDP 50001)
  --no-rtp                 do not listen on the RTP port
  --rtp-rcvbuf BYTES       receive buffer of the RTP socket (SO_RCVBUF), as small as an
                           embedded unit's, e.g. 65536 (default: a large one)

Exit
  --exit-after-frames N    exit once N valid frames arrived
  --run-for MS             exit after MS milliseconds
  --help                   this text
)";
}

CommandLine parseCommandLine(const std::vector<std::string> &args)
{
    CommandLine cl;
    Options &o = cl.options;
    std::size_t i = 0;
    std::string value;
    auto fail = [&](const std::string &text) {
        if (!cl.error)
            cl.error = text;
    };
    // Options that take a value read it with this; a missing value is an error.
    auto takeValue = [&](const std::string &name) -> bool {
        if (i + 1 >= args.size()) {
            fail(name + " needs a value");
            return false;
        }
        value = args[++i];
        return true;
    };
    auto intValue = [&](const std::string &name, int min, int max, int &into) {
        if (!takeValue(name))
            return;
        if (std::optional<int> v = toInt(value, min, max))
            into = *v;
        else
            fail(name + ": not a number from " + std::to_string(min) + " to " + std::to_string(max)
                    + ": " + value);
    };
    auto textValue = [&](const std::string &name, std::string &into) {
        if (takeValue(name))
            into = value;
    };

    const std::map<std::string, std::function<void(const std::string &)>> flags = {
        { "--help", [&](const std::string &) { cl.help = true; } },
        { "--quiet", [&](const std::string &) { cl.quiet = true; } },
        { "--viewer", [&](const std::string &) { o.viewer = true; } },
        { "--unsupported-firmware", [&](const std::string &) { o.unsupportedFirmware = true; } },
        { "--http-silent", [&](const std::string &) { o.httpSilent = true; } },
        { "--no-control", [&](const std::string &) { o.controlListen = false; } },
        { "--no-rtp", [&](const std::string &) { o.rtpListen = false; } },
        { "--reject-connect", [&](const std::string &) { o.rejectConnect = true; } },
        { "--reject-share", [&](const std::string &) { o.rejectShare = true; } },
        { "--silent-control", [&](const std::string &) { o.silentControl = true; } },
        { "--no-share-request", [&](const std::string &) { o.autoShareRequest = false; } },
        { "--endless-body", [&](const std::string &) { o.endlessBody = true; } },
        { "--huge-body",
                [&](const std::string &n) {
                    int megabytes = 0;
                    intValue(n, 1, 1 << 20, megabytes);
                    o.hugeBodyBytes = std::uint64_t(megabytes) << 20;
                } },
        { "--oversize-on",
                [&](const std::string &n) {
                    if (!takeValue(n))
                        return;
                    if (auto commands = toCommands(value))
                        o.oversizeCommands = *commands;
                    else
                        fail(n + ": login, firmware, keepalive or logout, comma-separated, not "
                                + value);
                } },
        { "--address", [&](const std::string &n) { textValue(n, o.address); } },
        { "--http-port",
                [&](const std::string &n) {
                    int port = o.httpPort;
                    intValue(n, 1, 65535, port);
                    o.httpPort = static_cast<std::uint16_t>(port);
                } },
        { "--log", [&](const std::string &n) { textValue(n, o.logPath); } },
        { "--write-profile", [&](const std::string &n) { textValue(n, cl.writeProfile); } },
        { "--profile-title", [&](const std::string &n) { textValue(n, cl.profileTitle); } },
        { "--save", [&](const std::string &n) { textValue(n, o.saveFolder); } },
        { "--access-code", [&](const std::string &n) { textValue(n, o.accessCode); } },
        { "--session", [&](const std::string &n) { textValue(n, o.sessionId); } },
        { "--firmware", [&](const std::string &n) { textValue(n, o.firmwareVersion); } },
        { "--login-reply",
                [&](const std::string &n) {
                    if (takeValue(n))
                        o.loginReplyBody = value;
                } },
        { "--firmware-reply",
                [&](const std::string &n) {
                    if (takeValue(n))
                        o.firmwareReplyBody = value;
                } },
        { "--family",
                [&](const std::string &n) {
                    if (!takeValue(n))
                        return;
                    if (value == "qmt")
                        o.family = Family::Qmt;
                    else if (value == "zmt")
                        o.family = Family::Zmt;
                    else
                        fail(n + ": qmt or zmt, not " + value);
                } },
        { "--refuse",
                [&](const std::string &n) {
                    if (!takeValue(n))
                        return;
                    if (value == "none")
                        o.loginRefusal = LoginRefusal::None;
                    else if (value == "103")
                        o.loginRefusal = LoginRefusal::TooManyUsers;
                    else if (value == "104")
                        o.loginRefusal = LoginRefusal::NotAccessible;
                    else if (value == "bad-code")
                        o.loginRefusal = LoginRefusal::BadCode;
                    else
                        fail(n + ": none, 103, 104 or bad-code, not " + value);
                } },
        { "--own-status", [&](const std::string &n) { intValue(n, 100, 599, o.ownPathStatus); } },
        { "--other-path",
                [&](const std::string &n) {
                    if (!takeValue(n))
                        return;
                    if (value == "silent") {
                        o.otherPath = OtherPath::Silent;
                    } else if (value == "close") {
                        o.otherPath = OtherPath::Close;
                    } else if (std::optional<int> status = toInt(value, 100, 599)) {
                        o.otherPath = OtherPath::Status;
                        o.otherPathStatus = *status;
                    } else {
                        fail(n + ": a status, silent or close, not " + value);
                    }
                } },
        { "--http-delay", [&](const std::string &n) { intValue(n, 0, 3600000, o.httpDelayMs); } },
        { "--own-path-delay",
                [&](const std::string &n) { intValue(n, 0, 3600000, o.ownPathDelayMs); } },
        { "--redirect-to", [&](const std::string &n) { textValue(n, o.redirectTo); } },
        { "--http-answer-limit",
                [&](const std::string &n) { intValue(n, 0, 1 << 30, o.httpAnswerLimit); } },
        { "--reject-reason",
                [&](const std::string &n) {
                    if (!takeValue(n))
                        return;
                    if (auto reason = toReason(value))
                        o.rejectReason = *reason;
                    else
                        fail(n + ": 8 hexadecimal digits, not " + value);
                } },
        { "--frame-budget", [&](const std::string &n) { intValue(n, 0, 1 << 30, o.frameBudget); } },
        { "--pull-interval",
                [&](const std::string &n) { intValue(n, 0, 3600000, o.pullIntervalMs); } },
        { "--stop-after",
                [&](const std::string &n) { intValue(n, 0, 1 << 30, o.stopAfterFrames); } },
        { "--disconnect-after",
                [&](const std::string &n) { intValue(n, 0, 1 << 30, o.disconnectAfterFrames); } },
        { "--close-after",
                [&](const std::string &n) { intValue(n, 0, 1 << 30, o.closeAfterFrames); } },
        { "--stop-answer",
                [&](const std::string &n) {
                    if (!takeValue(n))
                        return;
                    if (value == "accept")
                        o.stopAnswer = StopAnswer::Accept;
                    else if (value == "reject")
                        o.stopAnswer = StopAnswer::Reject;
                    else if (value == "silent")
                        o.stopAnswer = StopAnswer::Silent;
                    else if (value == "close")
                        o.stopAnswer = StopAnswer::Close;
                    else
                        fail(n + ": accept, reject, silent or close, not " + value);
                } },
        { "--rtp-rcvbuf",
                [&](const std::string &n) { intValue(n, 1024, 64 << 20, o.rtpReceiveBuffer); } },
        { "--exit-after-frames",
                [&](const std::string &n) { intValue(n, 1, 1 << 30, cl.exitAfterFrames); } },
        { "--run-for", [&](const std::string &n) { intValue(n, 0, 1 << 30, cl.runForMs); } },
    };

    for (i = 0; i < args.size(); ++i) {
        const std::string &name = args[i];
        auto it = flags.find(name);
        if (it == flags.end()) {
            fail("unknown option " + name);
            continue;
        }
        it->second(name);
    }
    if (o.address == "127.0.0.1")
        fail("127.0.0.1 is the client's own RTP address; give the unit another 127.0.0.x");
    return cl;
}

} // namespace unitsim
