// The client against a real TCP peer on loopback: what goes on the wire, what the receive
// thread raises, and how connections end. Each test that runs a peer has its own address.

#include "channel_peer.h"

using namespace controltest;

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

TEST_F(ControlChannelTest, HostIsReadInDecimalAndTextThatIsNoAddressIsNeverLookedUp)
{
    TestPeer peer("127.0.0.36");
    // Read as octal, "036" would be 30: a different address.
    ASSERT_EQ(connectChannel("127.000.000.036", ControlPort, connectParams(1024, 768), Session, 3),
            34);
    EXPECT_TRUE(peer.accept(2s));

    // A name, even one the hosts file knows, or an octet with a sign or other digits goes to
    // no resolver: looked up, "localhost" would be refused on 127.0.0.1 (CONNECT_TIMED_OUT).
    for (const char *host : { "256.0.0.1", "127.1", "0x7f.0.0.1", "", "1.2.3.4.5", "localhost",
                 "127.0.0.+36", "127.0.0.\u0663\u0666", " 127.0.0.36" }) {
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
