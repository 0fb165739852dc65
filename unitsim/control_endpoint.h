#ifndef TANDEO_UNITSIM_CONTROL_ENDPOINT_H
#define TANDEO_UNITSIM_CONTROL_ENDPOINT_H

// The unit's control server: one thread accepts connections, reassembles the client's
// messages, lets the connection's ControlUnit decide the answers and sends them; pulls put
// off by the pull interval go out when due. The unit's own requests (UnitSim's actions) go out
// on the latest open connection from the caller's thread.

#include "control_unit.h"

#include <atomic>
#include <control_receiver.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <socket_ops.h>
#include <string>
#include <vector>

namespace unitsim {

class UnitRecorder;

class ControlEndpoint
{
public:
    explicit ControlEndpoint(UnitRecorder &recorder) : m_recorder(recorder) { }

    // Serves until stopping is set and wakeFd becomes readable.
    void run(int listenFd, int wakeFd, const std::atomic<bool> &stopping);

    // Builds the unit's message for the latest open connection and sends it (no message when
    // build is empty), then shuts the connection down when closeAfter is set. False when no
    // connection is open or the send failed.
    using Build = std::function<std::vector<std::uint8_t>(ControlUnit &, const Options &)>;
    bool act(const Build &build, bool closeAfter = false);

    bool connected() const;
    bool sharing() const;
    // Closes every connection; only while run() is not running.
    void clear();

private:
    struct Connection
    {
        int id = 0;
        net::UniqueFd fd;
        control::Reassembler reassembler;
        ControlUnit unit;
        bool closing = false; // shut down by the unit; the loop closes it
        std::optional<std::int64_t> pullAtMs; // a pull waiting for the pull interval
    };

    // With m_mutex held.
    Connection *latest() const;
    bool send(Connection &conn, const std::vector<std::uint8_t> &bytes);
    int sendDuePulls();
    void handleMessages(Connection &conn, std::optional<std::int64_t> arrivedUs, bool &close);
    void remove(Connection *conn);

    void acceptClient(int listenFd);
    void readFrom(Connection *conn);

    UnitRecorder &m_recorder;
    int m_nextId = 1;
    mutable std::mutex m_mutex; // guards m_connections and what they hold
    std::vector<std::unique_ptr<Connection>> m_connections;
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_CONTROL_ENDPOINT_H
