#include "unit_recorder.h"

#include "command_reader.h"
#include "control_unit.h"
#include "json_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace unitsim {

namespace {

// A long demo run must not grow without bound: the oldest packet and control records go
// first, and only the latest frames keep their picture bytes.
constexpr std::size_t MaxPacketRecords = 100000;
constexpr std::size_t MaxControlRecords = 100000;
constexpr std::size_t FramesWithBytes = 64;

const char *answerName(ReplyMode mode)
{
    switch (mode) {
    case ReplyMode::Answer:
        return "reply";
    case ReplyMode::Silent:
        return "silent";
    case ReplyMode::Close:
        return "close";
    }
    return "reply";
}

HttpRequest requestRecord(const ParsedRequest &request, const CommandDocument &doc)
{
    HttpRequest rec;
    rec.method = request.method;
    rec.target = request.target;
    rec.path = doc.path;
    rec.rawQuery = doc.rawQuery;
    rec.document = doc.document;
    rec.family = doc.family;
    rec.command = doc.command;
    rec.device = doc.device;
    rec.version = doc.version;
    rec.accessCode = doc.accessCode;
    rec.accessCodeRaw = doc.accessCodeRaw;
    rec.session = doc.session;
    rec.headers = request.headers;
    return rec;
}

void countCommand(Counters &counters, Command command)
{
    switch (command) {
    case Command::Login:
        ++counters.logins;
        break;
    case Command::Firmware:
        ++counters.firmwareRequests;
        break;
    case Command::KeepAlive:
        ++counters.keepAlives;
        break;
    case Command::Logout:
        ++counters.logouts;
        break;
    case Command::Unknown:
        break;
    }
}

void countControl(Counters &counters, const ControlMessage &msg)
{
    const auto is = [&](ControlType type) { return msg.type == static_cast<std::uint8_t>(type); };
    if (msg.direction == Direction::FromClient) {
        ++counters.controlFromClient;
        if (is(ControlType::FrameSent))
            ++counters.framesSentReported;
        return;
    }
    ++counters.controlToClient;
    if (is(ControlType::NextFrame))
        ++counters.nextFramesSent;
    if (is(ControlType::Share))
        ++counters.shareRequestsSent;
}

// The present items of a block as a JSON object.
std::string itemsJson(const ControlItems &it)
{
    JsonLine items;
    items.add("count", int(it.count));
    if (!it.item1.empty())
        items.add("item1", hexText(it.item1));
    const std::pair<const char *, int> numbers[] = { { "item2", it.item2 }, { "item3", it.item3 },
        { "item4", it.item4 }, { "item5", it.item5 }, { "item6", it.item6 }, { "item7", it.item7 },
        { "item8", it.item8 } };
    for (const auto &[name, value] : numbers)
        if (value != 0)
            items.add(name, value);
    return items.str();
}

JsonLine controlLine(const ControlMessage &msg)
{
    JsonLine line;
    line.add("t", msg.timeMs)
            .add("event", "control")
            .add("conn", msg.connection)
            .add("dir", msg.direction == Direction::FromClient ? "in" : "out")
            .add("type", controlTypeName(msg.type))
            .add("hex", msg.hex)
            .add("version", int(msg.version))
            .add("tag", hexText(msg.sessionTag))
            .add("param", int(msg.param))
            .add("length", int(msg.length));
    if (msg.result)
        line.add("result", int(*msg.result));
    if (msg.answers)
        line.add("answers", int(*msg.answers));
    if (msg.reason)
        line.add("reason", hexText(*msg.reason));
    if (msg.items)
        line.addRaw("items", itemsJson(*msg.items));
    if (!msg.problems.empty())
        line.add("problems", msg.problems);
    if (msg.arrivedUs)
        line.add("arrivedUs", *msg.arrivedUs);
    return line;
}

JsonLine packetLine(const RtpPacket &p)
{
    JsonLine line;
    line.add("t", p.timeMs)
            .add("event", "rtp")
            .add("from", p.source)
            .add("bytes", p.datagramBytes)
            .add("payload", p.payloadBytes)
            .add("pt", int(p.payloadType))
            .add("seq", int(p.sequence))
            .add("ts", p.timestamp)
            .add("ssrc", p.ssrc)
            .addBool("marker", p.marker)
            .add("offset", p.fragmentOffset)
            .add("type", int(p.jpegType))
            .add("q", int(p.q))
            .add("w", int(p.widthBlocks))
            .add("h", int(p.heightBlocks))
            .addBool("accepted", p.accepted);
    if (!p.problems.empty())
        line.add("problems", p.problems);
    return line;
}

JsonLine frameLine(const Frame &frame, bool saving)
{
    JsonLine line;
    line.add("t", frame.timeMs)
            .add("event", "frame")
            .add("index", frame.index)
            .add("ssrc", frame.ssrc)
            .add("timestamp", frame.timestamp)
            .add("packets", frame.packetCount)
            .add("datagramBytes", frame.datagramBytes)
            .add("lost", frame.lostPackets)
            .add("bytes", frame.jpeg.size())
            .add("width", frame.width)
            .add("height", frame.height)
            .add("widthBlocks", int(frame.widthBlocks))
            .add("heightBlocks", int(frame.heightBlocks))
            .addBool("sizeMatches", frame.sizeMatches)
            .addBool("valid", frame.valid);
    if (!frame.problem.empty())
        line.add("problem", frame.problem);
    if (saving && frame.valid)
        line.add("saved", frame.savedPath);
    return line;
}

JsonLine summaryLine(std::int64_t timeMs, const Counters &c)
{
    return JsonLine()
            .add("t", timeMs)
            .add("event", "summary")
            .add("httpRequests", c.httpRequests)
            .add("logins", c.logins)
            .add("loginsAccepted", c.loginsAccepted)
            .add("firmwareRequests", c.firmwareRequests)
            .add("keepAlives", c.keepAlives)
            .add("logouts", c.logouts)
            .add("controlConnections", c.controlConnections)
            .add("controlFromClient", c.controlFromClient)
            .add("controlToClient", c.controlToClient)
            .add("framesSentReported", c.framesSentReported)
            .add("nextFramesSent", c.nextFramesSent)
            .add("rtpPackets", c.rtpPackets)
            .add("rtpPacketsRejected", c.rtpPacketsRejected)
            .add("framesValid", c.framesValid)
            .add("framesInvalid", c.framesInvalid);
}

} // namespace

