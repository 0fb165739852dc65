#include "unit_sim.h"

#include "command_reader.h"
#include "control_unit.h"
#include "frame_assembler.h"
#include "http_unit.h"
#include "json_line.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <control_receiver.h>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <socket_ops.h>
#include <span>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace unitsim {

namespace {

using Clock = std::chrono::steady_clock;

// Records kept for the snapshots. A long demo run must not grow without bound: the oldest
// packet records go first, and only the latest frames keep their picture bytes.
constexpr std::size_t MaxPacketRecords = 100000;
constexpr std::size_t MaxControlRecords = 100000;
constexpr std::size_t FramesWithBytes = 64;
constexpr std::chrono::milliseconds SendTimeout{ 1000 };

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

std::string endpointText(const sockaddr_in &addr)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool setNonBlocking(int fd)
{
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK) == 0;
}

// A bound socket, or the error text.
std::variant<net::UniqueFd, std::string> bindSocket(
        int type, const std::string &address, std::uint16_t port, bool reuseAddress)
{
    const char *kind = type == SOCK_STREAM ? "tcp" : "udp";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        return std::string("not an IPv4 address: ") + address;
    net::UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return errnoText(std::string("socket ") + kind);
    if (reuseAddress) {
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return errnoText(std::string("bind ") + kind + " " + address + ":" + std::to_string(port));
    if (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0)
        return errnoText("listen " + address + ":" + std::to_string(port));
    setNonBlocking(fd.get());
    return fd;
}

} // namespace

std::uint32_t ssrcOf(const std::string &sessionId)
{
    std::uint32_t ssrc = 0;
    for (std::size_t i = 0; i < 4 && i < sessionId.size(); ++i)
        ssrc |= std::uint32_t(static_cast<std::uint8_t>(sessionId[i])) << (8 * i);
    return ssrc;
}

struct UnitSim::Impl
{
    // --- shared state, under mutex -----------------------------------------------------------
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::uint64_t generation = 0;
    Options options;
    bool running = false;
    Clock::time_point startTime = Clock::now();
    std::vector<HttpRequest> http;
    std::deque<ControlMessage> control;
    std::deque<RtpPacket> packets;
    std::deque<Frame> frames;
    std::optional<Frame> latestValid;
    Counters counters;
    std::FILE *log = nullptr;

    // --- control connections, under controlMutex ----------------------------------------------
    struct ControlConnection
    {
        int id = 0;
        net::UniqueFd fd;
        std::string peer;
        control::Reassembler splitter;
        ControlUnit unit;
        bool closing = false; // shut down by the unit; the loop closes it
        std::optional<std::int64_t> pullAtMs; // a pull waiting for the pull interval
    };
    mutable std::mutex controlMutex;
    std::vector<std::unique_ptr<ControlConnection>> controlConnections;

    // --- sockets and threads -------------------------------------------------------------------
    net::UniqueFd httpListen;
    net::UniqueFd controlListen;
    net::UniqueFd rtpSocket;
    net::UniqueFd wake; // readable once stop is asked; never read
    std::atomic<bool> stopping{ false };
    std::thread httpThread;
    std::thread controlThread;
    std::thread rtpThread;

    std::int64_t nowMs() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime)
                .count();
    }

    Options currentOptions() const
    {
        std::lock_guard lock(mutex);
        return options;
    }

    // Call with mutex held.
    void writeLog(const JsonLine &line)
    {
        if (!log)
            return;
        std::string text = line.str();
        text += '\n';
        std::fwrite(text.data(), 1, text.size(), log);
        std::fflush(log);
    }

    // Call with mutex held.
    void notifyLocked()
    {
        ++generation;
        changed.notify_all();
    }

    void logEvent(JsonLine line)
    {
        std::lock_guard lock(mutex);
        writeLog(line);
        notifyLocked();
    }

    void httpLoop();
    void controlLoop();
    void rtpLoop();

    // Control side.
    void recordControl(int connection, Direction direction, std::span<const std::uint8_t> bytes,
            const std::string &sessionId);
    bool sendControl(ControlConnection &conn, const std::vector<std::uint8_t> &bytes,
            const std::string &sessionId);
    ControlConnection *latestConnection();
    template <typename Build> bool controlAction(Build build, bool closeAfter = false);

    void recordFrame(Frame frame, const Options &opts);
};

