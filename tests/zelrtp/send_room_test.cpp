// The wait for room before each packet, on a local datagram socket pair: unlike UDP on
// loopback, its sender runs out of room as soon as the peer stops reading, as a UDP socket does
// behind a slow link.

#include "send_room.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zelrtp::Room;

class FullSocket : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, m_fds), 0);
        // Fill the peer's queue until the kernel refuses the next datagram.
        const char packet[1412] = {};
        while (send(m_fds[0], packet, sizeof packet, 0) > 0)
            ++m_queued;
        ASSERT_GT(m_queued, 0);
    }
    void TearDown() override
    {
        close(m_fds[0]);
        close(m_fds[1]);
    }
    int sender() const { return m_fds[0]; }
    void readOne() const
    {
        char packet[1412];
        ASSERT_GT(recv(m_fds[1], packet, sizeof packet, 0), 0);
    }

    int m_fds[2] = { -1, -1 };
    int m_queued = 0;
};

TEST_F(FullSocket, WaitsUntilTheLinkTakesTheNextPacket)
{
    const auto start = Clock::now();
    std::thread reader([this] {
        std::this_thread::sleep_for(150ms);
        for (int i = 0; i < m_queued; ++i)
            readOne();
    });
    EXPECT_EQ(zelrtp::waitForRoom(sender(), nullptr, 1412), Room::Ready);
    reader.join();
    EXPECT_GE(Clock::now() - start, 140ms) << "no packet is handed over before there is room";
}

TEST_F(FullSocket, AFullSocketForTheWholeLimitIsAStall)
{
    const auto start = Clock::now();
    EXPECT_EQ(zelrtp::waitForRoom(sender(), nullptr, 1412, 200ms), Room::Stalled);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 1500ms);
}

TEST_F(FullSocket, CancellingFromAnotherThreadEndsTheWaitAtOnce)
{
    zelrtp::SendGate gate;
    auto wait = std::async(
            std::launch::async, [&] { return zelrtp::waitForRoom(sender(), &gate, 1412, 10s); });
    EXPECT_EQ(wait.wait_for(100ms), std::future_status::timeout);
    const auto cancelled = Clock::now();
    gate.setCancelled(true);
    ASSERT_EQ(wait.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(wait.get(), Room::Cancelled);
    EXPECT_LT(Clock::now() - cancelled, 500ms);

    // Stays cancelled, even with room, until taken back.
    for (int i = 0; i < m_queued; ++i)
        readOne();
    EXPECT_EQ(zelrtp::waitForRoom(sender(), &gate, 1412), Room::Cancelled);
    gate.setCancelled(false);
    EXPECT_EQ(zelrtp::waitForRoom(sender(), &gate, 1412, 1s), Room::Ready);
}

// A frame asks for the queue's size only now and then; every packet it was told fits must be
// taken, however the reader drains the queue meanwhile (a refused packet would be lost). Sends
// 3000 packets, each turn's packets as `turn` lets go; how many the kernel refused.
int refusedWhileTheReaderLags(
        const std::function<int(zelrtp::SendQueue &queue, zelrtp::SendGate &gate)> &turn)
{
    int fds[2] = { -1, -1 };
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds), 0);
    EXPECT_TRUE(zelrtp::limitSendBuffer(fds[0]));
    std::atomic<bool> sent{ false };
    std::thread reader([&] {
        char packet[1412];
        for (int read = 0;;) {
            // Slower than the sender in bursts, so the queue fills and drains again and again.
            if (++read % 64 == 0)
                std::this_thread::sleep_for(2ms);
            if (recv(fds[1], packet, sizeof packet, MSG_DONTWAIT) <= 0) {
                if (sent)
                    return;
                std::this_thread::sleep_for(50us);
            }
        }
    });
    zelrtp::SendQueue queue(fds[0]);
    zelrtp::SendGate gate;
    const char packet[1412] = {};
    int refused = 0;
    for (int i = 0; i < 3000;) {
        const int packets = turn(queue, gate);
        EXPECT_GT(packets, 0);
        for (int p = 0; p < packets; ++p, ++i)
            refused += send(fds[0], packet, sizeof packet, MSG_DONTWAIT) < 0;
    }
    sent = true;
    reader.join();
    close(fds[0]);
    close(fds[1]);
    return refused;
}

