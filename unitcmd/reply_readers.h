#ifndef TANDEO_UNITCMD_REPLY_READERS_H
#define TANDEO_UNITCMD_REPLY_READERS_H

// Readers of the unit's replies: the login reply and the firmware reply of each family. They
// take the body bytes and return what the session uses; the decisions are the caller's.
//
// A QMT body is read as XML (namespace processing on). A ZMT body is not parsed as JSON: it is
// searched as text, one character per byte up to the first zero byte, and the values are fixed
// windows after their keys, which is how ZMT units write them:
//
//   ..."session":"Ab12"...      4 characters starting 10 after the "s" of session
//   ..."errno":103...           3 characters starting 7 after the "e" of errno
//   ..."data":"10.01.08"...     8 characters starting 7 after the "d" of data
//
// A window that runs past the end of the text is simply shorter.

#include <QByteArray>
#include <QString>

#include <optional>

namespace unitcmd {

struct QmtLoginReply
{
    QString session; // root attribute "session"; empty when absent or the body is not XML
    QString code; // root attribute "code"; likewise
};

QmtLoginReply readQmtLoginReply(const QByteArray &body);

struct ZmtLoginReply
{
    QString text; // the body as searched
    qsizetype sessionIndex = -1; // position of the first "session", -1 when absent
    qsizetype errnoIndex = -1; // position of the first "errno", -1 when absent
    std::optional<QString> session; // the session window, when "session" was found
    std::optional<QString> errorCode; // the errno window, when "errno" was found
};

ZmtLoginReply readZmtLoginReply(const QByteArray &body);

// The version text of a QMT firmware reply: the character data of the first child of the
// element "data" that is the first child of the first child of the root. Empty when "data" has
// no text; nothing when the body is not XML or "data" is not at that place.
std::optional<QString> readQmtFirmwareVersion(const QByteArray &body);

// The 8-character version window of a ZMT firmware reply; nothing when it holds no "data".
std::optional<QString> readZmtFirmwareWindow(const QByteArray &body);

} // namespace unitcmd

#endif // TANDEO_UNITCMD_REPLY_READERS_H