UnitRecorder::~UnitRecorder()
{
    if (m_log)
        std::fclose(m_log);
}

// --- Options and the run --------------------------------------------------------------------

Options UnitRecorder::options() const
{
    std::lock_guard lock(m_mutex);
    return m_options;
}

std::uint32_t UnitRecorder::expectedSsrc() const
{
    std::lock_guard lock(m_mutex);
    return ssrcOf(m_options.sessionId);
}

void UnitRecorder::updateOptions(const std::function<void(Options &)> &change)
{
    std::lock_guard lock(m_mutex);
    Options next = m_options;
    change(next);
    // What the sockets were bound with stays.
    next.address = m_options.address;
    next.httpPort = m_options.httpPort;
    next.controlPort = m_options.controlPort;
    next.rtpPort = m_options.rtpPort;
    next.controlListen = m_options.controlListen;
    next.rtpListen = m_options.rtpListen;
    next.logPath = m_options.logPath;
    m_options = std::move(next);
    notifyLocked();
}

std::int64_t UnitRecorder::nowMs() const
{
    // The start time changes only in begin(), before the endpoints' threads run.
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_startTime)
            .count();
}

std::optional<std::string> UnitRecorder::begin()
{
    std::lock_guard lock(m_mutex);
    const Options &opts = m_options;
    if (!opts.logPath.empty()) {
        m_log = std::fopen(opts.logPath.c_str(), "a");
        if (!m_log)
            return "open log " + opts.logPath + ": " + std::strerror(errno);
        std::setvbuf(m_log, nullptr, _IOFBF, 1 << 16); // packet lines wait here, see writeLocked
    }
    m_startTime = Clock::now();
    m_running = true;
    writeLocked(JsonLine()
                        .add("t", std::int64_t(0))
                        .add("event", "start")
                        .add("address", opts.address)
                        .add("httpPort", int(opts.httpPort))
                        .add("family", familyName(opts.family))
                        .add("session", opts.sessionId));
    return std::nullopt;
}

void UnitRecorder::end()
{
    std::lock_guard lock(m_mutex);
    writeLocked(summaryLine(nowMs(), m_counters));
    if (m_log) {
        std::fclose(m_log);
        m_log = nullptr;
    }
    m_running = false;
    notifyLocked();
}

bool UnitRecorder::running() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

// --- HTTP -----------------------------------------------------------------------------------

void UnitRecorder::recordHttpConnect(int conn, const std::string &peer)
{
    logEvent(JsonLine()
                     .add("t", nowMs())
                     .add("event", "http_connect")
                     .add("conn", conn)
                     .add("peer", peer));
}

