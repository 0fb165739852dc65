// The emulator's control server on literal bytes. Every message is written out by hand with
// its fields, so a mistake shared by the emulator and the codec it reuses cannot hide.

#include "raw_peer.h"
#include "unit_sim.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using rawpeer::Bytes;
using rawpeer::bytes;
using rawpeer::hex;
using rawpeer::TcpClient;

namespace {

const std::string Address = "127.0.0.41";

// Session "Ab12": the tag is its four bytes last one first: '2' '1' 'b' 'A'.
#define TAG 0x32, 0x31, 0x62, 0x41

// The client's MSG_CONNECT for a 1024 x 576 picture.
const Bytes ClientConnect = bytes({
        'A', 'C', 1, 1, TAG, 0x00, 0x01, 0x00, 0x16, // header, length 22
        5, // count 5 although six items follow
        1, 1, 0x1A, // item 1: the byte 26
        2, 2, 0x1F, 0x40, // item 2: 8000
        3, 1, 5, // item 3
        4, 2, 0x04, 0x00, // width 1024
        5, 2, 0x02, 0x40, // height 576
        8, 1, 1, // item 8
});
const Bytes ClientShare = bytes({ 'A', 'C', 1, 2, TAG, 0x00, 0x01, 0x00, 0x00 });
const Bytes ClientStop = bytes({ 'A', 'C', 1, 3, TAG, 0x00, 0x01, 0x00, 0x00 });
const Bytes ClientDisconnect = bytes({ 'A', 'C', 1, 4, TAG, 0x00, 0x01, 0x00, 0x00 });
const Bytes ClientFrameSent = bytes({ 'A', 'C', 1, 8, TAG, 0x00, 0x01, 0x00, 0x00 });
const Bytes ClientAcceptsShare = bytes({ 'A', 'C', 1, 7, TAG, 0x00, 0x01, 0x00, 0x02, 0, 2 });

// The unit's accepting answer to that MSG_CONNECT: the size echoed, JPEG (26) as item 1.
const Bytes ConnectAccepted = bytes({
        'A', 'C', 1, 7, TAG, 0x00, 0x01, 0x00, 0x0E, // response, length 14
        0, 1, // accepted, answers MSG_CONNECT
        3, // count
        1, 1, 0x1A, // item 1
        4, 2, 0x04, 0x00, // width
        5, 2, 0x02, 0x40, // height
});
const Bytes ShareAccepted = bytes({ 'A', 'C', 1, 7, TAG, 0x00, 0x01, 0x00, 0x02, 0, 2 });
const Bytes StopAccepted = bytes({ 'A', 'C', 1, 7, TAG, 0x00, 0x01, 0x00, 0x02, 0, 3 });
const Bytes UnitShare = bytes({ 'A', 'C', 1, 2, TAG, 0x00, 0x01, 0x00, 0x00 });
const Bytes UnitStop = bytes({ 'A', 'C', 1, 3, TAG, 0x00, 0x01, 0x00, 0x00 });
const Bytes UnitDisconnect = bytes({ 'A', 'C', 1, 4, TAG, 0x00, 0x01, 0x00, 0x00 });

// The unit's pull number n travels as item 2.
Bytes nextFrame(int n)
{
    return bytes({ 'A', 'C', 1, 6, TAG, 0x00, 0x01, 0x00, 0x05, 1, 2, 2, n >> 8, n & 0xFF });
}

Bytes refusal(int answers, Bytes reason)
{
    Bytes out = bytes({ 'A', 'C', 1, 7, TAG, 0x00, 0x01, 0x00, 0x06, 1, answers });
    out.insert(out.end(), reason.begin(), reason.end());
    return out;
}

class ControlWire : public ::testing::Test
{
protected:
    void startUnit(unitsim::Options options = {})
    {
        options.address = Address;
        options.rtpListen = false;
        unit = std::make_unique<unitsim::UnitSim>(options);
        std::optional<std::string> error = unit->start();
        ASSERT_FALSE(error) << *error;
    }

    std::unique_ptr<TcpClient> connect()
    {
        auto client = std::make_unique<TcpClient>(Address, 50000);
        EXPECT_TRUE(client->connected());
        EXPECT_TRUE(
                unit->waitFor([](const unitsim::UnitSim &u) { return u.controlConnected(); }, 3s));
        return client;
    }

