#ifndef TANDEO_UNITCMD_REPLY_LIMIT_H
#define TANDEO_UNITCMD_REPLY_LIMIT_H

// A bound on what the client takes from the unit in one command reply. Every reply the session
// reads is a few hundred bytes; a unit that sends more, or a body that never ends, must neither
// fill the client's memory nor hold a reply open for ever. So a watched reply is cut off as soon
// as its body (or the length its head announces) passes the bound:
//   - Qt is told to buffer no more than the bound, so nothing beyond it is read off the socket;
//   - the reply is aborted and then reads as one that got no HTTP answer: no HTTP status (0) and
//     no body. The reply slots therefore treat it as any other failed reply, and the time-outs
//     of the session decide what happens next.
// Qt hears of the buffer bound only once the request is on its way. A reply that is answered
// within that moment (on a kept-alive connection of a busy machine) is cut off by the check of
// what it holds instead, a little later, and Qt's network thread may then read on and drop a
// fast body for a while before it closes the connection. Nothing past the cut is kept.
// GUI thread, like the replies themselves.

#include <QByteArray>

#include <optional>

class QNetworkReply;

namespace unitcmd {

constexpr qint64 MaxReplyBodyBytes = 64 * 1024;

// Watches reply until it finishes. Call it right after the request was sent, before control
// goes back to the event loop. A reply that passes maxBytes is aborted there and then, which
// delivers it (finished) at once.
void limitReplyBody(QNetworkReply *reply, qint64 maxBytes = MaxReplyBodyBytes);

// True when the reply was cut off for its size.
bool replyCutOff(const QNetworkReply *reply);

// The body of a finished reply, read once (like readAll()); nothing when it was cut off or holds
// more than MaxReplyBodyBytes.
std::optional<QByteArray> takeReplyBody(QNetworkReply *reply);

} // namespace unitcmd

#endif // TANDEO_UNITCMD_REPLY_LIMIT_H
