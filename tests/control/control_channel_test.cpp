// The client against a real TCP peer on loopback: what goes on the wire, what the receive
// thread raises, and how connections end. Each test that runs a peer has its own address.

#include "control_channel.h"

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

using namespace control;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int ControlPort = 50000;
const char *const Session = "AB12xyz";
const SessionTag Tag = sessionTagFromText(Session);
const SessionTag UnitTag = sessionTagFromText("unit");

bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5s)
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
Recorder recorder;

void onNotify(int event, const unsigned char *data, int)
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

int onRequest(int event, const void *data, int)
{
    std::lock_guard lock(recorder.mutex);
    recorder.events.push_back(event);
    recorder.data.push_back(
            data ? encodeItems(*static_cast<const ControlParams *>(data)) : Bytes{});
    return event == REQUESTBYPEER_STOP ? recorder.stopResult : 0;
}

sockaddr_in loopback(const char *address, int port)
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

private:
    int m_listen = -1;
    int m_conn = -1;
};

Bytes unitMessage(MsgType type, const Bytes &payload = {})
{
    return encodeMessage(makeHeader(type, UnitTag), payload);
}

Bytes unitResponse(std::uint8_t result, std::uint8_t answers, const Bytes &tail = {})
{
    return encodeResponse(makeHeader(MsgType::MSG_RESPONSE, UnitTag), result, answers, tail);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::size_t openDescriptors()
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

} // namespace

TEST_F(ControlChannelTest, ReassemblesWhatArrivesInAnyShape)
{
    TestPeer peer("127.0.0.30");
    const int sent =
            connectChannel("127.0.0.30", ControlPort, connectParams(1024, 576), Session, 3);
    ASSERT_EQ(sent, 34);
    ASSERT_TRUE(peer.accept());
    // MSG_CONNECT as the unit gets it, with the reversed tag and the 22-byte item block.
    EXPECT_EQ(peer.read(34),
            concat({ { 0x41, 0x43, 0x01, 0x01, 0x32, 0x31, 0x42, 0x41, 0x00, 0x01, 0x00, 0x16 },
                    encodeItems(connectParams(1024, 576)) }));
    const int fd = channelSocket();
    ASSERT_GE(fd, 0);

    // Two messages in one receive: both, in order.
    const Bytes accepted = encodeItems(connectParams(1280, 720));
    peer.send(concat({ unitResponse(0, 1, accepted), unitResponse(0, 2) }));
    ASSERT_TRUE(waitFor([] { return recorder.count(SHARE_ACCEPT) == 1; }));
    EXPECT_EQ(recorder.snapshot(), (std::vector<int>{ CONNECT_ACCEPT, SHARE_ACCEPT }));
    EXPECT_EQ(recorder.data[0], encodeItems(decodeItems(accepted)));

    // One message over two receives: dispatched once, after its last byte.
    const Bytes stopAccept = unitResponse(0, 3);
    peer.send(Bytes(stopAccept.begin(), stopAccept.begin() + 7));
    ASSERT_TRUE(peer.deliveredTo(fd));
    EXPECT_EQ(recorder.count(STOP_ACCEPT), 0);
    peer.send(Bytes(stopAccept.begin() + 7, stopAccept.end()));
    ASSERT_TRUE(waitFor([] { return recorder.count(STOP_ACCEPT) == 1; }));

    // More than one receive's worth (200 bytes) in one message.
    ControlParams big = connectParams(640, 480);
    big.item1 = Bytes(255, 0x61);
    const Bytes params = unitMessage(MsgType::MSG_PARAMS, encodeItems(big));
    ASSERT_GT(params.size(), 200u);
    peer.send(params);
    EXPECT_EQ(peer.read(14),
            (Bytes{ 0x41, 0x43, 0x01, 0x07, 0x32, 0x31, 0x42, 0x41, 0x00, 0x01, 0x00, 0x02, 0x00,
                    0x05 }));
    ASSERT_EQ(recorder.count(REQUESTBYPEER_PARAMS), 1);
    EXPECT_EQ(recorder.data.back(), encodeItems(decodeItems(encodeItems(big))));
    EXPECT_EQ(recorder.data.back().size(), 1u + 257 + 4 + 3 + 4 + 4); // count 5: item8 unread

    // A 12-byte MSG_SHARE is dispatched at once and answered with exactly 14 bytes.
    peer.send(unitMessage(MsgType::MSG_SHARE));
    EXPECT_EQ(peer.read(14),
            (Bytes{
                    0x41, 0x43, 0x01, 0x07, // "AC", version, MSG_RESPONSE
                    0x32, 0x31, 0x42, 0x41, // the tag saved at connect
                    0x00, 0x01, 0x00, 0x02, // param 1, length 2
                    0x00, 0x02, // accepted, answers MSG_SHARE
            }));
    EXPECT_EQ(recorder.count(REQUESTBYPEER_SHARE), 1);
    EXPECT_EQ(recorder.count(NETWORK_FAIL), 0);
}

