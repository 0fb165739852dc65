#ifndef TANDEO_UNITSIM_UNIT_SIM_H
#define TANDEO_UNITSIM_UNIT_SIM_H

// The conferencing-unit emulator as a library: one instance plays one unit on one IPv4 address
// (any 127.0.0.x except 127.0.0.1, which is the address the client's RTP binds to). It runs
// three endpoints, each on its own std::thread with plain POSIX sockets and poll():
//   - the HTTP command server (QMT or ZMT dialect) on httpPort (80 unless told otherwise),
//   - the control server on TCP 50000,
//   - the RTP JPEG receiver on UDP 50001.
// It never uses Qt's event loop, so it keeps answering while the client under test runs its
// own loop in the same process or sleeps on the GUI thread.
//
// Every method is thread-safe. The snapshot methods return copies taken under a lock; the
// actions send on the instance's own sockets and return at once.

#include <array>
#include <chrono>
#include <control_codec.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace unitsim {

constexpr std::uint16_t ControlPort = 50000;
constexpr std::uint16_t RtpPort = 50001;
constexpr std::size_t RtpPayloadBytes = 1400; // every packet's payload, padding included

enum class Family : std::uint8_t { Qmt, Zmt };

enum class Command : std::uint8_t; // below, with what the unit saw

// How the unit refuses a login whatever the access code; a wrong access code is refused as
// BadCode by itself. The codes are the ones the client tells apart.
enum class LoginRefusal : std::uint8_t {
    None,
    TooManyUsers, // code / errno 103
    NotAccessible, // code / errno 104
    BadCode, // QMT: empty session and code 100; ZMT: errno 100
};

// What the unit does with a request on the path of the dialect it does not speak.
enum class OtherPath : std::uint8_t {
    Status, // answer with otherPathStatus and an empty body
    Silent, // read the request, never answer
    Close, // close the connection without an answer
};

// How the unit answers the client's MSG_STOP.
enum class StopAnswer : std::uint8_t { Accept, Reject, Silent, Close };

struct Options
{
    // Addresses and ports. The client always uses HTTP's default port, so tests run as root
    // and keep 80; the control and RTP ports are fixed by the protocol.
    std::string address = "127.0.0.2";
    std::uint16_t httpPort = 80;
    std::uint16_t controlPort = ControlPort;
    std::uint16_t rtpPort = RtpPort;
    bool controlListen = true; // false: nothing listens on the control port (connection refused)
    bool rtpListen = true;
    // The RTP socket's receive buffer (SO_RCVBUF) in bytes, as small as an embedded unit's;
    // 0 = a roomy one, so the emulator itself never drops a burst.
    int rtpReceiveBuffer = 0;

    // Login.
    Family family = Family::Qmt;
    std::string accessCode = "1234";
    std::string sessionId = "Ab12"; // issued at every accepted login; any length
    LoginRefusal loginRefusal = LoginRefusal::None;
    // Version text of the firmware reply; empty = the family's supported default, or its
    // unsupported default when unsupportedFirmware is set (see defaultFirmware()).
    std::string firmwareVersion;
    bool unsupportedFirmware = false;
    // Replace the whole body of the login or firmware reply (for replies a real unit would
    // not send, such as a blank before the errno digits). Status stays 200.
    std::optional<std::string> loginReplyBody;
    std::optional<std::string> firmwareReplyBody;

    // HTTP behaviour.
    int ownPathStatus = 200; // status of every answer on the own dialect's path
    OtherPath otherPath = OtherPath::Status;
    int otherPathStatus = 404;
    bool httpSilent = false; // accept and read requests, never answer any
    int httpDelayMs = 0; // every answer goes out this long after its request arrived
    int ownPathDelayMs = 0; // and answers on the own dialect's path this much later still
    std::string redirectTo; // when set, every own-path answer is a 302 pointing there
    int httpAnswerLimit = -1; // answer only the first N requests, then stay silent; -1 = all
    // Answers no unit gives, to try the client's limits: the 200 answers to the commands in
    // oversizeCommands (empty: login, firmware, keep-alive and logout) carry their usual body
    // followed by blanks up to hugeBodyBytes in all (0: off), or, with endlessBody, by blanks
    // without end and without a length. The usual body comes first, so a client that read it
    // all would take it.
    std::uint64_t hugeBodyBytes = 0;
    bool endlessBody = false;
    std::vector<Command> oversizeCommands;

    // Control channel.
    bool rejectConnect = false; // refuse MSG_CONNECT with rejectReason
    bool rejectShare = false; // refuse the client's MSG_SHARE with rejectReason
    bool silentControl = false; // accept the TCP connection and read, never send anything
    bool autoShareRequest = true; // send the unit's own MSG_SHARE after accepting the client's
    // MSG_NEXT_FRAME pulls per share (each after a MSG_FRAME_SENT); -1 = unlimited.
    int frameBudget = -1;
    // Shortest time between two pulls; a MSG_FRAME_SENT that comes sooner is answered when it
    // has passed. 0 = pull at once (as fast as the client sends).
    int pullIntervalMs = 0;
    // After this many MSG_FRAME_SENT in one share, instead of pulling: send MSG_STOP, send
    // MSG_DISCONNECT and close, or just close the connection. -1 = never.
    int stopAfterFrames = -1;
    int disconnectAfterFrames = -1;
    int closeAfterFrames = -1;
    StopAnswer stopAnswer = StopAnswer::Accept;
    std::array<std::uint8_t, 4> rejectReason{ 0, 0, 0, 1 };

