// The kernel's arrival time of what the unit reads: it, not the order of the log lines written
// by each endpoint's own thread, tells which of two connections' messages came first.

#include "raw_peer.h"
#include "unit_sim.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using namespace std::chrono_literals;
using rawpeer::Bytes;

namespace {

TEST(ArrivalTime, TakenFromTheReadThatCompletedEachMessageAcrossConnections)
{
    const auto log = std::filesystem::temp_directory_path()
            / ("unitsim-arrival-" + std::to_string(::getpid()) + ".jsonl");
    unitsim::Options options;
    options.address = "127.0.0.47";
    options.rtpListen = false;
    options.logPath = log.string();
    unitsim::UnitSim unit(options);
    ASSERT_FALSE(unit.start());
    rawpeer::TcpClient control(options.address, 50000), http(options.address, 80);
    ASSERT_TRUE(unit.waitFor([](const unitsim::UnitSim &u) { return u.controlConnected(); }, 3s));
    const auto nowUs = [] { // CLOCK_REALTIME, as the kernel's times
        return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    };

    // MSG_STOP in two pieces, the tail 30 ms after the head; then a request on the other wire.
    const Bytes stop = rawpeer::bytes({ 'A', 'C', 1, 3, '2', '1', 'b', 'A', 0, 1, 0, 0 });
    ASSERT_TRUE(control.send(Bytes(stop.begin(), stop.begin() + 5)));
    std::this_thread::sleep_for(30ms);
    const std::int64_t beforeTail = nowUs();
    ASSERT_TRUE(control.send(Bytes(stop.begin() + 5, stop.end())));
    const std::int64_t afterTail = nowUs();
    std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(http.get("/arrival", options.address));
    const std::int64_t afterGet = nowUs();
    ASSERT_TRUE(unit.waitFor(
            [](const auto &u) { return !u.controlMessages().empty() && !u.httpRequests().empty(); },
            3s));

    const unitsim::ControlMessage message = unit.controlMessages().front();
    const unitsim::HttpRequest request = unit.httpRequests().front();
    ASSERT_EQ(message.raw, stop);
    ASSERT_TRUE(message.arrivedUs && request.arrivedUs);
    EXPECT_GE(*message.arrivedUs, beforeTail);
    EXPECT_LE(*message.arrivedUs, afterTail);
    EXPECT_GT(*request.arrivedUs, afterTail);
    EXPECT_LE(*request.arrivedUs, afterGet);
    // The log lines carry the same times.
    unit.stop();
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    std::filesystem::remove(log);
    for (const std::int64_t us : { *message.arrivedUs, *request.arrivedUs })
        EXPECT_NE(text.str().find("\"arrivedUs\":" + std::to_string(us) + "}"), std::string::npos)
                << text.str();
}

} // namespace