std::size_t UnitRecorder::recordHttpRequest(int conn, const ParsedRequest &request,
        const CommandDocument &doc, const Decision &decision, Family ownFamily,
        std::optional<std::int64_t> arrivedUs)
{
    HttpRequest rec = requestRecord(request, doc);
    rec.timeMs = nowMs();
    rec.connection = conn;
    rec.arrivedUs = arrivedUs;
    rec.answer = answerName(decision.mode);

    std::lock_guard lock(m_mutex);
    const std::size_t index = m_http.size();
    JsonLine line;
    line.add("t", rec.timeMs)
            .add("event", "http_request")
            .add("conn", conn)
            .add("request", index + 1)
            .add("method", rec.method)
            .add("target", rec.target)
            .add("path", rec.path)
            .add("document", rec.document)
            .add("family", rec.family ? familyName(*rec.family) : "")
            .add("command", commandName(rec.command));
    if (doc.hasAccessCode)
        line.add("acccode", rec.accessCode);
    if (doc.hasSession)
        line.add("session", rec.session);
    line.add("answer", rec.answer);
    if (arrivedUs)
        line.add("arrivedUs", *arrivedUs);

    ++m_counters.httpRequests;
    if (doc.family == ownFamily)
        countCommand(m_counters, doc.command);
    if (decision.loginAccepted)
        ++m_counters.loginsAccepted;
    m_http.push_back(std::move(rec));
    writeLocked(line);
    notifyLocked();
    return index;
}

void UnitRecorder::recordHttpReply(int conn, std::size_t request, const HttpReply &reply)
{
    std::lock_guard lock(m_mutex);
    HttpRequest &rec = m_http[request];
    rec.status = reply.status;
    rec.replyBody = reply.body;
    rec.answeredMs = nowMs();
    ++m_counters.httpAnswered;
    writeLocked(JsonLine()
                        .add("t", rec.answeredMs)
                        .add("event", "http_reply")
                        .add("conn", conn)
                        .add("request", request + 1)
                        .add("status", reply.status)
                        .add("body", reply.body)
                        .add("padded", std::int64_t(reply.paddedBodyBytes))
                        .addBool("endless", reply.endless));
    notifyLocked();
}

void UnitRecorder::recordHttpReplyFailed(int conn, std::size_t request)
{
    std::lock_guard lock(m_mutex);
    HttpRequest &rec = m_http[request];
    rec.status = 0;
    rec.answeredMs = -1;
    --m_counters.httpAnswered;
    writeLocked(JsonLine()
                        .add("t", nowMs())
                        .add("event", "http_reply_failed")
                        .add("conn", conn)
                        .add("request", request + 1));
    notifyLocked();
}

void UnitRecorder::recordHttpBodyProgress(std::size_t request, std::uint64_t bytesSent)
{
    std::lock_guard lock(m_mutex);
    m_http[request].bodyBytesSent = bytesSent;
}

void UnitRecorder::recordHttpBodyEnd(
        int conn, std::size_t request, std::uint64_t bytesSent, bool complete)
{
    std::lock_guard lock(m_mutex);
    HttpRequest &rec = m_http[request];
    rec.bodyBytesSent = bytesSent;
    rec.bodyEnded = true;
    rec.bodyComplete = complete;
    writeLocked(JsonLine()
                        .add("t", nowMs())
                        .add("event", "http_body_end")
                        .add("conn", conn)
                        .add("request", request + 1)
                        .add("bytes", std::int64_t(bytesSent))
                        .addBool("complete", complete));
    notifyLocked();
}

void UnitRecorder::recordHttpClose(int conn)
{
    logEvent(JsonLine()
                     .add("t", nowMs())
                     .add("event", "http_close")
                     .add("conn", conn)
                     .add("reason", "unanswered request closed by the unit"));
}

void UnitRecorder::recordHttpBadRequest(int conn)
{
    logEvent(JsonLine().add("t", nowMs()).add("event", "http_bad_request").add("conn", conn));
}

void UnitRecorder::recordHttpDisconnect(int conn, bool byClient)
{
    logEvent(JsonLine()
                     .add("t", nowMs())
                     .add("event", "http_disconnect")
                     .add("conn", conn)
                     .add("by", byClient ? "client" : "unit"));
}

// --- Control --------------------------------------------------------------------------------

void UnitRecorder::recordControlConnect(int conn, const std::string &peer)
{
    std::lock_guard lock(m_mutex);
    ++m_counters.controlConnections;
    writeLocked(JsonLine()
                        .add("t", nowMs())
                        .add("event", "control_connect")
                        .add("conn", conn)
                        .add("peer", peer));
    notifyLocked();
}