    // Output.
    std::string saveFolder; // non-empty: every complete valid frame saved as frame-NNNNNN.jpg
    std::string logPath; // non-empty: JSON lines of everything seen, appended
    bool viewer = false; // read by the executable; the library never opens a window
};

// The version texts a unit of each family reports by default. The supported ones pass the
// client's firmware check; the unsupported ones fail it.
std::string defaultFirmware(Family family, bool supported = true);

// The four bytes that control headers carry for a session id: its first four bytes reversed
// (zero-padded when shorter).
inline control::SessionTag sessionTagOf(const std::string &sessionId)
{
    return control::sessionTagFromText(sessionId);
}
// The SSRC the client streams with: the first four bytes read as a little-endian number.
std::uint32_t ssrcOf(const std::string &sessionId);

// --- What the unit saw -------------------------------------------------------------------

enum class Command : std::uint8_t { Unknown, Login, Firmware, KeepAlive, Logout };

struct HttpRequest
{
    std::int64_t timeMs = 0; // since start()
    int connection = 0; // 1, 2, ... in accept order
    // When the request's last bytes arrived, by the kernel: microseconds of CLOCK_REALTIME.
    // Unlike timeMs it orders requests and control messages of different connections as the
    // client sent them. Empty when the kernel gave no time.
    std::optional<std::int64_t> arrivedUs;
    std::string method;
    std::string target; // the request target exactly as it came over the wire
    std::string path; // target up to "?"
    std::string rawQuery; // after "?", still percent-encoded
    std::string document; // the xmldoc / jdoc value, percent-decoded
    std::optional<Family> family; // by path; empty for an unknown path
    Command command = Command::Unknown;
    // Fields read from the document (empty when absent). accessCode is as the unit reads it
    // ("&amp;" turned back into "&" in both dialects); accessCodeRaw as the document holds it.
    std::string device;
    std::string version;
    std::string accessCode;
    std::string accessCodeRaw;
    std::string session;
    std::vector<std::pair<std::string, std::string>> headers;
    // What the unit decided: "reply", "silent" (never answered) or "close" (connection closed).
    std::string answer;
    // The answer: status 0 while none was sent (silent, delayed, closed).
    int status = 0;
    std::string replyBody; // without the blanks of a padded or endless answer
    std::int64_t answeredMs = -1;
    // A padded or endless answer goes out a piece at a time: the body bytes sent so far, and
    // whether it ended, and then whether all of it went out (else the client went away first).
    std::uint64_t bodyBytesSent = 0;
    bool bodyEnded = false;
    bool bodyComplete = false;
};

enum class Direction : std::uint8_t { FromClient, ToClient };

// An item block as the unit reads it (a value of 0 / an empty item1 means absent): the
// control codec's own form.
using ControlItems = control::ControlParams;

// Control message types on the wire, by the codec's numbers.
enum class ControlType : std::uint8_t {
    Connect = std::uint8_t(control::MsgType::MSG_CONNECT),
    Share = std::uint8_t(control::MsgType::MSG_SHARE),
    Stop = std::uint8_t(control::MsgType::MSG_STOP),
    Disconnect = std::uint8_t(control::MsgType::MSG_DISCONNECT),
    Params = std::uint8_t(control::MsgType::MSG_PARAMS),
    NextFrame = std::uint8_t(control::MsgType::MSG_NEXT_FRAME),
    Response = std::uint8_t(control::MsgType::MSG_RESPONSE),
    FrameSent = std::uint8_t(control::MsgType::MSG_FRAME_SENT),
};

struct ControlMessage
{
    std::int64_t timeMs = 0;
    int connection = 0; // 1, 2, ... in accept order
    std::optional<std::int64_t> arrivedUs; // from the client: as HttpRequest::arrivedUs
    Direction direction = Direction::FromClient;
    std::vector<std::uint8_t> raw; // header and payload, exactly as on the wire
    std::string hex; // raw as lowercase hex, no blanks
    std::uint8_t version = 0;
    std::uint8_t type = 0; // ControlType value, or whatever came
    std::array<std::uint8_t, 4> sessionTag{};
    std::uint16_t param = 0;
    std::uint16_t length = 0;
    // MSG_RESPONSE: result, answered type, reason (when refused).
    std::optional<std::uint8_t> result;
    std::optional<std::uint8_t> answers;
    std::optional<std::array<std::uint8_t, 4>> reason;
    // MSG_CONNECT, MSG_PARAMS, MSG_NEXT_FRAME and an accepting answer to MSG_CONNECT.
    std::optional<ControlItems> items;
    std::vector<std::string> problems; // e.g. wrong magic, unexpected session tag
};

