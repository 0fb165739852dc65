// The client against a unit that sends what no unit should: bytes that are no messages, the
// longest length field, messages cut off by the end of the connection. Whatever comes, the
// client neither crashes nor hangs: what it reads as messages it dispatches or ignores as its
// dispatch table says, and the end of the connection is one NETWORK_FAIL. Each test has its own
// address (127.0.0.150 to 127.0.0.155).

#include "channel_peer.h"

#include <atomic>
#include <random>

using namespace controltest;

namespace {

// A header whose length field says `length`, whatever follows it.
Bytes rawHeader(
        std::uint8_t type, std::uint16_t length, std::array<std::uint8_t, 2> magic = { 'A', 'C' })
{
    Header header = makeHeader(static_cast<MsgType>(type), UnitTag);
    header.magic = magic;
    header.length = length;
    const auto bytes = encodeHeader(header);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes filler(std::size_t size, std::uint8_t value = 0x5A)
{
    return Bytes(size, value);
}

// The client's automatic responses, one after the other, each a whole MSG_RESPONSE with the
// tag of the connection: 14 bytes when accepting, 18 when refusing.
void expectWholeResponses(const Bytes &bytes)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto header = decodeHeader(std::span(bytes).subspan(pos));
        ASSERT_TRUE(header) << "cut response at " << pos;
        EXPECT_EQ(header->type, 7);
        EXPECT_EQ(header->tag, Tag);
        ASSERT_TRUE(header->length == 2 || header->length == 6) << header->length;
        ASSERT_LE(pos + HeaderSize + header->length, bytes.size());
        const std::uint8_t answers = bytes[pos + 13];
        EXPECT_TRUE(answers == 2 || answers == 3 || answers == 5) << int(answers);
        pos += HeaderSize + header->length;
    }
}

bool knownEvent(int event)
{
    return event >= CONNECT_ACCEPT && event <= NETWORK_FAIL && event != 11 && event != 12;
}

} // namespace

TEST_F(ControlChannelTest, MessagesOfNoKnownTypeAreConsumedAndTheStreamStaysInStep)
{
    TestPeer peer("127.0.0.150");
    connectTo(peer, "127.0.0.150");

    // Types outside the dispatch table, with and without payload; responses too short to say
    // what they answer, or answering what was never asked.
    Bytes junk;
    const std::pair<std::uint8_t, std::uint16_t> unknown[] = { { 0, 0 }, { 1, 22 }, { 8, 3 },
        { 9, 200 }, { 0x7F, 1000 }, { 0xFF, 4096 } };
    for (const auto &[type, length] : unknown)
        junk = concat({ junk, rawHeader(type, length), filler(length, type) });
    junk = concat({ junk, rawHeader(7, 0), rawHeader(7, 1), filler(1), unitResponse(0, 9),
            unitResponse(1, 0, { 1, 2, 3, 4 }) });
    peer.send(junk);
    // The client does not check the magic bytes: a message is read by its length alone.
    peer.send(concat({ rawHeader(2, 0, { 'X', 'Y' }) }));

    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 2, 0));
    EXPECT_EQ(recorder.snapshot(), std::vector<int>{ REQUESTBYPEER_SHARE });
    EXPECT_TRUE(peer.readWhatCame().empty());
    EXPECT_TRUE(channelThreadRunning());
}

TEST_F(ControlChannelTest, LongestMessageIsDispatchedOnceItIsWhole)
{
    TestPeer peer("127.0.0.151");
    connectTo(peer, "127.0.0.151");
    const int fd = channelSocket();

    // MSG_PARAMS of 65535 payload bytes: the item block, then bytes the reader never reaches.
    const Bytes block = encodeItems(connectParams(640, 480));
    const Bytes longest = concat({ rawHeader(5, 0xFFFF), block, filler(0xFFFF - block.size()) });
    ASSERT_EQ(longest.size(), 12u + 65535u);
    peer.send(longest);
    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 5, 0));
    ASSERT_EQ(recorder.snapshot(), std::vector<int>{ REQUESTBYPEER_PARAMS });
    EXPECT_EQ(recorder.data.back(), encodeItems(decodeItems(block)));

    // The same length with its last byte late: nothing until that byte.
    const Bytes next = concat({ rawHeader(6, 0xFFFF), block, filler(0xFFFF - block.size()) });
    peer.send(Bytes(next.begin(), next.end() - 1));
    ASSERT_TRUE(peer.deliveredTo(fd));
    EXPECT_EQ(recorder.count(REQUESTBYPEER_NEXT_FRAME), 0);
    peer.send(Bytes(next.end() - 1, next.end()));
    EXPECT_TRUE(waitFor([] { return recorder.count(REQUESTBYPEER_NEXT_FRAME) == 1; }));

    // And the stream is in step after them.
    peer.send(unitMessage(MsgType::MSG_SHARE));
    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 2, 0));
    EXPECT_EQ(recorder.count(NETWORK_FAIL), 0);
}