// --- HTTP ---------------------------------------------------------------------------------------

void UnitSim::Impl::httpLoop()
{
    struct Pending
    {
        Clock::time_point due;
        std::size_t record = 0;
        ReplyMode mode = ReplyMode::Answer;
        HttpReply reply;
        bool keepAlive = true;
    };
    struct Connection
    {
        int id = 0;
        net::UniqueFd fd;
        HttpRequestParser parser;
        std::deque<Pending> pending;
        bool stalled = false; // a request stays unanswered: nothing after it is answered either
        bool peerClosed = false;
        bool closeNow = false;
        // A padded or endless answer on its way; the answers after it wait.
        std::optional<ReplyStream> streaming;
        std::size_t streamRecord = 0;
    };
    std::vector<std::unique_ptr<Connection>> connections;
    CommandSession session;
    int nextId = 1;

    // Records how far a streamed answer got; `ended` once it is done or the client left.
    auto recordStream = [&](Connection &conn, bool ended) {
        std::lock_guard lock(mutex);
        HttpRequest &rec = http[conn.streamRecord];
        rec.bodyBytesSent = conn.streaming->bodyBytesSent();
        if (!ended)
            return;
        rec.bodyEnded = true;
        rec.bodyComplete = conn.streaming->done();
        writeLog(JsonLine()
                         .add("t", nowMs())
                         .add("event", "http_body_end")
                         .add("conn", conn.id)
                         .add("request", conn.streamRecord + 1)
                         .add("bytes", std::int64_t(rec.bodyBytesSent))
                         .addBool("complete", rec.bodyComplete));
        notifyLocked();
    };

    // Sends what the socket takes now of a streamed answer, a bounded amount per call so the
    // other connections get their turn.
    auto pumpStream = [&](Connection &conn) {
        ReplyStream &stream = *conn.streaming;
        bool failed = false;
        for (int round = 0; round < 64 && !stream.done(); ++round) {
            const std::string_view piece = stream.next();
            const ssize_t n =
                    ::send(conn.fd.get(), piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                stream.advance(std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            failed = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
            break;
        }
        const bool ended = failed || stream.done();
        recordStream(conn, ended);
        if (failed)
            conn.closeNow = true;
        else if (stream.done() && stream.closeAfter())
            conn.closeNow = true;
        if (ended)
            conn.streaming.reset();
    };

    auto answerDue = [&](Connection &conn) {
        const auto now = Clock::now();
        while (!conn.pending.empty() && conn.pending.front().due <= now && !conn.closeNow
                && !conn.streaming) {
            Pending p = std::move(conn.pending.front());
            conn.pending.pop_front();
            if (p.mode == ReplyMode::Close) {
                conn.closeNow = true;
                std::lock_guard lock(mutex);
                writeLog(JsonLine()
                                 .add("t", nowMs())
                                 .add("event", "http_close")
                                 .add("conn", conn.id)
                                 .add("reason", "unanswered request closed by the unit"));
                notifyLocked();
                break;
            }
            // Recorded before it goes out, so whoever reads the answer finds it in the records.
            {
                std::lock_guard lock(mutex);
                HttpRequest &rec = http[p.record];
                rec.status = p.reply.status;
                rec.replyBody = p.reply.body;
                rec.answeredMs = nowMs();
                ++counters.httpAnswered;
                writeLog(JsonLine()
                                 .add("t", rec.answeredMs)
                                 .add("event", "http_reply")
                                 .add("conn", conn.id)
                                 .add("request", p.record + 1)
                                 .add("status", p.reply.status)
                                 .add("body", p.reply.body)
                                 .add("padded", std::int64_t(p.reply.paddedBodyBytes))
                                 .addBool("endless", p.reply.endless));
                notifyLocked();
            }
            if (p.reply.streamed()) {
                conn.streaming.emplace(p.reply, p.keepAlive);
                conn.streamRecord = p.record;
                pumpStream(conn);
                continue;
            }
            std::string bytes = serializeReply(p.reply, p.keepAlive);
            bool ok = net::sendAllWithin(conn.fd.get(),
                              std::span(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                      bytes.size()),
                              SendTimeout)
                    >= 0;
            if (!ok) {
                std::lock_guard lock(mutex);
                HttpRequest &rec = http[p.record];
                rec.status = 0;
                rec.answeredMs = -1;
                --counters.httpAnswered;
                writeLog(JsonLine()
                                 .add("t", nowMs())
                                 .add("event", "http_reply_failed")
                                 .add("conn", conn.id)
                                 .add("request", p.record + 1));
                notifyLocked();
            }
            if (!ok || !p.keepAlive)
                conn.closeNow = true;
        }
    };

    auto handleRequest = [&](Connection &conn, const ParsedRequest &request) {
        const Options opts = currentOptions();
        CommandDocument doc = readCommand(request.target);
        Decision decision;
        if (conn.stalled)
            decision.mode = ReplyMode::Silent;
        else
            decision = session.answer(opts, request, doc);
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex);
            HttpRequest rec;
            rec.timeMs = nowMs();
            rec.connection = conn.id;
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
            rec.answer = decision.mode == ReplyMode::Answer
                    ? "reply"
                    : (decision.mode == ReplyMode::Silent ? "silent" : "close");
            http.push_back(rec);
            index = http.size() - 1;
            ++counters.httpRequests;
            if (doc.family == opts.family) {
                switch (doc.command) {
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
            if (decision.loginAccepted)
                ++counters.loginsAccepted;
            JsonLine line;
            line.add("t", rec.timeMs)
                    .add("event", "http_request")
                    .add("conn", conn.id)
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
            writeLog(line);
            notifyLocked();
        }
        if (decision.mode == ReplyMode::Silent) {
            conn.stalled = true;
            return;
        }
        Pending p;
        p.due = Clock::now() + std::chrono::milliseconds(decision.delayMs);
        p.record = index;
        p.mode = decision.mode;
        p.reply = decision.reply;
        p.keepAlive = request.keepAlive;
        conn.pending.push_back(std::move(p));
        if (decision.mode == ReplyMode::Close)
            conn.stalled = true;
    };

    std::vector<pollfd> fds;
    while (!stopping) {
        // Time until the next delayed answer is due.
        int timeoutMs = -1;
        const auto now = Clock::now();
        for (auto &conn : connections) {
            if (!conn->pending.empty()) {
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    conn->pending.front().due - now)
                                    .count()
                        + 1;
                wait = std::max<long long>(wait, 0);
                timeoutMs = timeoutMs < 0 ? int(wait) : std::min(timeoutMs, int(wait));
            }
        }
        fds.clear();
        fds.push_back({ wake.get(), POLLIN, 0 });
        fds.push_back({ httpListen.get(), POLLIN, 0 });
        for (auto &conn : connections)
            fds.push_back({ conn->fd.get(),
                    short((conn->peerClosed ? 0 : POLLIN) | (conn->streaming ? POLLOUT : 0)), 0 });
        int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        if (stopping)
            break;
        if (fds[1].revents & POLLIN) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int fd = ::accept4(httpListen.get(), reinterpret_cast<sockaddr *>(&peer), &len,
                    SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                auto conn = std::make_unique<Connection>();
                conn->id = nextId++;
                conn->fd.reset(fd);
                logEvent(JsonLine()
                                 .add("t", nowMs())
                                 .add("event", "http_connect")
                                 .add("conn", conn->id)
                                 .add("peer", endpointText(peer)));
                connections.push_back(std::move(conn));
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            Connection &conn = *connections[i - 2];
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[16384];
            ssize_t got = ::recv(conn.fd.get(), buffer, sizeof buffer, 0);
            if (got > 0) {
                conn.parser.feed(std::string_view(buffer, std::size_t(got)));
                while (std::optional<ParsedRequest> request = conn.parser.next())
                    handleRequest(conn, *request);
                if (conn.parser.failed()) {
                    HttpReply bad;
                    bad.status = 400;
                    std::string bytes = serializeReply(bad, false);
                    net::sendAllWithin(conn.fd.get(),
                            std::span(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                    bytes.size()),
                            SendTimeout);
                    conn.closeNow = true;
                    logEvent(JsonLine()
                                     .add("t", nowMs())
                                     .add("event", "http_bad_request")
                                     .add("conn", conn.id));
                }
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The client went away; what it asked for can no longer be answered.
                conn.peerClosed = true;
                conn.closeNow = true;
            }
        }
        for (auto &conn : connections) {
            if (!conn->closeNow && conn->streaming)
                pumpStream(*conn);
            if (!conn->closeNow)
                answerDue(*conn);
        }
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->closeNow) {
                if ((*it)->streaming)
                    recordStream(**it, true); // the client went away before its end
                logEvent(JsonLine()
                                 .add("t", nowMs())
                                 .add("event", "http_disconnect")
                                 .add("conn", (*it)->id)
                                 .add("by", (*it)->peerClosed ? "client" : "unit"));
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
}

// --- Control --------------------------------------------------------------------------------

void UnitSim::Impl::recordControl(int connection, Direction direction,
        std::span<const std::uint8_t> bytes, const std::string &sessionId)
{
    ControlMessage msg = describeControlMessage(bytes, direction, sessionTagOf(sessionId));
    std::lock_guard lock(mutex);
    msg.timeMs = nowMs();
    msg.connection = connection;
    if (direction == Direction::FromClient) {
        ++counters.controlFromClient;
        if (msg.type == static_cast<std::uint8_t>(ControlType::FrameSent))
            ++counters.framesSentReported;
    } else {
        ++counters.controlToClient;
        if (msg.type == static_cast<std::uint8_t>(ControlType::NextFrame))
            ++counters.nextFramesSent;
        if (msg.type == static_cast<std::uint8_t>(ControlType::Share))
            ++counters.shareRequestsSent;
    }
    JsonLine line;
    line.add("t", msg.timeMs)
            .add("event", "control")
            .add("conn", connection)
            .add("dir", direction == Direction::FromClient ? "in" : "out")
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
    if (msg.items) {
        const ControlItems &it = *msg.items;
        JsonLine items;
        items.add("count", int(it.count));
        if (!it.item1.empty())
            items.add("item1", hexText(it.item1));
        if (it.item2)
            items.add("item2", int(it.item2));
        if (it.item3)
            items.add("item3", int(it.item3));
        if (it.item4)
            items.add("item4", int(it.item4));
        if (it.item5)
            items.add("item5", int(it.item5));
        if (it.item6)
            items.add("item6", int(it.item6));
        if (it.item7)
            items.add("item7", int(it.item7));
        if (it.item8)
            items.add("item8", int(it.item8));
        line.addRaw("items", items.str());
    }
    if (!msg.problems.empty())
        line.add("problems", msg.problems);
    writeLog(line);
    control.push_back(std::move(msg));
    while (control.size() > MaxControlRecords)
        control.pop_front();
    notifyLocked();
}

bool UnitSim::Impl::sendControl(ControlConnection &conn, const std::vector<std::uint8_t> &bytes,
        const std::string &sessionId)
{
    if (!conn.fd.valid() || conn.closing)
        return false;
    // Recorded before it goes out, so whoever reads the message finds it in the records.
    recordControl(conn.id, Direction::ToClient, bytes, sessionId);
    bool ok = net::sendAllWithin(conn.fd.get(), bytes, SendTimeout) >= 0;
    if (!ok)
        logEvent(JsonLine()
                         .add("t", nowMs())
                         .add("event", "control_send_failed")
                         .add("conn", conn.id)
                         .add("error", std::strerror(errno)));
    return ok;
}

UnitSim::Impl::ControlConnection *UnitSim::Impl::latestConnection()
{
    for (auto it = controlConnections.rbegin(); it != controlConnections.rend(); ++it)
        if (!(*it)->closing)
            return it->get();
    return nullptr;
}

template <typename Build> bool UnitSim::Impl::controlAction(Build build, bool closeAfter)
{
    const Options opts = currentOptions();
    std::lock_guard lock(controlMutex);
    ControlConnection *conn = latestConnection();
    if (!conn)
        return false;
    bool ok = true;
    if constexpr (!std::is_same_v<Build, std::nullptr_t>)
        ok = sendControl(*conn, build(conn->unit, opts), opts.sessionId);
    if (closeAfter) {
        // The loop sees the shut-down socket and closes it.
        ::shutdown(conn->fd.get(), SHUT_RDWR);
        conn->closing = true;
        logEvent(JsonLine()
                         .add("t", nowMs())
                         .add("event", "control_close")
                         .add("conn", conn->id)
                         .add("by", "unit"));
    }
    return ok;
}

void UnitSim::Impl::controlLoop()
{
    int nextId = 1;
    std::vector<pollfd> fds;
    std::vector<ControlConnection *> polled;
    while (!stopping) {
        fds.clear();
        polled.clear();
        fds.push_back({ wake.get(), POLLIN, 0 });
        fds.push_back({ controlListen.get(), POLLIN, 0 });
        int timeoutMs = -1;
        {
            std::lock_guard lock(controlMutex);
            // Pulls whose interval has passed go out first.
            const Options opts = currentOptions();
            for (auto &conn : controlConnections) {
                if (!conn->pullAtMs || conn->closing)
                    continue;
                const std::int64_t wait = *conn->pullAtMs - nowMs();
                if (wait <= 0) {
                    conn->pullAtMs.reset();
                    std::vector<std::uint8_t> pull = conn->unit.duePull(opts, nowMs());
                    if (!pull.empty())
                        sendControl(*conn, pull, opts.sessionId);
                } else {
                    timeoutMs = timeoutMs < 0 ? int(wait) : std::min(timeoutMs, int(wait));
                }
            }
            for (auto &conn : controlConnections) {
                fds.push_back({ conn->fd.get(), POLLIN, 0 });
                polled.push_back(conn.get());
            }
        }
        int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        if (stopping)
            break;
        if (fds[1].revents & POLLIN) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int fd = ::accept4(controlListen.get(), reinterpret_cast<sockaddr *>(&peer), &len,
                    SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto conn = std::make_unique<ControlConnection>();
                conn->id = nextId++;
                conn->fd.reset(fd);
                conn->peer = endpointText(peer);
                {
                    std::lock_guard lock(mutex);
                    ++counters.controlConnections;
                    writeLog(JsonLine()
                                     .add("t", nowMs())
                                     .add("event", "control_connect")
                                     .add("conn", conn->id)
                                     .add("peer", conn->peer));
                    notifyLocked();
                }
                std::lock_guard lock(controlMutex);
                controlConnections.push_back(std::move(conn));
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ControlConnection *conn = polled[i - 2];
            std::uint8_t buffer[4096];
            ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            std::lock_guard lock(controlMutex);
            bool close = got <= 0;
            if (got > 0) {
                conn->splitter.append(std::span(buffer, std::size_t(got)));
                while (std::optional<std::vector<std::uint8_t>> message =
                                conn->splitter.takeMessage()) {
                    const Options opts = currentOptions();
                    recordControl(conn->id, Direction::FromClient, *message, opts.sessionId);
                    ControlOutput out = conn->unit.onMessage(opts, *message, nowMs());
                    if (out.pullAtMs)
                        conn->pullAtMs = out.pullAtMs;
                    for (const auto &reply : out.messages)
                        sendControl(*conn, reply, opts.sessionId);
                    if (out.close) {
                        close = true;
                        logEvent(JsonLine()
                                         .add("t", nowMs())
                                         .add("event", "control_close")
                                         .add("conn", conn->id)
                                         .add("by", "unit"));
                        break;
                    }
                }
            } else if (!conn->closing) {
                logEvent(JsonLine()
                                 .add("t", nowMs())
                                 .add("event", "control_close")
                                 .add("conn", conn->id)
                                 .add("by", "client"));
            }
            if (close) {
                if (conn->splitter.pendingBytes() > 0)
                    logEvent(JsonLine()
                                     .add("t", nowMs())
                                     .add("event", "control_incomplete")
                                     .add("conn", conn->id)
                                     .add("bytes", conn->splitter.pendingBytes()));
                auto it = std::find_if(controlConnections.begin(), controlConnections.end(),
                        [&](const auto &c) { return c.get() == conn; });
                if (it != controlConnections.end())
                    controlConnections.erase(it);
                std::lock_guard recordLock(mutex);
                notifyLocked();
            }
        }
    }
}

// --- RTP ----------------------------------------------------------------------------------------

void UnitSim::Impl::recordFrame(Frame frame, const Options &opts)
{
    if (frame.valid && !opts.saveFolder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(opts.saveFolder, ec);
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06zu.jpg", frame.index);
        std::filesystem::path path = std::filesystem::path(opts.saveFolder) / name;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(frame.jpeg.data()),
                std::streamsize(frame.jpeg.size()));
        file.close();
        if (file)
            frame.savedPath = path.string();
    }
    std::lock_guard lock(mutex);
    if (frame.valid) {
        ++counters.framesValid;
        latestValid = frame;
    } else {
        ++counters.framesInvalid;
    }
    if (frame.complete)
        ++counters.framesComplete;
    JsonLine line;
    line.add("t", frame.timeMs)
            .add("event", "frame")
            .add("index", frame.index)
            .add("ssrc", frame.ssrc)
            .add("timestamp", frame.timestamp)
            .add("packets", frame.packetCount)
            .add("bytes", frame.jpeg.size())
            .add("width", frame.width)
            .add("height", frame.height)
            .add("widthBlocks", int(frame.widthBlocks))
            .add("heightBlocks", int(frame.heightBlocks))
            .addBool("sizeMatches", frame.sizeMatches)
            .addBool("valid", frame.valid);
    if (!frame.problem.empty())
        line.add("problem", frame.problem);
    if (!opts.saveFolder.empty() && frame.valid)
        line.add("saved", frame.savedPath);
    writeLog(line);
    frames.push_back(std::move(frame));
    if (frames.size() > FramesWithBytes) {
        Frame &old = frames[frames.size() - FramesWithBytes - 1];
        old.jpeg.clear();
        old.jpeg.shrink_to_fit();
    }
    notifyLocked();
}

void UnitSim::Impl::rtpLoop()
{
    FrameAssembler assembler;
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping) {
        pollfd fds[2] = { { wake.get(), POLLIN, 0 }, { rtpSocket.get(), POLLIN, 0 } };
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno != EINTR)
            break;
        if (stopping)
            break;
        if (!(fds[1].revents & POLLIN))
            continue;
        while (true) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            ssize_t got = ::recvfrom(rtpSocket.get(), buffer.data(), buffer.size(), MSG_TRUNC,
                    reinterpret_cast<sockaddr *>(&peer), &len);
            if (got < 0)
                break;
            const Options opts = currentOptions();
            assembler.setExpectedSsrc(ssrcOf(opts.sessionId));
            const std::size_t size = std::min(std::size_t(got), buffer.size());
            AssemblyOutput out = assembler.push(std::span(buffer.data(), size), nowMs());
            out.packet.source = endpointText(peer);
            {
                std::lock_guard lock(mutex);
                ++counters.rtpPackets;
                if (!out.packet.accepted)
                    ++counters.rtpPacketsRejected;
                const RtpPacket &p = out.packet;
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
                writeLog(line);
                packets.push_back(std::move(out.packet));
                while (packets.size() > MaxPacketRecords)
                    packets.pop_front();
                notifyLocked();
            }
            for (Frame &frame : out.frames)
                recordFrame(std::move(frame), opts);
        }
    }
    if (std::optional<Frame> last = assembler.flush(nowMs()))
        recordFrame(std::move(*last), currentOptions());
}

