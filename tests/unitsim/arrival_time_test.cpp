// When the bytes of what the unit read arrived, by the kernel. The endpoints log from threads of
// their own, so this time, not the order of the lines, tells which of two connections' messages
// the client sent first.

#include "raw_peer.h"
#include "unit_sim.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using rawpeer::Bytes;
using rawpeer::bytes;
using rawpeer::TcpClient;

namespace {

const std::string Address = "127.0.0.47";

// CLOCK_REALTIME in microseconds, as the unit's arrival times.
std::int64_t nowUs()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

TEST(ArrivalTime, TakenFromTheReadThatCompletedEachMessageAcrossConnections)
{
    const std::filesystem::path log = std::filesystem::temp_directory_path()
            / ("unitsim-arrival-" + std::to_string(::getpid()) + ".jsonl");
    std::filesystem::remove(log);
    unitsim::Options options;
    options.address = Address;
    options.rtpListen = false;
    options.logPath = log.string();
    unitsim::UnitSim unit(options);
    const std::optional<std::string> error = unit.start();
    ASSERT_FALSE(error) << *error;
    TcpClient control(Address, 50000);
    TcpClient http(Address, 80);
    ASSERT_TRUE(control.connected() && http.connected());
    ASSERT_TRUE(unit.waitFor([](const unitsim::UnitSim &u) { return u.controlConnected(); }, 3s));

    // MSG_STOP in two pieces: the unit reads the head alone, then the tail completes it.
    const Bytes stop = bytes({ 'A', 'C', 1, 3, 0x32, 0x31, 0x62, 0x41, 0x00, 0x01, 0x00, 0x00 });
    ASSERT_TRUE(control.send(Bytes(stop.begin(), stop.begin() + 5)));
    std::this_thread::sleep_for(30ms);
    const std::int64_t beforeTail = nowUs();
    ASSERT_TRUE(control.send(Bytes(stop.begin() + 5, stop.end())));
    const std::int64_t afterTail = nowUs();
    // Then a request on the other connection.
    std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(http.get("/arrival", Address));
    const std::int64_t afterGet = nowUs();
    ASSERT_TRUE(unit.waitFor(
            [](const unitsim::UnitSim &u) {
                return !u.controlMessages().empty() && !u.httpRequests().empty();
            },
            3s));

    const unitsim::ControlMessage received = unit.controlMessages().front();
    const unitsim::HttpRequest request = unit.httpRequests().front();
    ASSERT_EQ(received.raw, stop);
    ASSERT_TRUE(received.arrivedUs && request.arrivedUs);
    EXPECT_GE(*received.arrivedUs, beforeTail);
    EXPECT_LE(*received.arrivedUs, afterTail);
    EXPECT_GT(*request.arrivedUs, afterTail);
    EXPECT_LE(*request.arrivedUs, afterGet);

    // The log carries the same times on those two lines.
    unit.stop();
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    std::filesystem::remove(log);
    for (const std::int64_t us : { *received.arrivedUs, *request.arrivedUs })
        EXPECT_NE(text.str().find("\"arrivedUs\":" + std::to_string(us) + "}"), std::string::npos)
                << text.str();
}

} // namespace
