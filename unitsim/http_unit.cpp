#include "http_unit.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace unitsim {

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
            [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string trim(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return std::string(text.substr(begin, end - begin));
}

std::string threeDigits(int code)
{
    std::string text = std::to_string(code);
    while (text.size() < 3)
        text.insert(text.begin(), '0');
    return text;
}

const char *QmtHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

std::string qmtRoot(int code, const std::string &session)
{
    return std::string("<VC session=\"") + xmlEscape(session) + "\" code=\"" + std::to_string(code)
            + "\"";
}

std::string zmtLoginObject(int code, const std::string &session, bool withSession)
{
    std::string text = "{\"cmd\":\"login\", ";
    if (withSession)
        text += "\"session\":\"" + session + "\", ";
    return text + "\"errno\":" + threeDigits(code) + "}";
}

} // namespace

std::optional<ParsedRequest> HttpRequestParser::next()
{
    if (m_failed)
        return std::nullopt;
    if (m_skipBody > 0) {
        std::size_t n = std::min(m_skipBody, m_buffer.size());
        m_buffer.erase(0, n);
        m_skipBody -= n;
        if (m_skipBody > 0)
            return std::nullopt;
    }
    // Blank lines before a request line are allowed and ignored.
    while (m_buffer.size() >= 2 && m_buffer.compare(0, 2, "\r\n") == 0)
        m_buffer.erase(0, 2);
    std::size_t headEnd = m_buffer.find("\r\n\r\n");
    // Too long a head is refused however it was cut into reads: also when its end came in the
    // same read that took it past the bound. Without an end in sight, the bound is passed once
    // no end could still start within it.
    if (headEnd == std::string::npos ? m_buffer.size() > MaxHeadBytes + 3
                                     : headEnd > MaxHeadBytes) {
        m_failed = true;
        return std::nullopt;
    }
    if (headEnd == std::string::npos)
        return std::nullopt;
    std::string head = m_buffer.substr(0, headEnd);
    m_buffer.erase(0, headEnd + 4);

    ParsedRequest request;
    std::size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    std::size_t sp1 = requestLine.find(' ');
    std::size_t sp2 = sp1 == std::string::npos ? std::string::npos : requestLine.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1) {
        m_failed = true;
        return std::nullopt;
    }
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    request.httpVersion = requestLine.substr(sp2 + 1);
    if (request.httpVersion.rfind("HTTP/", 0) != 0) {
        m_failed = true;
        return std::nullopt;
    }
    request.keepAlive = request.httpVersion != "HTTP/1.0";

    std::size_t contentLength = 0;
    std::size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        std::size_t end = head.find("\r\n", pos);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        std::string key = lower(name);
        if (key == "connection") {
            std::string v = lower(value);
            if (v.find("close") != std::string::npos)
                request.keepAlive = false;
            else if (v.find("keep-alive") != std::string::npos)
                request.keepAlive = true;
        } else if (key == "content-length") {
            std::from_chars(value.data(), value.data() + value.size(), contentLength);
        }
        request.headers.emplace_back(std::move(name), std::move(value));
    }
    m_skipBody = contentLength;
    std::size_t n = std::min(m_skipBody, m_buffer.size());
    m_buffer.erase(0, n);
    m_skipBody -= n;
    return request;
}

std::string loginReplyBody(Family family, int code, const std::string &session)
{
    const bool accepted = code == unitcode::Ok;
    if (family == Family::Qmt)
        return std::string(QmtHead) + qmtRoot(code, accepted ? session : std::string()) + "/>";
    return "[ " + zmtLoginObject(code, session, accepted) + " ]";
}

std::string firmwareReplyBody(Family family, const std::string &session, const std::string &version)
{
    // The client takes the first child of the first child of the root: no blanks between the
    // elements, or a text node would come first.
    if (family == Family::Qmt)
        return std::string(QmtHead) + qmtRoot(unitcode::Ok, session)
                + "><get id=\"1\" object=\"System/FirmwareVersion\"><data>" + xmlEscape(version)
                + "</data></get><nop/></VC>";
    return "[ " + zmtLoginObject(unitcode::Ok, session, true)
            + ", {\"cmd\":\"get\", \"id\":\"1\", \"object\":\"System/FirmwareVersion\", \"data\":\""
            + version + "\", \"errno\":000} ]";
}