TEST_F(ControlChannelTest, RaisesEveryEventTheUnitCanCause)
{
    TestPeer peer("127.0.0.31");
    connectTo(peer, "127.0.0.31");
    recorder.stopResult = 2; // the main window refuses the unit's stop

    const Bytes reason{ 0x01, 0x02, 0x03, 0x04 };
    const Bytes block = encodeItems(connectParams(800, 600));
    peer.send(concat({ unitResponse(0, 1, block), unitResponse(1, 1, reason), unitResponse(0, 2),
            unitResponse(1, 2, reason), unitMessage(MsgType::MSG_SHARE), unitResponse(0, 3),
            unitResponse(1, 3, reason), unitMessage(MsgType::MSG_STOP), unitResponse(0, 5),
            unitResponse(1, 5, reason), unitMessage(MsgType::MSG_PARAMS, block),
            unitMessage(MsgType::MSG_NEXT_FRAME, block), unitMessage(MsgType::MSG_DISCONNECT) }));

    // Answers to the unit's MSG_SHARE, MSG_STOP (refused: 18 bytes) and MSG_PARAMS.
    const Bytes head{ 0x41, 0x43, 0x01, 0x07, 0x32, 0x31, 0x42, 0x41, 0x00, 0x01 };
    EXPECT_EQ(peer.read(14 + 18 + 14),
            concat({ head, { 0x00, 0x02, 0x00, 0x02 }, head,
                    { 0x00, 0x06, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00 }, head,
                    { 0x00, 0x02, 0x00, 0x05 } }));
    // The unit's MSG_DISCONNECT closes the channel, without a NETWORK_FAIL.
    EXPECT_TRUE(peer.seesEndOfStream());
    EXPECT_TRUE(waitFor([] { return channelSocket() == -1; }));
    EXPECT_EQ(recorder.snapshot(),
            (std::vector<int>{ CONNECT_ACCEPT, CONNECT_REJECT, SHARE_ACCEPT, SHARE_REJECT,
                    REQUESTBYPEER_SHARE, STOP_ACCEPT, STOP_REJECT, REQUESTBYPEER_STOP,
                    PARAMS_ACCEPT, PARAMS_REJECT, REQUESTBYPEER_PARAMS, REQUESTBYPEER_NEXT_FRAME,
                    PEER_DISCONNECT }));
    EXPECT_EQ(recorder.data[1], reason);
    EXPECT_TRUE(channelThreadRunning());
}

TEST_F(ControlChannelTest, PeerClosingRaisesNetworkFailOnceAndTheNextConnectionStartsClean)
{
    TestPeer peer("127.0.0.32");
    connectTo(peer, "127.0.0.32");
    // Leave half a message behind, then go away.
    const Bytes share = unitMessage(MsgType::MSG_SHARE);
    peer.send(Bytes(share.begin(), share.begin() + 6));
    peer.dropConnection();

    ASSERT_TRUE(waitFor([] { return !channelThreadRunning(); }));
    EXPECT_EQ(recorder.snapshot(), std::vector<int>{ NETWORK_FAIL });
    EXPECT_EQ(channelSocket(), -1);

    // The thread starts again; the half message of the old connection is not mixed in.
    ASSERT_EQ(startChannel(), 0);
    connectTo(peer, "127.0.0.32");
    peer.send(share);
    EXPECT_EQ(peer.read(14).size(), 14u);
    EXPECT_EQ(recorder.snapshot(), (std::vector<int>{ NETWORK_FAIL, REQUESTBYPEER_SHARE }));
}

TEST_F(ControlChannelTest, RefusedConnectionReturnsMinusTwo)
{
    const std::size_t before = openDescriptors();
    EXPECT_EQ(connectChannel("127.0.0.33", ControlPort, connectParams(1024, 768), Session, 3),
            CONNECT_TIMED_OUT);
    EXPECT_EQ(channelSocket(), -1);
    EXPECT_EQ(openDescriptors(), before); // the failed attempt's socket is closed
    EXPECT_EQ(sendShare(Session), -1);
}

TEST_F(ControlChannelTest, ConnectTimeOutIsHonoured)
{
    // A listener whose accept queue is full lets new handshakes hang: the connect neither
    // succeeds nor is refused until the time-out.
    TestPeer peer("127.0.0.34", 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const auto addr = loopback("127.0.0.34", ControlPort);
        ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    const auto start = Clock::now();
    const int result =
            connectChannel("127.0.0.34", ControlPort, connectParams(1024, 768), Session, 1);
    const auto elapsed = Clock::now() - start;
    for (int fd : fillers)
        ::close(fd);
    EXPECT_EQ(result, CONNECT_TIMED_OUT);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 10s); // the given second, not the 30-second default
}