TEST(SendQueue, EveryPacketItLetsGoIsTaken)
{
    EXPECT_EQ(refusedWhileTheReaderLags([](zelrtp::SendQueue &queue, zelrtp::SendGate &) {
        return queue.waitForRoom(nullptr, 1412, 5s) == Room::Ready ? 1 : 0;
    }),
            0);
    // A turn lets several go at once, within the pacer's burst as well as the room.
    int most = 0;
    EXPECT_EQ(refusedWhileTheReaderLags([&](zelrtp::SendQueue &queue, zelrtp::SendGate &gate) {
        const zelrtp::SendQueue::Turn turn = queue.waitForTurn(&gate, 1412, 32, 5s);
        EXPECT_EQ(turn.room, Room::Ready);
        most = std::max(most, turn.packets);
        return turn.packets;
    }),
            0);
    EXPECT_GT(most, 1);
    // The bucket refills a little while the turn is counted.
    EXPECT_LE(most, int(zelrtp::BurstBytes / 1412) + 1);
}

// The leaky bucket: a burst at once, then the pacing rate, and a pause fills it again.
TEST(Pacer, ABurstAtOnceThenThePacingRate)
{
    zelrtp::Pacer pacer;
    const Clock::time_point start = Clock::now();
    // The first use finds the bucket full (its last refill lies in the distant past).
    double sent = 0;
    while (pacer.delayFor(1412, start) == 0ns)
        sent += 1412;
    EXPECT_LE(sent, zelrtp::BurstBytes);
    EXPECT_GT(sent, zelrtp::BurstBytes - 1412);

    // Beyond the burst the sender sleeps until a chunk may go at the pacing rate, then hands
    // the whole chunk over.
    const auto wait = pacer.delayFor(1412, start);
    const double chunkNs = 1e9 * zelrtp::PacingChunkBytes / zelrtp::PacingBytesPerSecond;
    EXPECT_GT(double(wait.count()), chunkNs * 0.9);
    EXPECT_LE(double(wait.count()), chunkNs * 1.01);
    int chunk = 0;
    while (pacer.delayFor(1412, start + wait) == 0ns)
        ++chunk;
    EXPECT_EQ(chunk, int(zelrtp::PacingChunkBytes / 1412));

    // A second of pause: a whole burst again, no more.
    const Clock::time_point later = start + 1s;
    sent = 0;
    while (pacer.delayFor(1412, later) == 0ns)
        sent += 1412;
    EXPECT_LE(sent, zelrtp::BurstBytes);
    EXPECT_GT(sent, zelrtp::BurstBytes - 1412);
}

// A frame's turns are whole chunks: the few packets' worth that refill while a turn is being
// sent make no turn of their own (each would cost a send and a wake-up), and the last packets
// of a frame wait only for themselves.
TEST(SendQueue, TurnsAreWholeChunksAndAFramesLastPacketsWaitOnlyForThemselves)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds), 0);
    ASSERT_TRUE(zelrtp::limitSendBuffer(fds[0]));
    zelrtp::SendQueue queue(fds[0]);
    zelrtp::SendGate gate;
    EXPECT_EQ(queue.waitForTurn(&gate, 1412, 32).packets, int(zelrtp::BurstBytes / 1412));
    // The time a turn takes to send: a few packets' worth of the pacing rate.
    std::this_thread::sleep_for(150us);
    EXPECT_GE(queue.waitForTurn(&gate, 1412, 32).packets, int(zelrtp::PacingChunkBytes / 1412));
    std::this_thread::sleep_for(150us);
    EXPECT_EQ(queue.waitForTurn(&gate, 1412, 2).packets, 2);
    close(fds[0]);
    close(fds[1]);
}

} // namespace
