#include "command_reader.h"
#include "fuzz_check.h"
#include "fuzz_entries.h"
#include "http_unit.h"
#include "json_line.h"

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace unitsim {

namespace {

volatile std::size_t sink = 0; // keeps the results from being dropped

std::vector<ParsedRequest> drain(HttpRequestParser &parser)
{
    std::vector<ParsedRequest> requests;
    while (std::optional<ParsedRequest> request = parser.next())
        requests.push_back(std::move(*request));
    return requests;
}

bool sameRequest(const ParsedRequest &a, const ParsedRequest &b)
{
    return a.method == b.method && a.target == b.target && a.httpVersion == b.httpVersion
            && a.headers == b.headers && a.keepAlive == b.keepAlive;
}

void checkRequest(const ParsedRequest &request)
{
    FUZZ_CHECK(!request.method.empty() && !request.target.empty());
    FUZZ_CHECK(request.httpVersion.rfind("HTTP/", 0) == 0);
    FUZZ_CHECK(request.method.find(' ') == std::string::npos);
    FUZZ_CHECK(request.target.find(' ') == std::string::npos);
}

void checkCommand(std::string_view target, const CommandDocument &command)
{
    FUZZ_CHECK(target.substr(0, command.path.size()) == command.path);
    if (command.family)
        FUZZ_CHECK(command.path == (*command.family == Family::Qmt ? QmtPath : ZmtPath));
    if (command.hasDocument)
        FUZZ_CHECK(command.family.has_value());
    if (!command.hasDocument)
        FUZZ_CHECK(command.command == Command::Unknown && command.document.empty());
    if (command.hasAccessCode)
        FUZZ_CHECK(command.command == Command::Login);
}

// The answer's bytes: a status line, a length that matches the body, the body last.
void checkAnswer(const Decision &decision, bool keepAlive)
{
    if (decision.mode != ReplyMode::Answer)
        return;
    const HttpReply &reply = decision.reply;
    FUZZ_CHECK(!reply.streamed());
    const std::string bytes = serializeReply(reply, keepAlive);
    FUZZ_CHECK(bytes.rfind("HTTP/1.1 " + std::to_string(reply.status) + " ", 0) == 0);
    const std::string length = "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n";
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    FUZZ_CHECK(headEnd != std::string::npos && bytes.find(length) < headEnd);
    FUZZ_CHECK(bytes.size() == headEnd + 4 + reply.body.size());
}

// Length of the well-formed UTF-8 sequence at text[i] (a byte below 0x80 included), or 0.
// Written apart from the log writer's own reader on purpose: the check must not share its faults.
std::size_t utf8At(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    const std::size_t n = c >= 0xC2 && c <= 0xDF ? 2
            : c >= 0xE0 && c <= 0xEF             ? 3
            : c >= 0xF0 && c <= 0xF4             ? 4
                                                 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    std::uint32_t cp = c & (0xFF >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    const std::uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    return cp >= least && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) ? n : 0;
}

// Reads the JSON string that starts at line[pos] (a quotation mark); the position after it.
std::size_t skipJsonString(std::string_view line, std::size_t pos)
{
    FUZZ_CHECK(pos < line.size() && line[pos] == '"');
    ++pos;
    while (true) {
        FUZZ_CHECK(pos < line.size());
        const unsigned char c = static_cast<unsigned char>(line[pos]);
        FUZZ_CHECK(c >= 0x20);
        if (c == '"')
            return pos + 1;
        if (c == '\\') {
            FUZZ_CHECK(pos + 1 < line.size());
            const char e = line[pos + 1];
            if (e == 'u') {
                FUZZ_CHECK(pos + 6 <= line.size());
                for (std::size_t k = pos + 2; k < pos + 6; ++k)
                    FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(line[k])));
                pos += 6;
            } else {
                FUZZ_CHECK(std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos);
                pos += 2;
            }
            continue;
        }
        const std::size_t n = utf8At(line, pos);
        FUZZ_CHECK(n > 0);
        pos += n;
    }
}

// The log line of a request is one valid JSON object of texts, whatever bytes came.
void checkLogLine(const ParsedRequest &request, const CommandDocument &command)
{
    const std::string line = JsonLine()
                                     .add("method", request.method)
                                     .add("target", request.target)
                                     .add("document", command.document)
                                     .add("acccode", command.accessCode)
                                     .str();
    FUZZ_CHECK(line.front() == '{' && line.back() == '}');
    std::size_t pos = 1;
    for (int field = 0; field < 4; ++field) {
        pos = skipJsonString(line, pos); // key
        FUZZ_CHECK(pos < line.size() && line[pos] == ':');
        pos = skipJsonString(line, pos + 1); // value
        FUZZ_CHECK(pos < line.size() && line[pos] == (field < 3 ? ',' : '}'));
        ++pos;
    }
    FUZZ_CHECK(pos == line.size());
}

} // namespace

void fuzzHttpRequests(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return;
    const std::uint8_t choice = data[0];
    const std::string_view stream(reinterpret_cast<const char *>(data + 1), size - 1);

    // The same bytes in one piece and cut into reads of any size read as the same requests.
    HttpRequestParser whole;
    whole.feed(stream);
    const std::vector<ParsedRequest> expected = drain(whole);

    HttpRequestParser parser;
    std::vector<ParsedRequest> requests;
    fuzzing::PieceSizes pieces(choice, 64);
    for (std::size_t pos = 0; pos < stream.size();) {
        const std::size_t piece = pieces.next(stream.size() - pos);
        parser.feed(stream.substr(pos, piece));
        pos += piece;
        for (ParsedRequest &request : drain(parser))
            requests.push_back(std::move(request));
    }
    FUZZ_CHECK(parser.failed() == whole.failed());
    FUZZ_CHECK(requests.size() == expected.size());
    for (std::size_t i = 0; i < requests.size(); ++i)
        FUZZ_CHECK(sameRequest(requests[i], expected[i]));

    Options options;
    options.family = (choice & 1) ? Family::Zmt : Family::Qmt;
    options.otherPath = (choice & 2) ? OtherPath::Silent : OtherPath::Status;
    options.loginRefusal = static_cast<LoginRefusal>((choice >> 2) % 4);
    options.unsupportedFirmware = (choice & 16) != 0;
    CommandSession session;
    for (const ParsedRequest &request : requests) {
        checkRequest(request);
        const CommandDocument command = readCommand(request.target);
        checkCommand(request.target, command);
        const Decision decision = session.answer(options, request, command);
        checkAnswer(decision, request.keepAlive);
        checkLogLine(request, command);
        sink = sink + command.document.size() + command.session.size();
    }
}

} // namespace unitsim
