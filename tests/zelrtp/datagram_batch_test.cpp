// A frame's datagrams handed to the kernel together, read back from a real UDP socket on
// loopback: whatever way the batch takes (segmentation offload or sendmmsg), the receiver
// must see exactly the datagrams given, one by one, in order.

#include "datagram_batch.h"
#include "udp_sink.h"

#include <arpa/inet.h>
#include <cstdint>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using zelrtp::DatagramBatch;
using zelrtptest::UdpSink;

using Bytes = std::vector<std::uint8_t>;

Bytes datagram(std::size_t size, int serial)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t(serial * 31 + i);
    return bytes;
}

class Batch : public testing::TestWithParam<bool> // segmentation offload tried or not
{
protected:
    void SetUp() override
    {
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_socket, 0);
        to.sin_family = AF_INET;
        to.sin_port = htons(sink.port());
        inet_pton(AF_INET, sink.address().c_str(), &to.sin_addr);
    }
    void TearDown() override { close(m_socket); }

    // Holds the datagrams, releases them and checks they arrived as given.
    DatagramBatch::Released sendHeld(DatagramBatch &batch, const std::vector<Bytes> &datagrams)
    {
        batch.hold();
        for (const Bytes &d : datagrams)
            EXPECT_EQ(batch.send(d, address(), sizeof to), int(d.size()));
        return batch.release();
    }
    void expectArrived(const std::vector<Bytes> &datagrams)
    {
        const std::vector<zelrtptest::Datagram> arrived = sink.drain();
        ASSERT_EQ(arrived.size(), datagrams.size());
        for (std::size_t i = 0; i < datagrams.size(); ++i)
            EXPECT_EQ(arrived[i].bytes, datagrams[i]) << "datagram " << i;
    }
    const sockaddr *address() const { return reinterpret_cast<const sockaddr *>(&to); }

    UdpSink sink{ "127.0.0.24", 0 };
    sockaddr_in to{};
    int m_socket = -1;
};

TEST_P(Batch, HeldDatagramsArriveOneByOneAsTheyWereGiven)
{
    DatagramBatch batch(m_socket, GetParam());
    // A frame's turn: equal packets and a shorter last one.
    std::vector<Bytes> frame;
    for (int i = 0; i < 20; ++i)
        frame.push_back(datagram(1412, i));
    frame.push_back(datagram(700, 20));
    const DatagramBatch::Released released = sendHeld(batch, frame);
    EXPECT_EQ(released.taken, 21);
    EXPECT_EQ(released.last, 700);
    expectArrived(frame);
    // Loopback takes segmented sends: the batch keeps using them.
    EXPECT_EQ(batch.usesSegmentOffload(), GetParam());

    // Sizes the kernel cannot cut one buffer into (a longer datagram after shorter ones), and
    // more than one hold keeps at a time.
    std::vector<Bytes> mixed;
    for (int i = 0; i < int(DatagramBatch::MaxDatagrams) * 2 + 5; ++i)
        mixed.push_back(datagram(i == 7 ? 1500 : 1000 + i % 3, i));
    EXPECT_EQ(sendHeld(batch, mixed).taken, int(mixed.size()));
    expectArrived(mixed);
}

TEST_P(Batch, OutsideAHoldADatagramLeavesAtOnce)
{
    DatagramBatch batch(m_socket, GetParam());
    const Bytes one = datagram(1412, 1);
    EXPECT_EQ(batch.send(one, address(), sizeof to), 1412);
    expectArrived({ one });
    // Larger than a hold keeps: it goes at once, after what was kept before it.
    const std::vector<Bytes> held = { datagram(100, 2),
        datagram(DatagramBatch::MaxDatagramBytes + 1, 3), datagram(100, 4) };
    const DatagramBatch::Released released = sendHeld(batch, held);
    EXPECT_EQ(released.taken, 3);
    EXPECT_EQ(released.last, 100);
    expectArrived(held);
}

// Datagrams the system refuses (here: to the broadcast address from a socket not allowed to
// broadcast) are reported refused, none taken, whichever way they were sent.
TEST_P(Batch, DatagramsTheSystemRefusesAreReportedRefused)
{
    DatagramBatch batch(m_socket, GetParam());
    sockaddr_in broadcast = to;
    broadcast.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    batch.hold();
    for (int i = 0; i < 5; ++i)
        batch.send(datagram(1412, i), reinterpret_cast<const sockaddr *>(&broadcast),
                sizeof broadcast);
    const DatagramBatch::Released released = batch.release();
    EXPECT_EQ(released.taken, 0);
    EXPECT_EQ(released.last, -1);
    // The socket is as good as before for its destination.
    const std::vector<Bytes> frame = { datagram(1412, 1), datagram(1412, 2) };
    EXPECT_EQ(sendHeld(batch, frame).taken, 2);
    expectArrived(frame);
}

// A path that cannot take segmented sends (here: a socket without UDP checksums, which the
// kernel does not segment): the batch finds out at its first burst, loses nothing of it, and
// sends each datagram on its own from then on.
TEST_P(Batch, WhereSegmentingIsRefusedEveryDatagramStillArrives)
{
    const int noChecksums = 1;
    ASSERT_EQ(setsockopt(m_socket, SOL_SOCKET, SO_NO_CHECK, &noChecksums, sizeof noChecksums), 0);
    DatagramBatch batch(m_socket, GetParam());
    for (int burst = 0; burst < 2; ++burst) {
        std::vector<Bytes> frame;
        for (int i = 0; i < 10; ++i)
            frame.push_back(datagram(1412, burst * 10 + i));
        EXPECT_EQ(sendHeld(batch, frame).taken, 10);
        expectArrived(frame);
        EXPECT_FALSE(batch.usesSegmentOffload());
    }
}

INSTANTIATE_TEST_SUITE_P(SegmentedOrEach, Batch, testing::Bool(),
        [](const auto &info) { return info.param ? "Segmented" : "Each"; });

} // namespace