// --- UnitSim -----------------------------------------------------------------------------------

UnitSim::UnitSim(Options options) : m_impl(std::make_unique<Impl>())
{
    m_impl->options = std::move(options);
}

UnitSim::~UnitSim()
{
    stop();
}

std::optional<std::string> UnitSim::start()
{
    Impl &d = *m_impl;
    if (running())
        return std::string("already running");
    const Options opts = d.currentOptions();

    auto take = [](std::variant<net::UniqueFd, std::string> result,
                        net::UniqueFd &into) -> std::optional<std::string> {
        if (auto *error = std::get_if<std::string>(&result))
            return *error;
        into = std::move(std::get<net::UniqueFd>(result));
        return std::nullopt;
    };
    auto fail = [&](std::string error) {
        d.httpListen.reset();
        d.controlListen.reset();
        d.rtpSocket.reset();
        d.wake.reset();
        return std::optional<std::string>(std::move(error));
    };
    if (auto error = take(bindSocket(SOCK_STREAM, opts.address, opts.httpPort, true), d.httpListen))
        return fail(*error);
    if (opts.controlListen) {
        if (auto error = take(
                    bindSocket(SOCK_STREAM, opts.address, opts.controlPort, true), d.controlListen))
            return fail(*error);
    }
    if (opts.rtpListen) {
        // No address reuse: the client binds its own end of the stream with reuse, and two
        // receivers on one port must never share the packets.
        if (auto error = take(
                    bindSocket(SOCK_DGRAM, opts.address, opts.rtpPort, false), d.rtpSocket))
            return fail(*error);
        int bytes = 8 * 1024 * 1024;
        ::setsockopt(d.rtpSocket.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    d.wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!d.wake.valid())
        return fail(errnoText("eventfd"));

    {
        std::lock_guard lock(d.mutex);
        if (!opts.logPath.empty()) {
            d.log = std::fopen(opts.logPath.c_str(), "a");
            if (!d.log)
                return fail(errnoText("open log " + opts.logPath));
        }
        d.startTime = Clock::now();
        d.running = true;
        d.writeLog(JsonLine()
                           .add("t", std::int64_t(0))
                           .add("event", "start")
                           .add("address", opts.address)
                           .add("httpPort", int(opts.httpPort))
                           .add("family", familyName(opts.family))
                           .add("session", opts.sessionId));
    }
    d.stopping = false;
    d.httpThread = std::thread([&d] { d.httpLoop(); });
    if (d.controlListen.valid())
        d.controlThread = std::thread([&d] { d.controlLoop(); });
    if (d.rtpSocket.valid())
        d.rtpThread = std::thread([&d] { d.rtpLoop(); });
    return std::nullopt;
}

void UnitSim::stop()
{
    Impl &d = *m_impl;
    {
        std::lock_guard lock(d.mutex);
        if (!d.running)
            return;
    }
    d.stopping = true;
    std::uint64_t one = 1;
    if (::write(d.wake.get(), &one, sizeof one) < 0) {
        // Nothing else can wake the threads; they also check the flag after every event.
    }
    for (std::thread *t : { &d.httpThread, &d.controlThread, &d.rtpThread })
        if (t->joinable())
            t->join();
    {
        std::lock_guard lock(d.controlMutex);
        d.controlConnections.clear();
    }
    d.httpListen.reset();
    d.controlListen.reset();
    d.rtpSocket.reset();
    d.wake.reset();
    std::lock_guard lock(d.mutex);
    const Counters &c = d.counters;
    d.writeLog(JsonLine()
                       .add("t", d.nowMs())
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
                       .add("framesInvalid", c.framesInvalid));
    if (d.log) {
        std::fclose(d.log);
        d.log = nullptr;
    }
    d.running = false;
    d.notifyLocked();
}

bool UnitSim::running() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->running;
}