struct RtpPacket
{
    std::int64_t timeMs = 0;
    std::string source; // sender "address:port"
    std::size_t datagramBytes = 0;
    std::size_t payloadBytes = 0;
    std::uint8_t version = 0;
    bool padding = false;
    bool extension = false;
    std::uint8_t csrcCount = 0;
    bool marker = false;
    std::uint8_t payloadType = 0;
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t ssrc = 0;
    // The JPEG header at the start of the payload.
    std::uint8_t typeSpecific = 0;
    std::uint32_t fragmentOffset = 0;
    std::uint8_t jpegType = 0;
    std::uint8_t q = 0;
    std::uint8_t widthBlocks = 0;
    std::uint8_t heightBlocks = 0;
    bool accepted = false; // taken into the frame being reassembled
    std::vector<std::string> problems;
};

struct Frame
{
    std::size_t index = 0; // 1, 2, ... in order of completion
    std::int64_t timeMs = 0;
    std::uint32_t ssrc = 0;
    std::uint32_t timestamp = 0;
    std::size_t packetCount = 0;
    // Every datagram of the frame that came (refused ones too), its UDP payload bytes; and the
    // packets its sequence numbers skipped, lost on the way (a lost tail shows as no marker).
    std::size_t datagramBytes = 0;
    std::size_t lostPackets = 0;
    std::uint8_t widthBlocks = 0; // from the packets' JPEG header
    std::uint8_t heightBlocks = 0;
    std::vector<std::uint8_t> jpeg; // reassembled, padding after the end marker stripped
    int width = 0; // decoded; 0 when it does not decode
    int height = 0;
    // The decoded size agrees with the block counts of the packets. The client announces
    // 1024 x 768 for every picture whatever its size, so a disagreement is noted, not refused.
    bool sizeMatches = false;
    bool complete = false; // its marker packet arrived
    bool valid = false;
    std::string problem; // why not valid
    std::string savedPath;
};

struct Counters
{
    int httpRequests = 0;
    int httpAnswered = 0;
    int logins = 0;
    int loginsAccepted = 0;
    int firmwareRequests = 0;
    int keepAlives = 0;
    int logouts = 0;
    int controlConnections = 0;
    int controlFromClient = 0;
    int controlToClient = 0;
    int shareRequestsSent = 0; // the unit's own MSG_SHARE
    int framesSentReported = 0; // MSG_FRAME_SENT received
    int nextFramesSent = 0; // MSG_NEXT_FRAME pulls
    int rtpPackets = 0;
    int rtpPacketsRejected = 0;
    int framesComplete = 0; // marker seen
    int framesValid = 0;
    int framesInvalid = 0;
};

class UnitSim
{
public:
    explicit UnitSim(Options options = {});
    ~UnitSim(); // stops
    UnitSim(const UnitSim &) = delete;
    UnitSim &operator=(const UnitSim &) = delete;

    // Binds all endpoints and starts their threads. Returns an error text when a socket
    // cannot be bound (e.g. "bind 127.0.0.40:80: Address already in use"); nothing runs then.
    std::optional<std::string> start();
    // Closes every socket and joins the threads; writes the summary line to the log. Idempotent.
    void stop();
    bool running() const;

    Options options() const;
    // Changes behaviour options while running (address, ports and log stay as started).
    // change runs under the instance's lock and must not call back into it.
    void updateOptions(const std::function<void(Options &)> &change);

    // Snapshots.
    std::vector<HttpRequest> httpRequests() const;
    std::vector<ControlMessage> controlMessages() const;
    std::vector<RtpPacket> rtpPackets() const;
    std::vector<Frame> frames() const;
    std::optional<Frame> latestFrame() const; // the last valid frame
    Counters counters() const;
    bool controlConnected() const;
    bool sharing() const; // the unit's own MSG_SHARE sent and no stop since
    std::string summary() const; // human-readable, a few lines

    // Blocks the calling thread until pred holds (checked at every recorded event and at
    // least every 10 ms) or the timeout passes; returns pred's last value. It runs no Qt
    // events: when the client under test needs this thread's event loop, use
    // testsupport::waitUntil with the snapshot methods instead.
    bool waitFor(const std::function<bool(const UnitSim &)> &pred,
            std::chrono::milliseconds timeout) const;

    // Actions on the latest control connection; false when none is open. Each message goes
    // out in one send with the unit's session tag.
    bool sendShareRequest(); // MSG_SHARE: starts a share on the unit's side
    bool sendStop(); // MSG_STOP: ends the share on the unit's side
    bool sendDisconnect(); // MSG_DISCONNECT, then the unit closes the connection
    bool sendParams(const ControlItems &items);
    bool sendNextFrame();
    bool sendRaw(const std::vector<std::uint8_t> &bytes);
    bool closeControl();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_UNIT_SIM_H
