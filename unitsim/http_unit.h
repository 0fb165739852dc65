#ifndef TANDEO_UNITSIM_HTTP_UNIT_H
#define TANDEO_UNITSIM_HTTP_UNIT_H

// The unit's HTTP command side without sockets: reading HTTP/1.1 requests from a byte stream,
// deciding each answer (login, firmware, keep-alive, logout in the unit's dialect, the other
// dialect's path, silence), and writing the answer.
//
// Reply bodies, in the shapes the client reads:
//   QMT login      <?xml version="1.0" encoding="utf-8"?><VC session="Ab12" code="0"/>
//   QMT firmware   <VC ...><get id="1" object="System/FirmwareVersion"><data>TEXT</data></get>...
//   ZMT login      [ {"cmd":"login", "session":"Ab12", "errno":000} ]
//   ZMT firmware   [ {"cmd":"login", ...}, {"cmd":"get", ..., "data":"TEXT", "errno":000} ]
// Codes: 0 accepted, 100 wrong access code, 101 unknown session, 103 too many users,
// 104 system not accessible. ZMT writes them as three digits directly after the colon, as the
// client takes exactly three characters there; a refusal carries no session key at all.

#include "command_reader.h"
#include "unit_sim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace unitsim {

namespace unitcode {
constexpr int Ok = 0;
constexpr int BadCode = 100;
constexpr int UnknownSession = 101;
constexpr int TooManyUsers = 103;
constexpr int NotAccessible = 104;
} // namespace unitcode

struct ParsedRequest
{
    std::string method;
    std::string target;
    std::string httpVersion; // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;
    bool keepAlive = true; // false for "Connection: close" or HTTP/1.0 without keep-alive
};

// Reads requests from the bytes of one connection, however they are split.
class HttpRequestParser
{
public:
    static constexpr std::size_t MaxHeadBytes = 64 * 1024;

    void feed(std::string_view bytes) { m_buffer.append(bytes); }
    // The next whole request, if one is held. A body announced by Content-Length is skipped.
    std::optional<ParsedRequest> next();
    // Set when the stream cannot be read as HTTP (bad request line, head too long).
    bool failed() const { return m_failed; }

private:
    std::string m_buffer;
    std::size_t m_skipBody = 0;
    bool m_failed = false;
};

enum class ReplyMode : std::uint8_t { Answer, Silent, Close };

struct HttpReply
{
    int status = 200;
    std::string contentType;
    std::string body;
    std::string location; // a Location header, for redirects
    // Bodies no unit sends (Options::hugeBodyBytes, endlessBody): `body` followed by blanks up
    // to paddedBodyBytes in all, or, when endless, by blanks until the client goes away, with
    // no Content-Length and "Connection: close".
    std::uint64_t paddedBodyBytes = 0;
    bool endless = false;

    // Goes out through a ReplyStream, a piece at a time.
    bool streamed() const { return endless || paddedBodyBytes > body.size(); }
};

struct Decision
{
    ReplyMode mode = ReplyMode::Answer;
    HttpReply reply;
    int delayMs = 0;
    bool loginAccepted = false;
};

// The unit's command session: which session is open, how many requests came.
class CommandSession
{
public:
    Decision answer(
            const Options &options, const ParsedRequest &request, const CommandDocument &command);
    bool sessionOpen() const { return m_sessionOpen; }

private:
    Decision decide(
            const Options &options, const ParsedRequest &request, const CommandDocument &command);
    void answerOwnCommand(
            const Options &options, const CommandDocument &command, Decision &decision);

    int m_requests = 0;
    bool m_sessionOpen = false;
};

std::string loginReplyBody(Family family, int code, const std::string &session);
std::string firmwareReplyBody(
        Family family, const std::string &session, const std::string &version);
std::string sessionReplyBody(Family family, Command command, int code, const std::string &session);

// Status line, Content-Type (when set), Content-Length, Connection, blank line, body. The
// head of a padded reply announces the padded length; an endless one announces none and says
// "Connection: close", whatever keepAlive says. serializeReply leaves the blanks out.
std::string serializeReplyHead(const HttpReply &reply, bool keepAlive);
std::string serializeReply(const HttpReply &reply, bool keepAlive);

// The bytes of one answer a piece at a time, so that a padded or endless body is never held
// whole: the head and the body first, then blanks from one fixed buffer.
class ReplyStream
{
public:
    static constexpr std::size_t PieceBytes = 64 * 1024; // blanks handed out at a time

    ReplyStream(const HttpReply &reply, bool keepAlive);

    // The next bytes to send; empty once everything went out (never, for an endless body).
    std::string_view next() const;
    // The first `bytes` of what next() gave went out.
    void advance(std::size_t bytes);
    bool done() const;
    // Body bytes sent so far, the blanks included.
    std::uint64_t bodyBytesSent() const;
    // The connection ends after this answer: the request asked so, or the body has no length.
    bool closeAfter() const { return m_closeAfter; }

private:
    std::string m_lead; // head and body
    std::size_t m_headBytes = 0;
    std::size_t m_leadSent = 0;
    std::uint64_t m_fillerLeft = 0;
    std::uint64_t m_fillerSent = 0;
    bool m_endless = false;
    bool m_closeAfter = false;
};
const char *reasonPhrase(int status);

} // namespace unitsim

#endif // TANDEO_UNITSIM_HTTP_UNIT_H