Options UnitSim::options() const
{
    return m_impl->currentOptions();
}

void UnitSim::updateOptions(const std::function<void(Options &)> &change)
{
    std::lock_guard lock(m_impl->mutex);
    Options next = m_impl->options;
    change(next);
    // What the sockets were bound with stays.
    next.address = m_impl->options.address;
    next.httpPort = m_impl->options.httpPort;
    next.controlPort = m_impl->options.controlPort;
    next.rtpPort = m_impl->options.rtpPort;
    next.controlListen = m_impl->options.controlListen;
    next.rtpListen = m_impl->options.rtpListen;
    next.logPath = m_impl->options.logPath;
    m_impl->options = std::move(next);
    m_impl->notifyLocked();
}

std::vector<HttpRequest> UnitSim::httpRequests() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->http;
}

std::vector<ControlMessage> UnitSim::controlMessages() const
{
    std::lock_guard lock(m_impl->mutex);
    return { m_impl->control.begin(), m_impl->control.end() };
}

std::vector<RtpPacket> UnitSim::rtpPackets() const
{
    std::lock_guard lock(m_impl->mutex);
    return { m_impl->packets.begin(), m_impl->packets.end() };
}

std::vector<Frame> UnitSim::frames() const
{
    std::lock_guard lock(m_impl->mutex);
    return { m_impl->frames.begin(), m_impl->frames.end() };
}

