#ifndef TANDEO_UNITSIM_UNIT_RECORDER_H
#define TANDEO_UNITSIM_UNIT_RECORDER_H

// What the three endpoints of one emulated unit share, under one lock: the options, the
// records the snapshots copy, the counters and the JSON log. The endpoints report each event
// through one typed method, which updates the records and counters, writes the event's log
// line and wakes whoever waits for a change. They never build log lines themselves.
//
// Every method takes the lock itself; none may be called with it held.

#include "http_unit.h"
#include "unit_sim.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace unitsim {

class JsonLine;

class UnitRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    explicit UnitRecorder(Options options) : m_options(std::move(options)) { }
    ~UnitRecorder();
    UnitRecorder(const UnitRecorder &) = delete;
    UnitRecorder &operator=(const UnitRecorder &) = delete;

    Options options() const;
    // The SSRC of the session issued last (see ssrcOf), without copying all the options: the
    // RTP reader asks for every datagram.
    std::uint32_t expectedSsrc() const;
    // Changes the behaviour options; what the sockets were bound with and the log stay.
    void updateOptions(const std::function<void(Options &)> &change);
    // Milliseconds since the run began.
    std::int64_t nowMs() const;

    // A run: begin opens the log (error text when it cannot), restarts the clock and writes
    // the "start" line; end writes the "summary" line and closes the log.
    std::optional<std::string> begin();
    void end();
    bool running() const;

    // HTTP. Requests are numbered by their index in the records (the log counts from 1).
    void recordHttpConnect(int conn, const std::string &peer);
    // arrivedUs: when the request's last bytes arrived (see HttpRequest), logged as "arrivedUs".
    std::size_t recordHttpRequest(int conn, const ParsedRequest &request,
            const CommandDocument &doc, const Decision &decision, Family ownFamily,
            std::optional<std::int64_t> arrivedUs = std::nullopt);
    // The answer is recorded before it goes out, so whoever reads it finds it recorded;
    // recordHttpReplyFailed takes it back when the send failed.
    void recordHttpReply(int conn, std::size_t request, const HttpReply &reply);
    void recordHttpReplyFailed(int conn, std::size_t request);
    // A streamed body: progress, then its end (complete: all of it went out).
    void recordHttpBodyProgress(std::size_t request, std::uint64_t bytesSent);
    void recordHttpBodyEnd(int conn, std::size_t request, std::uint64_t bytesSent, bool complete);
    void recordHttpClose(int conn); // an unanswered request's connection closed by the unit
    void recordHttpBadRequest(int conn);
    void recordHttpDisconnect(int conn, bool byClient);

    // Control.
    void recordControlConnect(int conn, const std::string &peer);
    void recordControl(int conn, Direction direction, std::span<const std::uint8_t> bytes,
            std::optional<std::int64_t> arrivedUs = std::nullopt);
    void recordControlSendFailed(int conn, int error);
    void recordControlClose(int conn, const char *by);
    void recordControlIncomplete(int conn, std::size_t bytes);
    // Wakes the waiters without a record (a connection went away).
    void notify();

    // RTP.
    void recordPacket(RtpPacket packet);
    void recordFrame(Frame frame, bool saving);

    // Snapshots.
    std::vector<HttpRequest> httpRequests() const;
    std::vector<ControlMessage> controlMessages() const;
    std::vector<RtpPacket> rtpPackets() const;
    std::vector<Frame> frames() const;
    std::optional<Frame> latestFrame() const;
    Counters counters() const;

    // Blocks until pred holds (checked at every change and at least every 10 ms) or the
    // timeout passes; returns pred's last value. pred runs without the lock.
    bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout) const;

private:
    // With m_mutex held.
    // flush false: the line may wait in the buffer for the next flushed one (a packet's
    // line for its frame's), which spares a write for every packet.
    void writeLocked(const JsonLine &line, bool flush = true);
    void notifyLocked();
    void logEvent(const JsonLine &line);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::uint64_t m_generation = 0;
    Options m_options;
    bool m_running = false;
    Clock::time_point m_startTime = Clock::now();
    std::vector<HttpRequest> m_http;
    std::deque<ControlMessage> m_control;
    std::deque<RtpPacket> m_packets;
    std::deque<Frame> m_frames;
    std::optional<Frame> m_latestValid;
    Counters m_counters;
    std::FILE *m_log = nullptr;
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_UNIT_RECORDER_H
