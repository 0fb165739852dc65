#include "control_channel.h"

#include "control_receiver.h"
#include "socket_ops.h"

#include <QLoggingCategory>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <optional>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <utility>

namespace control {

Q_LOGGING_CATEGORY(lcControl, "tandeo.control")

namespace {

using namespace std::chrono_literals;

// The receive thread wakes at least this often while it watches a connection.
constexpr auto ReceiveWait = 5s + 350us;
// A message is a few dozen bytes; a unit that takes none of it off its socket for this long
// has stopped reading, and waiting longer would only hold the sending thread.
constexpr auto SendWait = 2s;

// One connection to the unit. Closing only shuts the socket down (which wakes a receive
// waiting on it); the descriptor itself is released when the last holder lets go, so it is
// closed exactly once and its number cannot be reused while a thread still waits on it.
struct Connection
{
    Connection(net::UniqueFd s, const SessionTag &tag) : socket(std::move(s)), receiver(tag) { }

    // True for the one call that closed it.
    bool close()
    {
        if (closed.exchange(true))
            return false;
        net::shutdownBoth(socket.get());
        return true;
    }

    const net::UniqueFd socket;
    std::atomic<bool> closed{ false };
    Receiver receiver; // the receive thread's alone
};

std::atomic<NotifyCallback> notifyCallback{ nullptr };
std::atomic<RequestCallback> requestCallback{ nullptr };

std::mutex stateMutex; // guards current, threadRun, threadAlive
std::condition_variable stateChanged;
std::shared_ptr<Connection> current;
bool threadRun = false;
bool threadAlive = false;

std::mutex threadMutex; // serialises starting and stopping the thread

// The receive thread. A program that ends without stopping the channel would otherwise meet a
// joinable std::thread among its statics and abort; this one is stopped and joined instead.
// Declared after the state above, so that state is still there when this goes.
struct ReceiveThread : std::thread
{
    using std::thread::operator=;
    ~ReceiveThread();
};
ReceiveThread recvThread;

std::shared_ptr<Connection> currentConnection()
{
    std::lock_guard lock(stateMutex);
    return current;
}

// Closes conn and, when it is still the channel's connection, forgets it. True when this call
// closed it.
bool closeConnection(const std::shared_ptr<Connection> &conn)
{
    if (!conn)
        return false;
    {
        std::lock_guard lock(stateMutex);
        if (current == conn)
            current.reset();
    }
    const bool closedHere = conn->close();
    stateChanged.notify_all();
    return closedHere;
}

// The connection is lost: closed, and NETWORK_FAIL raised once, whichever thread noticed first.
void failConnection(const std::shared_ptr<Connection> &conn)
{
    if (!closeConnection(conn))
        return;
    if (const NotifyCallback notify = notifyCallback.load())
        notify(NETWORK_FAIL, nullptr, 0);
}

int sendOn(const std::shared_ptr<Connection> &conn, std::span<const std::uint8_t> message)
{
    if (!conn || conn->closed)
        return -1;
    const ssize_t sent = net::sendAllWithin(conn->socket.get(), message, SendWait);
    if (sent < 0 && errno == ETIMEDOUT) {
        // Nothing else would notice a unit that is there but no longer reads.
        qCDebug(lcControl) << "control channel send timed out: the unit does not read";
        failConnection(conn);
    }
    return static_cast<int>(sent);
}

int sendHeaderOnly(MsgType type, const char *sessionText)
{
    const Header header = makeHeader(type, sessionTagFromText(sessionText ? sessionText : ""));
    return sendOn(currentConnection(), encodeMessage(header));
}

// Waits for a connection to watch; nullptr when the thread is to end.
std::shared_ptr<Connection> awaitConnection()
{
    std::unique_lock lock(stateMutex);
    stateChanged.wait(lock, [] { return !threadRun || (current && !current->closed); });
    return threadRun ? current : nullptr;
}

bool shouldRun()
{
    std::lock_guard lock(stateMutex);
    return threadRun;
}

void receiveLoop()
{
    pthread_setname_np(pthread_self(), "tandeo-control"); // as top -H and profilers show it
    std::array<std::uint8_t, RecvChunkBytes> buffer{};
    while (const auto conn = awaitConnection()) {
        const auto waited = net::waitReadable(conn->socket.get(), ReceiveWait);
        if (!shouldRun())
            break;
        if (conn->closed || waited == net::WaitResult::TimedOut)
            continue;
        const ssize_t received = net::receiveSome(conn->socket.get(), buffer);
        if (conn->closed)
            continue; // closed on our side meanwhile: neither data nor a failure to report
        if (received <= 0) {
            qCDebug(lcControl) << "control channel receive ended:" << received;
            failConnection(conn);
            std::lock_guard lock(stateMutex);
            threadRun = false;
            break;
        }
        const Callbacks callbacks{ notifyCallback.load(), requestCallback.load() };
        const auto reply = [&conn](std::span<const std::uint8_t> message) {
            sendOn(conn, message);
        };
        const std::span<const std::uint8_t> piece(
                buffer.data(), static_cast<std::size_t>(received));
        if (conn->receiver.feed(piece, callbacks, reply) == DispatchResult::PeerLeft) {
            qCDebug(lcControl) << "control channel closed by the unit";
            closeConnection(conn);
        }
    }
    std::lock_guard lock(stateMutex);
    threadAlive = false;
}

} // namespace

void registerCallbacks(NotifyCallback notify, RequestCallback request)
{
    notifyCallback = notify;
    requestCallback = request;
}

int startChannel()
{
    std::lock_guard threadLock(threadMutex);
    if (recvThread.joinable()) {
        if (recvThread.get_id() == std::this_thread::get_id())
            return 0; // from a callback: the thread is this one and runs
        {
            std::lock_guard lock(stateMutex);
            if (threadAlive && threadRun)
                return 0;
        }
        recvThread.join(); // it ended or is ending
    }
    {
        std::lock_guard lock(stateMutex);
        threadRun = true;
        threadAlive = true;
    }
    try {
        recvThread = std::thread(receiveLoop);
    } catch (const std::system_error &error) {
        std::lock_guard lock(stateMutex);
        threadRun = false;
        threadAlive = false;
        return error.code().value();
    }
    return 0;
}

int connectChannel(const char *host, int port, const ControlParams &params, const char *sessionText,
        int timeoutSeconds)
{
    // The unit's address is numeric: nothing is handed to a resolver, which would send a
    // name query off this host for text that is not an address.
    const std::optional<net::Ipv4Address> address = net::parseIpv4(host ? host : "");
    if (!address) {
        std::fprintf(stderr, "error: gethostbyname: %s\n", gai_strerror(EAI_NONAME));
        return CONNECT_HOST_UNRESOLVED;
    }
    if (port <= 0 || port > 0xFFFF)
        return CONNECT_TIMED_OUT; // no connection can be made to such a port
    const int seconds = timeoutSeconds > 0 ? timeoutSeconds : DefaultConnectTimeoutSeconds;
    auto made = net::connectTcp(
            *address, static_cast<std::uint16_t>(port), std::chrono::seconds(seconds));
    if (made.status == net::ConnectStatus::SocketFailed)
        return CONNECT_SOCKET_FAILED;
    if (made.status != net::ConnectStatus::Connected) {
        qCDebug(lcControl) << "control connect to" << host << port
                           << "failed:" << std::strerror(made.error);
        return CONNECT_TIMED_OUT;
    }

    const SessionTag tag = sessionTagFromText(sessionText ? sessionText : "");
    auto conn = std::make_shared<Connection>(std::move(made.socket), tag);
    std::shared_ptr<Connection> previous;
    {
        std::lock_guard lock(stateMutex);
        previous = std::exchange(current, conn);
    }
    if (previous)
        previous->close(); // a connection left open by an earlier share is not leaked
    stateChanged.notify_all();
    qCDebug(lcControl) << "control connected to" << net::formatIpv4(*address).c_str() << port;
    return sendOn(conn, encodeMessage(makeHeader(MsgType::MSG_CONNECT, tag), params));
}

int sendShare(const char *sessionText)
{
    return sendHeaderOnly(MsgType::MSG_SHARE, sessionText);
}

int sendStop(const char *sessionText)
{
    return sendHeaderOnly(MsgType::MSG_STOP, sessionText);
}

int sendFrameSent(const char *sessionText)
{
    return sendHeaderOnly(MsgType::MSG_FRAME_SENT, sessionText);
}

int sendDisconnect(const char *sessionText)
{
    const auto conn = currentConnection();
    const Header header =
            makeHeader(MsgType::MSG_DISCONNECT, sessionTagFromText(sessionText ? sessionText : ""));
    const int sent = sendOn(conn, encodeMessage(header));
    closeConnection(conn);
    return sent;
}

void closeChannel(int socket)
{
    const auto conn = currentConnection();
    if (conn && conn->socket.get() == socket)
        closeConnection(conn);
}

void stopChannel()
{
    std::lock_guard threadLock(threadMutex);
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard lock(stateMutex);
        threadRun = false;
        conn = std::exchange(current, nullptr);
    }
    if (conn)
        conn->close();
    stateChanged.notify_all();
    if (recvThread.joinable() && recvThread.get_id() != std::this_thread::get_id())
        recvThread.join();
}

ReceiveThread::~ReceiveThread()
{
    stopChannel();
}

int channelSocket()
{
    const auto conn = currentConnection();
    return conn && !conn->closed ? conn->socket.get() : -1;
}

bool channelThreadRunning()
{
    std::lock_guard lock(stateMutex);
    return threadAlive && threadRun;
}

} // namespace control
