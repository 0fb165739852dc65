#ifndef ZELRTP_ORTP_ENDPOINTS_H
#define ZELRTP_ORTP_ENDPOINTS_H

// The library's own ends of an oRTP session's transports. oRTP builds every packet (header,
// sequence number, timestamp, marker) and hands it to the RTP end, which sends it through a
// DatagramBatch: at once, or with the rest of a frame's burst while the batch is held. The
// RTCP end reads nothing: RTCP is off, and oRTP would otherwise look for RTCP on its socket
// after every packet sent, a system call each.

#include <ortp/ortp.h>

namespace zelrtp {

class DatagramBatch;

// Installs both ends on a session whose sockets are bound. False (nothing changed) when the
// session has no RTP socket.
bool installEndpoints(RtpSession *session);

// The batch behind the session's RTP end; null for a session made without installEndpoints().
DatagramBatch *datagramBatchOf(RtpSession *session);

} // namespace zelrtp

#endif // ZELRTP_ORTP_ENDPOINTS_H