    // Connected, MSG_CONNECT and MSG_SHARE accepted, the unit's MSG_SHARE answered.
    std::unique_ptr<TcpClient> share()
    {
        auto client = connect();
        client->send(ClientConnect);
        EXPECT_EQ(hex(client->receive(ConnectAccepted.size())), hex(ConnectAccepted));
        client->send(ClientShare);
        EXPECT_EQ(hex(client->receive(ShareAccepted.size())), hex(ShareAccepted));
        EXPECT_EQ(hex(client->receive(UnitShare.size())), hex(UnitShare));
        client->send(ClientAcceptsShare);
        return client;
    }

    // The unit handles one connection's messages in order and an action waits for that, so
    // the action's bytes arriving first proves nothing was sent before them.
    void expectNothingBefore(TcpClient &client, std::size_t messagesFromClient)
    {
        ASSERT_TRUE(unit->waitFor(
                [&](const unitsim::UnitSim &u) {
                    return u.counters().controlFromClient >= int(messagesFromClient);
                },
                3s));
        ASSERT_TRUE(unit->sendNextFrame());
        Bytes got = client.receive(17);
        EXPECT_EQ(got.size(), 17u);
        ASSERT_GE(got.size(), 4u);
        EXPECT_EQ(got[3], 6) << "expected only the fence MSG_NEXT_FRAME, got " << hex(got);
    }

    std::unique_ptr<unitsim::UnitSim> unit;
};

TEST_F(ControlWire, ShareExchangeAndPullsOnLiteralBytes)
{
    startUnit();
    auto client = share();
    for (int n = 1; n <= 3; ++n) {
        client->send(ClientFrameSent);
        EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(n)));
    }
    client->send(ClientStop);
    EXPECT_EQ(hex(client->receive(StopAccepted.size())), hex(StopAccepted));
    ASSERT_TRUE(unit->waitFor([](const unitsim::UnitSim &u) { return !u.sharing(); }, 3s));

    std::vector<unitsim::ControlMessage> seen = unit->controlMessages();
    ASSERT_GE(seen.size(), 4u);
    const unitsim::ControlMessage &connect = seen[0];
    EXPECT_EQ(connect.direction, unitsim::Direction::FromClient);
    EXPECT_EQ(connect.hex, hex(ClientConnect));
    EXPECT_EQ(connect.type, 1);
    ASSERT_TRUE(connect.items);
    EXPECT_EQ(connect.items->count, 5);
    EXPECT_EQ(connect.items->item4, 1024);
    EXPECT_EQ(connect.items->item5, 576);
    EXPECT_EQ(connect.items->item8, 0) << "count 5 stops the reader before item 8";
    EXPECT_TRUE(connect.problems.empty());
    const unitsim::ControlMessage &answer = seen[1];
    EXPECT_EQ(answer.direction, unitsim::Direction::ToClient);
    EXPECT_EQ(answer.result, 0);
    EXPECT_EQ(answer.answers, 1);
    for (const auto &m : seen) {
        if (m.direction == unitsim::Direction::FromClient) {
            EXPECT_TRUE(m.problems.empty()) << m.hex;
        }
    }

    unitsim::Counters c = unit->counters();
    EXPECT_EQ(c.shareRequestsSent, 1);
    EXPECT_EQ(c.framesSentReported, 3);
    EXPECT_EQ(c.nextFramesSent, 3);
}

TEST_F(ControlWire, MessagesSplitAtEveryByteOrJoinedAreEachHandledOnce)
{
    startUnit();
    auto client = connect();
    for (std::uint8_t b : ClientConnect)
        client->send(Bytes{ b });
    EXPECT_EQ(hex(client->receive(ConnectAccepted.size())), hex(ConnectAccepted));
    Bytes joined = ClientShare;
    joined.insert(joined.end(), ClientAcceptsShare.begin(), ClientAcceptsShare.end());
    joined.insert(joined.end(), ClientFrameSent.begin(), ClientFrameSent.end());
    client->send(joined);
    Bytes expected = ShareAccepted;
    expected.insert(expected.end(), UnitShare.begin(), UnitShare.end());
    Bytes pull = nextFrame(1);
    expected.insert(expected.end(), pull.begin(), pull.end());
    EXPECT_EQ(hex(client->receive(expected.size())), hex(expected));
}