std::optional<Frame> UnitSim::latestFrame() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->latestValid;
}

Counters UnitSim::counters() const
{
    std::lock_guard lock(m_impl->mutex);
    return m_impl->counters;
}

bool UnitSim::controlConnected() const
{
    std::lock_guard lock(m_impl->controlMutex);
    return m_impl->latestConnection() != nullptr;
}

bool UnitSim::sharing() const
{
    std::lock_guard lock(m_impl->controlMutex);
    const Impl::ControlConnection *conn = m_impl->latestConnection();
    return conn && conn->unit.sharing();
}

std::string UnitSim::summary() const
{
    const Counters c = counters();
    const Options o = options();
    std::string text;
    text += "unit " + o.address + " (" + (o.family == Family::Qmt ? "QMT" : "ZMT") + ", session "
            + o.sessionId + ")\n";
    text += "  http: " + std::to_string(c.httpRequests) + " requests, "
            + std::to_string(c.httpAnswered) + " answered; logins " + std::to_string(c.logins)
            + " (" + std::to_string(c.loginsAccepted) + " accepted), firmware "
            + std::to_string(c.firmwareRequests) + ", keep-alive " + std::to_string(c.keepAlives)
            + ", logout " + std::to_string(c.logouts) + "\n";
    text += "  control: " + std::to_string(c.controlConnections) + " connections, "
            + std::to_string(c.controlFromClient) + " messages in, "
            + std::to_string(c.controlToClient) + " out; share requests "
            + std::to_string(c.shareRequestsSent) + ", frames reported sent "
            + std::to_string(c.framesSentReported) + ", pulls " + std::to_string(c.nextFramesSent)
            + "\n";
    text += "  rtp: " + std::to_string(c.rtpPackets) + " packets ("
            + std::to_string(c.rtpPacketsRejected) + " refused); frames "
            + std::to_string(c.framesValid) + " valid, " + std::to_string(c.framesInvalid)
            + " not valid";
    if (std::optional<Frame> last = latestFrame())
        text += "; last " + std::to_string(last->width) + "x" + std::to_string(last->height) + ", "
                + std::to_string(last->jpeg.size()) + " bytes";
    return text + "\n";
}

