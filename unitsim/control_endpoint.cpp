#include "control_endpoint.h"

#include "endpoint_sockets.h"
#include "unit_recorder.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace unitsim {

void ControlEndpoint::run(int listenFd, int wakeFd, const std::atomic<bool> &stopping)
{
    m_nextId = 1;
    std::vector<pollfd> fds;
    std::vector<Connection *> polled;
    while (!stopping) {
        fds.clear();
        polled.clear();
        fds.push_back({ wakeFd, POLLIN, 0 });
        fds.push_back({ listenFd, POLLIN, 0 });
        int timeoutMs = -1;
        {
            std::lock_guard lock(m_mutex);
            timeoutMs = sendDuePulls();
            for (auto &conn : m_connections) {
                fds.push_back({ conn->fd.get(), POLLIN, 0 });
                polled.push_back(conn.get());
            }
        }
        const int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        if (stopping)
            break;
        if (fds[1].revents & POLLIN)
            acceptClient(listenFd);
        for (std::size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(polled[i - 2]);
    }
}

// Sends the pulls whose interval has passed; returns the time until the next one, or -1.
int ControlEndpoint::sendDuePulls()
{
    int timeoutMs = -1;
    const Options opts = m_recorder.options();
    for (auto &conn : m_connections) {
        if (!conn->pullAtMs || conn->closing)
            continue;
        const std::int64_t wait = *conn->pullAtMs - m_recorder.nowMs();
        if (wait <= 0) {
            conn->pullAtMs.reset();
            std::vector<std::uint8_t> pull = conn->unit.duePull(opts, m_recorder.nowMs());
            if (!pull.empty())
                send(*conn, pull);
        } else {
            timeoutMs = timeoutMs < 0 ? int(wait) : std::min(timeoutMs, int(wait));
        }
    }
    return timeoutMs;
}

void ControlEndpoint::acceptClient(int listenFd)
{
    Accepted accepted = unitsim::acceptClient(listenFd);
    if (!accepted.fd.valid())
        return;
    int one = 1;
    ::setsockopt(accepted.fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_unique<Connection>();
    conn->id = m_nextId++;
    conn->fd = std::move(accepted.fd);
    m_recorder.recordControlConnect(conn->id, accepted.peer);
    std::lock_guard lock(m_mutex);
    m_connections.push_back(std::move(conn));
}

// Only this thread removes connections, so conn stays valid without the lock until then.
void ControlEndpoint::readFrom(Connection *conn)
{
    std::uint8_t buffer[4096];
    const Received received = receiveStamped(conn->fd.get(), buffer, sizeof buffer);
    const ssize_t got = received.bytes;
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    std::lock_guard lock(m_mutex);
    bool close = got <= 0;
    if (got > 0) {
        conn->reassembler.append(std::span(buffer, std::size_t(got)));
        // The messages this read completed arrived with its bytes.
        handleMessages(*conn, received.arrivedUs, close);
    } else if (!conn->closing) {
        m_recorder.recordControlClose(conn->id, "client");
    }
    if (close)
        remove(conn);
}

// Records and answers every whole message held; sets close when the unit ends the connection.
void ControlEndpoint::handleMessages(
        Connection &conn, std::optional<std::int64_t> arrivedUs, bool &close)
{
    while (std::optional<std::vector<std::uint8_t>> message = conn.reassembler.takeMessage()) {
        const Options opts = m_recorder.options();
        m_recorder.recordControl(conn.id, Direction::FromClient, *message, arrivedUs);
        ControlOutput out = conn.unit.onMessage(opts, *message, m_recorder.nowMs());
        if (out.pullAtMs)
            conn.pullAtMs = out.pullAtMs;
        for (const auto &reply : out.messages)
            send(conn, reply);
        if (out.close) {
            close = true;
            m_recorder.recordControlClose(conn.id, "unit");
            return;
        }
    }
}

void ControlEndpoint::remove(Connection *conn)
{
    if (conn->reassembler.pendingBytes() > 0)
        m_recorder.recordControlIncomplete(conn->id, conn->reassembler.pendingBytes());
    auto it = std::find_if(m_connections.begin(), m_connections.end(),
            [&](const auto &c) { return c.get() == conn; });
    if (it != m_connections.end())
        m_connections.erase(it);
    m_recorder.notify();
}

bool ControlEndpoint::send(Connection &conn, const std::vector<std::uint8_t> &bytes)
{
    if (!conn.fd.valid() || conn.closing)
        return false;
    // Recorded before it goes out, so whoever reads the message finds it in the records.
    m_recorder.recordControl(conn.id, Direction::ToClient, bytes);
    const bool ok = net::sendAllWithin(conn.fd.get(), bytes, SendTimeout) >= 0;
    if (!ok)
        m_recorder.recordControlSendFailed(conn.id, errno);
    return ok;
}

ControlEndpoint::Connection *ControlEndpoint::latest() const
{
    for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it)
        if (!(*it)->closing)
            return it->get();
    return nullptr;
}

bool ControlEndpoint::act(const Build &build, bool closeAfter)
{
    const Options opts = m_recorder.options();
    std::lock_guard lock(m_mutex);
    Connection *conn = latest();
    if (!conn)
        return false;
    bool ok = true;
    if (build)
        ok = send(*conn, build(conn->unit, opts));
    if (closeAfter) {
        // The loop sees the shut-down socket and closes it.
        net::shutdownBoth(conn->fd.get());
        conn->closing = true;
        m_recorder.recordControlClose(conn->id, "unit");
    }
    return ok;
}

bool ControlEndpoint::connected() const
{
    std::lock_guard lock(m_mutex);
    return latest() != nullptr;
}

bool ControlEndpoint::sharing() const
{
    std::lock_guard lock(m_mutex);
    const Connection *conn = latest();
    return conn && conn->unit.sharing();
}

void ControlEndpoint::clear()
{
    std::lock_guard lock(m_mutex);
    m_connections.clear();
}

} // namespace unitsim