void UnitRecorder::recordControl(int conn, Direction direction, std::span<const std::uint8_t> bytes,
        std::optional<std::int64_t> arrivedUs)
{
    std::lock_guard lock(m_mutex);
    ControlMessage msg =
            describeControlMessage(bytes, direction, sessionTagOf(m_options.sessionId));
    msg.timeMs = nowMs();
    msg.connection = conn;
    msg.arrivedUs = arrivedUs;
    countControl(m_counters, msg);
    writeLocked(controlLine(msg));
    m_control.push_back(std::move(msg));
    while (m_control.size() > MaxControlRecords)
        m_control.pop_front();
    notifyLocked();
}

void UnitRecorder::recordControlSendFailed(int conn, int error)
{
    logEvent(JsonLine()
                     .add("t", nowMs())
                     .add("event", "control_send_failed")
                     .add("conn", conn)
                     .add("error", std::strerror(error)));
}

void UnitRecorder::recordControlClose(int conn, const char *by)
{
    logEvent(JsonLine()
                     .add("t", nowMs())
                     .add("event", "control_close")
                     .add("conn", conn)
                     .add("by", by));
}

void UnitRecorder::recordControlIncomplete(int conn, std::size_t bytes)
{
    logEvent(JsonLine()
                     .add("t", nowMs())
                     .add("event", "control_incomplete")
                     .add("conn", conn)
                     .add("bytes", bytes));
}

void UnitRecorder::notify()
{
    std::lock_guard lock(m_mutex);
    notifyLocked();
}

// --- RTP ------------------------------------------------------------------------------------

void UnitRecorder::recordPacket(RtpPacket packet)
{
    std::lock_guard lock(m_mutex);
    ++m_counters.rtpPackets;
    if (!packet.accepted)
        ++m_counters.rtpPacketsRejected;
    writeLocked(packetLine(packet), false);
    m_packets.push_back(std::move(packet));
    while (m_packets.size() > MaxPacketRecords)
        m_packets.pop_front();
    notifyLocked();
}

void UnitRecorder::recordFrame(Frame frame, bool saving)
{
    std::lock_guard lock(m_mutex);
    if (frame.valid) {
        ++m_counters.framesValid;
        m_latestValid = frame;
    } else {
        ++m_counters.framesInvalid;
    }
    if (frame.complete)
        ++m_counters.framesComplete;
    writeLocked(frameLine(frame, saving));
    m_frames.push_back(std::move(frame));
    if (m_frames.size() > FramesWithBytes) {
        Frame &old = m_frames[m_frames.size() - FramesWithBytes - 1];
        old.jpeg.clear();
        old.jpeg.shrink_to_fit();
    }
    notifyLocked();
}

// --- Snapshots ------------------------------------------------------------------------------

std::vector<HttpRequest> UnitRecorder::httpRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_http;
}

std::vector<ControlMessage> UnitRecorder::controlMessages() const
{
    std::lock_guard lock(m_mutex);
    return { m_control.begin(), m_control.end() };
}

std::vector<RtpPacket> UnitRecorder::rtpPackets() const
{
    std::lock_guard lock(m_mutex);
    return { m_packets.begin(), m_packets.end() };
}

std::vector<Frame> UnitRecorder::frames() const
{
    std::lock_guard lock(m_mutex);
    return { m_frames.begin(), m_frames.end() };
}

std::optional<Frame> UnitRecorder::latestFrame() const
{
    std::lock_guard lock(m_mutex);
    return m_latestValid;
}

Counters UnitRecorder::counters() const
{
    std::lock_guard lock(m_mutex);
    return m_counters;
}

bool UnitRecorder::waitUntil(
        const std::function<bool()> &pred, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    while (true) {
        std::uint64_t seen;
        {
            std::lock_guard lock(m_mutex);
            seen = m_generation;
        }
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return pred();
        std::unique_lock lock(m_mutex);
        const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(10));
        m_changed.wait_until(lock, until, [&] { return m_generation != seen; });
    }
}

// --- Log ------------------------------------------------------------------------------------

void UnitRecorder::writeLocked(const JsonLine &line, bool flush)
{
    if (!m_log)
        return;
    std::string text = line.str();
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), m_log);
    if (flush)
        std::fflush(m_log);
}

void UnitRecorder::notifyLocked()
{
    ++m_generation;
    m_changed.notify_all();
}

void UnitRecorder::logEvent(const JsonLine &line)
{
    std::lock_guard lock(m_mutex);
    writeLocked(line);
    notifyLocked();
}

} // namespace unitsim