TEST_F(ControlWire, RefusalsCarryTheReasonBytes)
{
    const struct
    {
        const char *name;
        std::function<void(unitsim::Options &)> set;
        Bytes send;
        Bytes expected;
    } rows[] = {
        { "connect", [](unitsim::Options &o) { o.rejectConnect = true; }, ClientConnect,
                refusal(1, bytes({ 0, 0, 0, 1 })) },
        { "share",
                [](unitsim::Options &o) {
                    o.rejectShare = true;
                    o.rejectReason = { 0xDE, 0xAD, 0xBE, 0xEF };
                },
                ClientShare, refusal(2, bytes({ 0xDE, 0xAD, 0xBE, 0xEF })) },
        { "stop", [](unitsim::Options &o) { o.stopAnswer = unitsim::StopAnswer::Reject; },
                ClientStop, refusal(3, bytes({ 0, 0, 0, 1 })) },
        { "stop accepted", [](unitsim::Options &) {}, ClientStop, StopAccepted },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        unitsim::Options options;
        row.set(options);
        startUnit(options);
        auto client = connect();
        client->send(row.send);
        EXPECT_EQ(hex(client->receive(row.expected.size())), hex(row.expected));
        client.reset();
        unit->stop();
    }
}

TEST_F(ControlWire, FrameBudgetEndsThePulls)
{
    unitsim::Options options;
    options.frameBudget = 2;
    startUnit(options);
    auto client = share();
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(1)));
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(2)));
    client->send(ClientFrameSent);
    expectNothingBefore(*client, 6);
    EXPECT_EQ(unit->counters().framesSentReported, 3);

    // The next share has a fresh budget.
    client->send(ClientShare);
    EXPECT_EQ(hex(client->receive(ShareAccepted.size())), hex(ShareAccepted));
    EXPECT_EQ(hex(client->receive(UnitShare.size())), hex(UnitShare));
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(4)));
}

TEST_F(ControlWire, UnitEndsTheShareAfterFrames)
{
    // MSG_STOP after 2 frames; frames reported after it are not pulled.
    unitsim::Options options;
    options.stopAfterFrames = 2;
    startUnit(options);
    auto client = share();
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(1)));
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(UnitStop.size())), hex(UnitStop));
    EXPECT_FALSE(unit->sharing());
    client->send(ClientFrameSent);
    expectNothingBefore(*client, 6);
    client.reset();
    unit->stop();

    // MSG_DISCONNECT, then the unit closes.
    options = {};
    options.disconnectAfterFrames = 1;
    startUnit(options);
    client = share();
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(UnitDisconnect.size())), hex(UnitDisconnect));
    EXPECT_TRUE(client->waitClosed());
    client.reset();
    unit->stop();

    // Just closed, nothing sent.
    options = {};
    options.closeAfterFrames = 1;
    startUnit(options);
    client = share();
    client->send(ClientFrameSent);
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(client->leftover.empty()) << hex(client->leftover);
}

TEST_F(ControlWire, SilentUnitsAnswerNothing)
{
    unitsim::Options options;
    options.silentControl = true;
    startUnit(options);
    auto client = connect();
    client->send(ClientConnect);
    client->send(ClientShare);
    expectNothingBefore(*client, 2);
    client.reset();
    unit->stop();

    options = {};
    options.stopAnswer = unitsim::StopAnswer::Silent;
    options.autoShareRequest = false;
    startUnit(options);
    client = connect();
    client->send(ClientShare);
    EXPECT_EQ(hex(client->receive(ShareAccepted.size())), hex(ShareAccepted));
    client->send(ClientStop);
    expectNothingBefore(*client, 2);
    client.reset();
    unit->stop();

    // A unit that goes away instead of answering the stop.
    options.stopAnswer = unitsim::StopAnswer::Close;
    startUnit(options);
    client = connect();
    client->send(ClientShare);
    EXPECT_EQ(hex(client->receive(ShareAccepted.size())), hex(ShareAccepted));
    client->send(ClientStop);
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(client->leftover.empty()) << hex(client->leftover);
}