std::string sessionReplyBody(Family family, Command command, int code, const std::string &session)
{
    const char *element = command == Command::Logout ? "logout" : "nop";
    if (family == Family::Qmt)
        return std::string(QmtHead) + qmtRoot(code, session) + "><" + element + "/></VC>";
    return "[ " + zmtLoginObject(code, session, true) + ", {\"cmd\":\"" + element
            + "\", \"errno\":" + threeDigits(code) + "} ]";
}

Decision CommandSession::answer(
        const Options &options, const ParsedRequest &request, const CommandDocument &command)
{
    Decision decision = decide(options, request, command);
    const bool hostile = options.hugeBodyBytes > 0 || options.endlessBody;
    const std::vector<Command> &chosen = options.oversizeCommands;
    if (hostile && decision.mode == ReplyMode::Answer && decision.reply.status == 200
            && command.family == options.family && command.command != Command::Unknown
            && (chosen.empty()
                    || std::find(chosen.begin(), chosen.end(), command.command) != chosen.end())) {
        decision.reply.paddedBodyBytes = options.hugeBodyBytes;
        decision.reply.endless = options.endlessBody;
    }
    return decision;
}

namespace {

// The code of a login answer: the refusal the options force, else whether the code matches.
int loginCode(const Options &options, const CommandDocument &command)
{
    switch (options.loginRefusal) {
    case LoginRefusal::TooManyUsers:
        return unitcode::TooManyUsers;
    case LoginRefusal::NotAccessible:
        return unitcode::NotAccessible;
    case LoginRefusal::BadCode:
        return unitcode::BadCode;
    case LoginRefusal::None:
        break;
    }
    return command.accessCode != options.accessCode ? unitcode::BadCode : unitcode::Ok;
}

} // namespace

// A command on the own dialect's path, answered as the unit does when nothing odd is asked.
void CommandSession::answerOwnCommand(
        const Options &options, const CommandDocument &command, Decision &decision)
{
    HttpReply &reply = decision.reply;
    const Family family = options.family;
    reply.contentType =
            family == Family::Qmt ? "text/xml; charset=utf-8" : "text/plain; charset=utf-8";
    const bool sessionKnown = m_sessionOpen && command.session == options.sessionId;
    switch (command.command) {
    case Command::Login: {
        if (options.loginReplyBody) {
            reply.body = *options.loginReplyBody;
            m_sessionOpen = true;
            return;
        }
        const int code = loginCode(options, command);
        if (code == unitcode::Ok) {
            m_sessionOpen = true;
            decision.loginAccepted = true;
        }
        reply.body = loginReplyBody(family, code, options.sessionId);
        return;
    }
    case Command::Firmware:
        if (options.firmwareReplyBody) {
            reply.body = *options.firmwareReplyBody;
        } else if (sessionKnown) {
            std::string version = options.firmwareVersion.empty()
                    ? defaultFirmware(family, !options.unsupportedFirmware)
                    : options.firmwareVersion;
            reply.body = firmwareReplyBody(family, options.sessionId, version);
        } else {
            reply.body = loginReplyBody(family, unitcode::UnknownSession, {});
        }
        return;
    case Command::KeepAlive:
    case Command::Logout:
        reply.body = sessionReplyBody(family, command.command,
                sessionKnown ? unitcode::Ok : unitcode::UnknownSession, command.session);
        if (sessionKnown && command.command == Command::Logout)
            m_sessionOpen = false;
        return;
    case Command::Unknown:
        break;
    }
    reply.status = 400;
    reply.contentType.clear();
}