TEST_F(ControlChannelTest, ClientMessagesOnTheWireAndItsOwnDisconnect)
{
    TestPeer peer("127.0.0.35");
    const std::size_t before = openDescriptors();
    connectTo(peer, "127.0.0.35");

    // Messages the client starts take the tag of the text they are given.
    const char *other = "WXYZ";
    const auto header = [](std::uint8_t type, const char *text) {
        return encodeMessage(makeHeader(static_cast<MsgType>(type), sessionTagFromText(text)));
    };
    EXPECT_EQ(sendShare(Session), 12);
    EXPECT_EQ(peer.read(12),
            (Bytes{ 0x41, 0x43, 0x01, 0x02, 0x32, 0x31, 0x42, 0x41, 0x00, 0x01, 0x00, 0x00 }));
    EXPECT_EQ(sendStop(other), 12);
    EXPECT_EQ(peer.read(12), header(3, other));
    EXPECT_EQ(sendFrameSent(Session), 12);
    EXPECT_EQ(peer.read(12), header(8, Session));
    // Automatic responses keep the tag saved at connect.
    peer.send(unitMessage(MsgType::MSG_STOP));
    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 3, 0));

    const int fd = channelSocket();
    EXPECT_EQ(sendDisconnect(Session), 12);
    EXPECT_EQ(peer.read(12), header(4, Session));
    EXPECT_TRUE(peer.seesEndOfStream());
    EXPECT_EQ(channelSocket(), -1);
    EXPECT_EQ(sendShare(Session), -1);
    closeChannel(fd); // already closed: nothing happens
    peer.dropConnection();
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == before; }));
    EXPECT_TRUE(channelThreadRunning());
    EXPECT_EQ(recorder.count(NETWORK_FAIL), 0);
}

TEST_F(ControlChannelTest, HostIsReadInDecimalAndAnUnresolvableOneReturnsItsCode)
{
    TestPeer peer("127.0.0.36");
    // Read as octal, "036" would be 30: a different address.
    ASSERT_EQ(connectChannel("127.000.000.036", ControlPort, connectParams(1024, 768), Session, 3),
            34);
    EXPECT_TRUE(peer.accept(2s));

    for (const char *host : { "256.0.0.1", "127.1", "0x7f.0.0.1", "", "1.2.3.4.5" }) {
        ::testing::internal::CaptureStderr();
        const int result = connectChannel(host, ControlPort, connectParams(1024, 768), Session, 3);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, CONNECT_HOST_UNRESOLVED) << host;
        EXPECT_NE(err.find("error: gethostbyname"), std::string::npos) << err;
    }
    EXPECT_EQ(connectChannel(nullptr, ControlPort, connectParams(1024, 768), Session, 3),
            CONNECT_HOST_UNRESOLVED);
    // The process lives on, and the connection made before is still the channel's.
    EXPECT_GE(channelSocket(), 0);
}

TEST_F(ControlChannelTest, ClosingTwiceAndStoppingAreClean)
{
    TestPeer peer("127.0.0.37");
    connectTo(peer, "127.0.0.37");
    const int fd = channelSocket();
    closeChannel(fd);
    closeChannel(fd);
    EXPECT_TRUE(peer.seesEndOfStream());
    EXPECT_EQ(channelSocket(), -1);

    // A new connection replaces the old; stopping joins the thread and closes it.
    connectTo(peer, "127.0.0.37");
    EXPECT_TRUE(channelThreadRunning());
    stopChannel();
    EXPECT_FALSE(channelThreadRunning());
    EXPECT_TRUE(peer.seesEndOfStream());
    stopChannel();
    EXPECT_EQ(recorder.count(NETWORK_FAIL), 0);

    // And the channel starts again.
    ASSERT_EQ(startChannel(), 0);
    connectTo(peer, "127.0.0.37");
    peer.send(unitMessage(MsgType::MSG_SHARE));
    EXPECT_EQ(peer.read(14).size(), 14u);
}

TEST_F(ControlChannelTest, ANewConnectionClosesTheOneBefore)
{
    TestPeer peer("127.0.0.38");
    const std::size_t before = openDescriptors();
    connectTo(peer, "127.0.0.38");
    ASSERT_EQ(connectChannel("127.0.0.38", ControlPort, connectParams(1024, 768), Session, 3), 34);
    EXPECT_TRUE(peer.seesEndOfStream()); // the earlier connection, closed by the client
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.read(34).size(), 34u);
    peer.send(unitMessage(MsgType::MSG_SHARE));
    EXPECT_EQ(peer.read(14).size(), 14u);
    // One descriptor on each side: nothing of the first connection is left open.
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == before + 2; }));
}
