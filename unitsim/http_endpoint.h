#ifndef TANDEO_UNITSIM_HTTP_ENDPOINT_H
#define TANDEO_UNITSIM_HTTP_ENDPOINT_H

// The unit's HTTP command server: one thread polls the listening socket and every client
// connection, reads requests, has the command session decide each answer, and sends the
// answers in request order once they are due. A request left unanswered holds back every
// later one on its connection, as on a real unit.

#include "http_unit.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <socket_ops.h>
#include <vector>

namespace unitsim {

class UnitRecorder;

class HttpEndpoint
{
public:
    HttpEndpoint(
            UnitRecorder &recorder, int listenFd, int wakeFd, const std::atomic<bool> &stopping)
        : m_recorder(recorder),
          m_listenFd(listenFd),
          m_wakeFd(wakeFd),
          m_stopping(stopping)
    {
    }

    // Serves until stopping is set and wakeFd becomes readable.
    void run();

private:
    using Clock = std::chrono::steady_clock;

    struct Pending
    {
        Clock::time_point due;
        std::size_t record = 0;
        ReplyMode mode = ReplyMode::Answer;
        HttpReply reply;
        bool keepAlive = true;
    };
    struct Connection
    {
        int id = 0;
        net::UniqueFd fd;
        HttpRequestParser parser;
        std::deque<Pending> pending;
        bool stalled = false; // a request stays unanswered: nothing after it is answered either
        bool peerClosed = false;
        bool closeNow = false;
        // A padded or endless answer on its way; the answers after it wait.
        std::optional<ReplyStream> streaming;
        std::size_t streamRecord = 0;
    };

    int pollTimeoutMs() const;
    void acceptClient();
    void readFrom(Connection &conn);
    void handleRequest(
            Connection &conn, const ParsedRequest &request, std::optional<std::int64_t> arrivedUs);
    void answerDue(Connection &conn);
    void sendAnswer(Connection &conn, const Pending &pending);
    void pumpStream(Connection &conn);
    void endStream(Connection &conn);
    void closeFinished();

    UnitRecorder &m_recorder;
    int m_listenFd;
    int m_wakeFd;
    const std::atomic<bool> &m_stopping;
    std::vector<std::unique_ptr<Connection>> m_connections;
    CommandSession m_session;
    int m_nextId = 1;
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_HTTP_ENDPOINT_H
