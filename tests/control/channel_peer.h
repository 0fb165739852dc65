#ifndef TANDEO_TESTS_CONTROL_CHANNEL_PEER_H
#define TANDEO_TESTS_CONTROL_CHANNEL_PEER_H

// What the tests of the control channel client share: the unit's side as a plain TCP listener
// on a loopback address, recorders for the callbacks, the message builders of the unit, and the
// fixture that starts the channel. The callbacks run on the receive thread.

#include "control_channel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace controltest {

using namespace control;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline constexpr int ControlPort = 50000;
inline const char *const Session = "AB12xyz";
inline const SessionTag Tag = sessionTagFromText(Session);
inline const SessionTag UnitTag = sessionTagFromText("unit");

inline bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// What the callbacks saw, written on the receive thread.
struct Recorder
{
    std::mutex mutex;
    std::vector<int> events;
    std::vector<Bytes> data; // item block of CONNECT_ACCEPT / requests, reason bytes
    int stopResult = 0; // what REQUESTBYPEER_STOP answers

    std::vector<int> snapshot()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    int count(int event)
    {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }
};
inline Recorder recorder;

inline void onNotify(int event, const unsigned char *data, int)
{
    std::lock_guard lock(recorder.mutex);
    recorder.events.push_back(event);
    if (event == CONNECT_ACCEPT)
        recorder.data.push_back(encodeItems(*reinterpret_cast<const ControlParams *>(data)));
    else if (data)
        recorder.data.emplace_back(data, data + ReasonBytes);
    else
        recorder.data.emplace_back();
}

inline int onRequest(int event, const void *data, int)
{
    std::lock_guard lock(recorder.mutex);
    recorder.events.push_back(event);
    recorder.data.push_back(
            data ? encodeItems(*static_cast<const ControlParams *>(data)) : Bytes{});
    return event == REQUESTBYPEER_STOP ? recorder.stopResult : 0;
}

inline sockaddr_in loopback(const char *address, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &addr.sin_addr);
    return addr;
}

// The unit's side: listens on address:50000 and talks over one accepted connection.
class TestPeer
{
public:
    explicit TestPeer(const char *address, int backlog = 4)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const auto addr = loopback(address, ControlPort);
        if (::bind(m_listen, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
                || ::listen(m_listen, backlog) != 0)
            ADD_FAILURE() << "cannot listen on " << address;
    }
    ~TestPeer()
    {
        dropConnection();
        ::close(m_listen);
    }
    int listenFd() const { return m_listen; }
    int connectionFd() const { return m_conn; }

    bool accept(std::chrono::milliseconds timeout = 5s)
    {
        pollfd watch{ m_listen, POLLIN, 0 };
        if (::poll(&watch, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        dropConnection();
        m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        const int on = 1;
        ::setsockopt(m_conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return m_conn >= 0;
    }

    void send(const Bytes &bytes)
    {
        ASSERT_EQ(::send(m_conn, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(bytes.size()));
    }

    // Reads exactly n bytes or fewer when the deadline passes or the stream ends.
    Bytes read(std::size_t n, std::chrono::milliseconds timeout = 5s)
    {
        Bytes out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < n && Clock::now() < deadline) {
            pollfd watch{ m_conn, POLLIN, 0 };
            const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&watch, 1, static_cast<int>(std::max<long>(left.count(), 1))) != 1)
                continue;
            std::uint8_t buffer[512];
            const ssize_t got = ::recv(m_conn, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0)
                break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    // True when the client closed its side (end of stream) within the time-out.
    bool seesEndOfStream(std::chrono::milliseconds timeout = 5s)
    {
        std::uint8_t byte;
        pollfd watch{ m_conn, POLLIN, 0 };
        return ::poll(&watch, 1, static_cast<int>(timeout.count())) == 1
                && ::recv(m_conn, &byte, 1, 0) == 0;
    }

    // Everything sent has been taken off the client's socket by its receive thread.
    bool deliveredTo(int clientFd)
    {
        return waitFor([&] {
            int unacked = 0;
            int unread = 0;
            ::ioctl(m_conn, SIOCOUTQ, &unacked);
            ::ioctl(clientFd, FIONREAD, &unread);
            return unacked == 0 && unread == 0;
        });
    }

    void dropConnection()
    {
        if (m_conn >= 0)
            ::close(m_conn);
        m_conn = -1;
    }

    // Ends the connection with a reset rather than an orderly close.
    void resetConnection()
    {
        const linger abort{ 1, 0 };
        ::setsockopt(m_conn, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        dropConnection();
    }

    // Sends as much as the connection takes; false once the client has closed it.
    bool trySend(const Bytes &bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n =
                    ::send(m_conn, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // What the client sent until nothing more came for `quiet`.
    Bytes readWhatCame(std::chrono::milliseconds quiet = 20ms)
    {
        Bytes out;
        pollfd watch{ m_conn, POLLIN, 0 };
        while (::poll(&watch, 1, static_cast<int>(quiet.count())) == 1) {
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(m_conn, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0)
                break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

private:
    int m_listen = -1;
    int m_conn = -1;
};

inline Bytes unitMessage(MsgType type, const Bytes &payload = {})
{
    return encodeMessage(makeHeader(type, UnitTag), payload);
}

inline Bytes unitResponse(std::uint8_t result, std::uint8_t answers, const Bytes &tail = {})
{
    return encodeResponse(makeHeader(MsgType::MSG_RESPONSE, UnitTag), result, answers, tail);
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline std::size_t openDescriptors()
{
    std::size_t count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count;
}

class ControlChannelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        {
            std::lock_guard lock(recorder.mutex);
            recorder.events.clear();
            recorder.data.clear();
            recorder.stopResult = 0;
        }
        registerCallbacks(onNotify, onRequest);
        ASSERT_EQ(startChannel(), 0);
    }
    void TearDown() override { stopChannel(); }

    // Connects to the peer and takes the 34-byte MSG_CONNECT off the wire.
    void connectTo(TestPeer &peer, const char *address)
    {
        const int sent = connectChannel(address, ControlPort, connectParams(1024, 576), Session, 3);
        ASSERT_EQ(sent, 34);
        ASSERT_TRUE(peer.accept());
        ASSERT_EQ(peer.read(34).size(), 34u);
    }
};

} // namespace controltest

#endif // TANDEO_TESTS_CONTROL_CHANNEL_PEER_H
