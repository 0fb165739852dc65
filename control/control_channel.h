#ifndef TANDEO_CONTROL_CHANNEL_H
#define TANDEO_CONTROL_CHANNEL_H

// The control channel client: the one TCP connection to the unit's control port, the send
// functions, and one receive thread that reassembles and dispatches what the unit sends,
// answers its requests by itself and raises the numbered events. Plain functions over module
// state.
//
// Threads: the send functions and connectChannel are called from the GUI thread; the receive
// thread calls the callbacks and sends the automatic responses. Every message goes out whole
// in one send, so the two threads may send on the same connection.

#include "control_codec.h"
#include "control_events.h"

namespace control {

// Negative results of connectChannel.
enum ConnectError : int {
    CONNECT_SOCKET_FAILED = -1, // no socket could be created
    CONNECT_TIMED_OUT = -2, // not connected within the time-out; a refusal shows the same
    CONNECT_HOST_UNRESOLVED = -3, // the host is not an address ("error: gethostbyname")
};

constexpr int DefaultConnectTimeoutSeconds = 30; // a time-out of 0 means this

// Stores the two callbacks; call before anything else. Either may be nullptr: a missing
// notification is skipped, a missing request is answered as accepted.
void registerCallbacks(NotifyCallback notify, RequestCallback request);

// Starts the receive thread unless it runs already; a thread that ended (after NETWORK_FAIL or
// stopChannel) is joined and a new one started. Returns 0, or the system error code when no
// thread could be started.
int startChannel();

// Connects to host:port (host: dotted IPv4 text read in decimal, net::parseIpv4; never looked
// up as a name), waiting at most timeoutSeconds (0 or less: 30 s). On success the connection
// replaces any earlier one (which is closed), the first four bytes of sessionText become the
// tag of the automatic responses, the receive thread starts watching it with an empty
// reassembly buffer, and MSG_CONNECT with params goes out; the result is what that send
// reported (-1: failed).
// On failure returns a ConnectError and changes nothing; for a host that is not an address it
// writes "error: gethostbyname: <system text>" to standard error.
int connectChannel(const char *host, int port, const ControlParams &params, const char *sessionText,
        int timeoutSeconds);

// Each sends its 12-byte message with the tag of sessionText and param 1; returns the bytes
// sent, or -1 (also when no connection is open).
int sendShare(const char *sessionText);
int sendStop(const char *sessionText);
int sendFrameSent(const char *sessionText);

// Sends MSG_DISCONNECT, then closes the connection and forgets its tag. Returns what the send
// reported. The receive thread goes idle; no NETWORK_FAIL is raised for this close.
int sendDisconnect(const char *sessionText);

// Closes the channel when `socket` is its connection's descriptor (channelSocket()); any other
// value, or a connection that is already closed, does nothing: a descriptor is closed once.
void closeChannel(int socket);

// Stops and joins the receive thread and closes the connection (program end, tests). Safe to
// call when nothing runs; a later startChannel starts afresh.
void stopChannel();

// The open connection's descriptor, or -1 when none is open.
int channelSocket();

// True while the receive thread runs.
bool channelThreadRunning();

} // namespace control

#endif // TANDEO_CONTROL_CHANNEL_H