TEST_F(ControlChannelTest, MessageCutOffByTheEndOfTheConnectionIsOneNetworkFail)
{
    TestPeer peer("127.0.0.152");
    const Bytes share = unitMessage(MsgType::MSG_SHARE);
    const Bytes longest = concat({ rawHeader(2, 0xFFFF), filler(0xFFFF) });
    struct Cut
    {
        const char *what;
        Bytes sent;
        bool reset; // the unit resets the connection instead of closing it
    };
    const Cut cuts[] = {
        { "inside the header", Bytes(share.begin(), share.begin() + 7), false },
        { "a header of length 65535 alone", rawHeader(2, 0xFFFF), false },
        { "30000 of 65535 payload bytes", Bytes(longest.begin(), longest.begin() + 12 + 30000),
                false },
        { "all but the last byte", Bytes(longest.begin(), longest.end() - 1), false },
        { "all but the last byte, then a reset", Bytes(longest.begin(), longest.end() - 1), true },
    };
    for (const Cut &cut : cuts) {
        SCOPED_TRACE(cut.what);
        {
            std::lock_guard lock(recorder.mutex);
            recorder.events.clear();
        }
        ASSERT_EQ(startChannel(), 0); // the thread ended with the last connection
        connectTo(peer, "127.0.0.152");
        const int fd = channelSocket();
        peer.send(cut.sent);
        ASSERT_TRUE(peer.deliveredTo(fd));
        if (cut.reset)
            peer.resetConnection();
        else
            peer.dropConnection();

        ASSERT_TRUE(waitFor([] { return !channelThreadRunning(); }));
        EXPECT_EQ(recorder.snapshot(), std::vector<int>{ NETWORK_FAIL });
        EXPECT_EQ(channelSocket(), -1);
    }

    // A new connection starts clean: none of the cut bytes are mixed in.
    ASSERT_EQ(startChannel(), 0);
    connectTo(peer, "127.0.0.152");
    peer.send(share);
    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 2, 0));
}

TEST_F(ControlChannelTest, FloodOfRandomBytesNeitherCrashesNorHangs)
{
    TestPeer peer("127.0.0.153");
    connectTo(peer, "127.0.0.153");

    // 4 MB in pieces of every size; whatever the client answers is read as it comes.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> pieceSize(1, 4096);
    Bytes answers;
    bool open = true;
    for (std::size_t sent = 0; open && sent < (4u << 20);) {
        Bytes piece(pieceSize(random));
        for (auto &b : piece)
            b = static_cast<std::uint8_t>(byte(random));
        open = peer.trySend(piece);
        sent += piece.size();
        const Bytes came = peer.readWhatCame(0ms);
        answers.insert(answers.end(), came.begin(), came.end());
    }
    const Bytes rest = peer.readWhatCame();
    answers.insert(answers.end(), rest.begin(), rest.end());
    peer.dropConnection();

    // The connection ends either way: the client leaves on a MSG_DISCONNECT it read in the
    // bytes, or it sees the unit close.
    ASSERT_TRUE(waitFor(
            [] { return recorder.count(PEER_DISCONNECT) + recorder.count(NETWORK_FAIL) == 1; }));
    EXPECT_TRUE(waitFor([] { return channelSocket() == -1; }));
    const std::vector<int> events = recorder.snapshot();
    EXPECT_TRUE(std::all_of(events.begin(), events.end(), knownEvent));
    EXPECT_EQ(recorder.count(PEER_DISCONNECT) + recorder.count(NETWORK_FAIL), 1);
    expectWholeResponses(answers);

    // The channel is usable again afterwards.
    ASSERT_EQ(startChannel(), 0);
    connectTo(peer, "127.0.0.153");
    peer.send(unitMessage(MsgType::MSG_SHARE));
    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 2, 0));
}

TEST_F(ControlChannelTest, StoppingWithAMessageHalfInIsPromptAndClean)
{
    TestPeer peer("127.0.0.154");
    connectTo(peer, "127.0.0.154");
    peer.send(concat({ rawHeader(5, 0xFFFF), filler(100) }));
    ASSERT_TRUE(peer.deliveredTo(channelSocket()));

    const auto start = Clock::now();
    stopChannel();
    EXPECT_LT(Clock::now() - start, 2s); // not the receive thread's 5-second wait
    EXPECT_FALSE(channelThreadRunning());
    EXPECT_TRUE(peer.seesEndOfStream());
    EXPECT_TRUE(recorder.snapshot().empty());
}

TEST_F(ControlChannelTest, AUnitThatStopsReadingEndsTheConnectionInsteadOfHoldingTheSender)
{
    // A small receive window on the unit's side fills after a few thousand messages.
    TestPeer peer("127.0.0.155");
    const int small = 4096;
    ::setsockopt(peer.listenFd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    connectTo(peer, "127.0.0.155");

    // The unit keeps asking for frames and reads nothing more: the receive thread's answers
    // and the window's MSG_FRAME_SENT both meet a full socket.
    const Bytes share = unitMessage(MsgType::MSG_SHARE);
    std::atomic<bool> pulling{ true };
    std::thread puller([&] {
        while (pulling) {
            if (::send(peer.connectionFd(), share.data(), share.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                    < 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    const auto start = Clock::now();
    int lastSent = 0;
    for (int i = 0; i < 1000000 && (lastSent = sendFrameSent(Session)) > 0; ++i) { }
    const auto held = Clock::now() - start;
    pulling = false;
    puller.join();
    peer.dropConnection();

    EXPECT_EQ(lastSent, -1);
    EXPECT_LT(held, 30s) << "the sender was held, not released by the send time-out";
    EXPECT_TRUE(waitFor([] { return recorder.count(NETWORK_FAIL) == 1; }));
    EXPECT_EQ(channelSocket(), -1);
    // Every later send fails at once rather than waiting again.
    const auto again = Clock::now();
    EXPECT_EQ(sendFrameSent(Session), -1);
    EXPECT_EQ(sendDisconnect(Session), -1);
    EXPECT_LT(Clock::now() - again, 100ms);
    EXPECT_EQ(recorder.count(NETWORK_FAIL), 1);

    // The next connection works.
    ASSERT_EQ(startChannel(), 0);
    connectTo(peer, "127.0.0.155");
    peer.send(unitMessage(MsgType::MSG_SHARE));
    EXPECT_EQ(peer.read(14), encodeClientResponse(Tag, 2, 0));
}