Decision CommandSession::decide(
        const Options &options, const ParsedRequest &request, const CommandDocument &command)
{
    ++m_requests;
    Decision decision;
    decision.delayMs = std::max(0, options.httpDelayMs);
    if (options.httpSilent
            || (options.httpAnswerLimit >= 0 && m_requests > options.httpAnswerLimit)) {
        decision.mode = ReplyMode::Silent;
        return decision;
    }
    HttpReply &reply = decision.reply;
    if (request.method != "GET") {
        reply.status = 405;
        return decision;
    }
    if (!command.family) {
        reply.status = 404;
        return decision;
    }
    if (*command.family != options.family) {
        if (options.otherPath == OtherPath::Silent)
            decision.mode = ReplyMode::Silent;
        else if (options.otherPath == OtherPath::Close)
            decision.mode = ReplyMode::Close;
        else
            reply.status = options.otherPathStatus;
        return decision;
    }
    decision.delayMs += std::max(0, options.ownPathDelayMs);
    if (!options.redirectTo.empty()) {
        reply.status = 302;
        reply.location = options.redirectTo;
        return decision;
    }
    if (options.ownPathStatus != 200) {
        reply.status = options.ownPathStatus;
        return decision;
    }
    answerOwnCommand(options, command, decision);
    return decision;
}

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

std::string serializeReplyHead(const HttpReply &reply, bool keepAlive)
{
    std::string text =
            "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    if (!reply.contentType.empty())
        text += "Content-Type: " + reply.contentType + "\r\n";
    if (!reply.location.empty())
        text += "Location: " + reply.location + "\r\n";
    if (reply.endless) {
        keepAlive = false; // the end of the connection would be the end of the body
    } else {
        const std::uint64_t length =
                std::max<std::uint64_t>(reply.body.size(), reply.paddedBodyBytes);
        text += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    text += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    text += "\r\n";
    return text;
}

std::string serializeReply(const HttpReply &reply, bool keepAlive)
{
    return serializeReplyHead(reply, keepAlive) + reply.body;
}

ReplyStream::ReplyStream(const HttpReply &reply, bool keepAlive)
    : m_lead(serializeReplyHead(reply, keepAlive)),
      m_headBytes(m_lead.size()),
      m_endless(reply.endless),
      m_closeAfter(!keepAlive || reply.endless)
{
    m_lead += reply.body;
    if (reply.paddedBodyBytes > reply.body.size())
        m_fillerLeft = reply.paddedBodyBytes - reply.body.size();
}

std::string_view ReplyStream::next() const
{
    static const std::string blanks(PieceBytes, ' ');
    if (m_leadSent < m_lead.size())
        return std::string_view(m_lead).substr(m_leadSent);
    if (m_endless)
        return blanks;
    return std::string_view(blanks).substr(0, std::min<std::uint64_t>(m_fillerLeft, PieceBytes));
}

void ReplyStream::advance(std::size_t bytes)
{
    const std::size_t fromLead = std::min(bytes, m_lead.size() - m_leadSent);
    m_leadSent += fromLead;
    bytes -= fromLead;
    m_fillerSent += bytes;
    if (!m_endless)
        m_fillerLeft -= std::min<std::uint64_t>(bytes, m_fillerLeft);
}

bool ReplyStream::done() const
{
    return !m_endless && m_leadSent == m_lead.size() && m_fillerLeft == 0;
}

std::uint64_t ReplyStream::bodyBytesSent() const
{
    return (m_leadSent > m_headBytes ? m_leadSent - m_headBytes : 0) + m_fillerSent;
}

std::string defaultFirmware(Family family, bool supported)
{
    // QMT: characters 7-8 hold the major and 10-11 the minor number, 21 characters in all.
    // ZMT: the client reads an 8-character window with the main version at 4-5 and the child
    // version at 7-8.
    if (family == Family::Qmt)
        return supported ? "QMT v 03.00.20240115" : "QMT v 02.98.20240115";
    return supported ? "V2.01.09" : "V2.01.07";
}

} // namespace unitsim