bool UnitSim::waitFor(
        const std::function<bool(const UnitSim &)> &pred, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    while (true) {
        std::uint64_t seen;
        {
            std::lock_guard lock(m_impl->mutex);
            seen = m_impl->generation;
        }
        if (pred(*this))
            return true;
        if (Clock::now() >= deadline)
            return pred(*this);
        std::unique_lock lock(m_impl->mutex);
        const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(10));
        m_impl->changed.wait_until(lock, until, [&] { return m_impl->generation != seen; });
    }
}

bool UnitSim::sendShareRequest()
{
    return m_impl->controlAction(
            [](ControlUnit &u, const Options &o) { return u.shareRequest(o); });
}

bool UnitSim::sendStop()
{
    return m_impl->controlAction([](ControlUnit &u, const Options &o) { return u.stopRequest(o); });
}

bool UnitSim::sendDisconnect()
{
    return m_impl->controlAction(
            [](ControlUnit &u, const Options &o) { return u.disconnect(o); }, true);
}

bool UnitSim::sendParams(const ControlItems &items)
{
    return m_impl->controlAction(
            [&items](ControlUnit &u, const Options &o) { return u.params(o, items); });
}

bool UnitSim::sendNextFrame()
{
    return m_impl->controlAction([](ControlUnit &u, const Options &o) { return u.nextFrame(o); });
}

bool UnitSim::sendRaw(const std::vector<std::uint8_t> &bytes)
{
    return m_impl->controlAction([&bytes](ControlUnit &, const Options &) { return bytes; });
}

bool UnitSim::closeControl()
{
    return m_impl->controlAction(nullptr, true);
}

} // namespace unitsim
