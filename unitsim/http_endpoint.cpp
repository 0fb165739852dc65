#include "http_endpoint.h"

#include "command_reader.h"
#include "endpoint_sockets.h"
#include "unit_recorder.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <span>
#include <sys/socket.h>

namespace unitsim {

namespace {

// A streamed answer gets at most this many sends per round, so the other connections get
// their turn.
constexpr int StreamSendsPerRound = 64;

std::span<const std::uint8_t> bytesOf(const std::string &text)
{
    return { reinterpret_cast<const std::uint8_t *>(text.data()), text.size() };
}

} // namespace

void HttpEndpoint::run()
{
    std::vector<pollfd> fds;
    while (!m_stopping) {
        fds.clear();
        fds.push_back({ m_wakeFd, POLLIN, 0 });
        fds.push_back({ m_listenFd, POLLIN, 0 });
        for (auto &conn : m_connections)
            fds.push_back({ conn->fd.get(),
                    short((conn->peerClosed ? 0 : POLLIN) | (conn->streaming ? POLLOUT : 0)), 0 });
        const int n = ::poll(fds.data(), fds.size(), pollTimeoutMs());
        if (n < 0 && errno != EINTR)
            break;
        if (m_stopping)
            break;
        if (fds[1].revents & POLLIN)
            acceptClient();
        // Connections accepted just now come after the polled ones.
        for (std::size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(*m_connections[i - 2]);
        for (auto &conn : m_connections) {
            if (!conn->closeNow && conn->streaming)
                pumpStream(*conn);
            if (!conn->closeNow)
                answerDue(*conn);
        }
        closeFinished();
    }
}

// Time until the next delayed answer is due; -1 when none waits.
int HttpEndpoint::pollTimeoutMs() const
{
    int timeoutMs = -1;
    const auto now = Clock::now();
    for (const auto &conn : m_connections) {
        if (conn->pending.empty())
            continue;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                            conn->pending.front().due - now)
                            .count()
                + 1;
        wait = std::max<long long>(wait, 0);
        timeoutMs = timeoutMs < 0 ? int(wait) : std::min(timeoutMs, int(wait));
    }
    return timeoutMs;
}

void HttpEndpoint::acceptClient()
{
    Accepted accepted = unitsim::acceptClient(m_listenFd);
    if (!accepted.fd.valid())
        return;
    auto conn = std::make_unique<Connection>();
    conn->id = m_nextId++;
    conn->fd = std::move(accepted.fd);
    m_recorder.recordHttpConnect(conn->id, accepted.peer);
    m_connections.push_back(std::move(conn));
}

void HttpEndpoint::readFrom(Connection &conn)
{
    char buffer[16384];
    const Received received = receiveStamped(conn.fd.get(), buffer, sizeof buffer);
    const ssize_t got = received.bytes;
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        // The client went away; what it asked for can no longer be answered.
        conn.peerClosed = true;
        conn.closeNow = true;
        return;
    }
    if (got < 0)
        return;
    conn.parser.feed(std::string_view(buffer, std::size_t(got)));
    // The requests this read completed arrived with its bytes.
    while (std::optional<ParsedRequest> request = conn.parser.next())
        handleRequest(conn, *request, received.arrivedUs);
    if (conn.parser.failed()) {
        HttpReply bad;
        bad.status = 400;
        net::sendAllWithin(conn.fd.get(), bytesOf(serializeReply(bad, false)), SendTimeout);
        conn.closeNow = true;
        m_recorder.recordHttpBadRequest(conn.id);
    }
}

void HttpEndpoint::handleRequest(
        Connection &conn, const ParsedRequest &request, std::optional<std::int64_t> arrivedUs)
{
    const Options opts = m_recorder.options();
    const CommandDocument doc = readCommand(request.target);
    Decision decision;
    if (conn.stalled)
        decision.mode = ReplyMode::Silent;
    else
        decision = m_session.answer(opts, request, doc);
    const std::size_t record =
            m_recorder.recordHttpRequest(conn.id, request, doc, decision, opts.family, arrivedUs);
    if (decision.mode == ReplyMode::Silent) {
        conn.stalled = true;
        return;
    }
    Pending p;
    p.due = Clock::now() + std::chrono::milliseconds(decision.delayMs);
    p.record = record;
    p.mode = decision.mode;
    p.reply = std::move(decision.reply);
    p.keepAlive = request.keepAlive;
    conn.pending.push_back(std::move(p));
    if (decision.mode == ReplyMode::Close)
        conn.stalled = true;
}

// Sends the answers that are due, in order, until one is not or a streamed one is on its way.
void HttpEndpoint::answerDue(Connection &conn)
{
    const auto now = Clock::now();
    while (!conn.pending.empty() && conn.pending.front().due <= now && !conn.closeNow
            && !conn.streaming) {
        const Pending p = std::move(conn.pending.front());
        conn.pending.pop_front();
        if (p.mode == ReplyMode::Close) {
            conn.closeNow = true;
            m_recorder.recordHttpClose(conn.id);
            break;
        }
        sendAnswer(conn, p);
    }
}

void HttpEndpoint::sendAnswer(Connection &conn, const Pending &p)
{
    // Recorded before it goes out, so whoever reads the answer finds it in the records.
    m_recorder.recordHttpReply(conn.id, p.record, p.reply);
    if (p.reply.streamed()) {
        conn.streaming.emplace(p.reply, p.keepAlive);
        conn.streamRecord = p.record;
        pumpStream(conn);
        return;
    }
    const bool ok = net::sendAllWithin(conn.fd.get(), bytesOf(serializeReply(p.reply, p.keepAlive)),
                            SendTimeout)
            >= 0;
    if (!ok)
        m_recorder.recordHttpReplyFailed(conn.id, p.record);
    if (!ok || !p.keepAlive)
        conn.closeNow = true;
}

// Sends what the socket takes now of a streamed answer.
void HttpEndpoint::pumpStream(Connection &conn)
{
    ReplyStream &stream = *conn.streaming;
    bool failed = false;
    for (int round = 0; round < StreamSendsPerRound && !stream.done(); ++round) {
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
    if (!failed && !stream.done()) {
        m_recorder.recordHttpBodyProgress(conn.streamRecord, stream.bodyBytesSent());
        return;
    }
    if (failed || stream.closeAfter())
        conn.closeNow = true;
    endStream(conn);
}

// Records how far the streamed answer got (all of it, or the client left first) and drops it.
void HttpEndpoint::endStream(Connection &conn)
{
    const ReplyStream &stream = *conn.streaming;
    m_recorder.recordHttpBodyEnd(conn.id, conn.streamRecord, stream.bodyBytesSent(), stream.done());
    conn.streaming.reset();
}

void HttpEndpoint::closeFinished()
{
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        Connection &conn = **it;
        if (!conn.closeNow) {
            ++it;
            continue;
        }
        if (conn.streaming)
            endStream(conn); // the client went away before its end
        m_recorder.recordHttpDisconnect(conn.id, conn.peerClosed);
        it = m_connections.erase(it);
    }
}

} // namespace unitsim