TEST_F(ControlWire, ActionsSendTheUnitsMessages)
{
    startUnit();
    EXPECT_FALSE(unit->sendShareRequest()) << "no connection yet";
    auto client = connect();

    ASSERT_TRUE(unit->sendShareRequest());
    EXPECT_EQ(hex(client->receive(12)), hex(UnitShare));
    EXPECT_TRUE(unit->sharing());
    ASSERT_TRUE(unit->sendStop());
    EXPECT_EQ(hex(client->receive(12)), hex(UnitStop));
    EXPECT_FALSE(unit->sharing());
    unitsim::ControlItems items;
    items.count = 2;
    items.item3 = 5;
    items.item6 = 0x0190;
    ASSERT_TRUE(unit->sendParams(items));
    EXPECT_EQ(hex(client->receive(20)),
            hex(bytes({ 'A', 'C', 1, 5, TAG, 0x00, 0x01, 0x00, 0x08, // MSG_PARAMS, length 8
                    2, 3, 1, 5, 6, 2, 0x01, 0x90 })));
    ASSERT_TRUE(unit->sendRaw(bytes({ 1, 2, 3 })));
    EXPECT_EQ(hex(client->receive(3)), "010203");
    ASSERT_TRUE(unit->sendDisconnect());
    EXPECT_EQ(hex(client->receive(12)), hex(UnitDisconnect));
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(unit->waitFor([](const unitsim::UnitSim &u) { return !u.controlConnected(); }, 3s));
    EXPECT_FALSE(unit->sendStop());

    // A new connection is the target of the actions; closing sends nothing.
    auto again = connect();
    ASSERT_TRUE(unit->closeControl());
    EXPECT_TRUE(again->waitClosed());
    EXPECT_TRUE(again->leftover.empty());
    EXPECT_EQ(unit->counters().controlConnections, 2);
}

TEST_F(ControlWire, ClientDisconnectClosesTheConnection)
{
    startUnit();
    auto client = share();
    client->send(ClientDisconnect);
    EXPECT_TRUE(client->waitClosed());
    EXPECT_TRUE(client->leftover.empty());
    EXPECT_TRUE(unit->waitFor([](const unitsim::UnitSim &u) { return !u.controlConnected(); }, 3s));
}

TEST_F(ControlWire, RuleBreaksOfTheClientAreRecorded)
{
    startUnit();
    auto client = connect();
    const struct
    {
        Bytes message;
        std::string problem;
    } rows[] = {
        { bytes({ 'A', 'C', 1, 2, 'A', 'b', '1', '2', 0, 1, 0, 0 }),
                "session tag 41623132, expected 32316241" },
        { bytes({ 'A', 'C', 2, 8, TAG, 0, 1, 0, 0 }), "version 2, expected 1" },
        { bytes({ 'A', 'C', 1, 8, TAG, 0, 7, 0, 0 }), "param 7, expected 1" },
        { bytes({ 'X', 'Y', 1, 8, TAG, 0, 1, 0, 0 }), "magic is not \"AC\"" },
        { bytes({ 'A', 'C', 1, 8, TAG, 0, 1, 0, 1, 0 }), "length 1, expected 0" },
        { bytes({ 'A', 'C', 1, 9, TAG, 0, 1, 0, 0 }), "unknown type 9" },
    };
    for (const auto &row : rows)
        client->send(row.message);
    ASSERT_TRUE(unit->waitFor(
            [](const unitsim::UnitSim &u) { return u.counters().controlFromClient == 6; }, 3s));
    std::vector<unitsim::ControlMessage> seen;
    for (const auto &m : unit->controlMessages())
        if (m.direction == unitsim::Direction::FromClient)
            seen.push_back(m);
    ASSERT_EQ(seen.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        ASSERT_FALSE(seen[i].problems.empty()) << i;
        EXPECT_EQ(seen[i].problems.front(), rows[i].problem);
    }
}

TEST_F(ControlWire, PullIntervalSpacesThePulls)
{
    unitsim::Options options;
    options.pullIntervalMs = 300;
    startUnit(options);
    auto client = share();
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(1)));
    client->send(ClientFrameSent);
    EXPECT_EQ(hex(client->receive(17)), hex(nextFrame(2)));
    std::vector<std::int64_t> pulls;
    for (const auto &m : unit->controlMessages())
        if (m.type == static_cast<std::uint8_t>(unitsim::ControlType::NextFrame))
            pulls.push_back(m.timeMs);
    ASSERT_EQ(pulls.size(), 2u);
    EXPECT_GE(pulls[1] - pulls[0], 300);

    // A pull still waiting when the share stops is dropped: the stop answer comes alone.
    client->send(ClientFrameSent);
    client->send(ClientStop);
    EXPECT_EQ(hex(client->receive(StopAccepted.size())), hex(StopAccepted));
    EXPECT_TRUE(client->receive(1, 600ms).empty());
}

} // namespace
