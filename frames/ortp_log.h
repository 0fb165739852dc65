#ifndef TANDEO_FRAMES_ORTP_LOG_H
#define TANDEO_FRAMES_ORTP_LOG_H

// oRTP writes its own log (through bctoolbox's logger) to standard output. Its warnings and
// errors come per packet (a send refused by a full socket buffer on a slow link, a setting it
// finds odd on every packet), thousands in one share, and the share goes on regardless: the next
// pulled frame makes up for a lost one, and what the user must know reaches the window through
// the control channel and the keep-alive. So they are debug output of the category
// "tandeo.ortp", shown with QT_LOGGING_RULES="tandeo.ortp.debug=true". Only a fatal error, after
// which oRTP aborts, is always written (critical).

namespace frames {

// Sends oRTP's log to the category for the whole process. Call once at start, before the first
// RTP session; oRTP keeps the route across its own init and exit. Any thread may log after.
void routeOrtpLog();

} // namespace frames

#endif // TANDEO_FRAMES_ORTP_LOG_H
