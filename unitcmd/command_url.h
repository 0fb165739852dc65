#ifndef TANDEO_UNITCMD_COMMAND_URL_H
#define TANDEO_UNITCMD_COMMAND_URL_H

// URLs of the unit commands. Every command is a GET of "http://", the unit's address, the
// family's path and query key, and the document; no port, so HTTP's default port applies.
//
// The login document travels fully percent-encoded (UTF-8; only A-Z, a-z, 0-9, "-", ".", "_"
// and "~" stay as they are), so an access code's "&amp;" reads %26amp%3B on the wire. The other
// commands travel as readable text in which only what a URL cannot carry is encoded: blanks,
// quotation marks, "<", ">", "[", "]", "{", "}" (and any other byte outside the URL character
// set) become %XX with uppercase digits, while "=", "/", ":", ",", "?" and the other delimiters
// stay. The encoded bytes are built here, not by QUrl's tolerant parsing, because QUrl would
// send "[" and "]" unencoded and would take a "#" or a "%" in a document for URL syntax.

#include "command_documents.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace unitcmd {

struct CommandUrl
{
    // The URL as readable text for the debug output, the access code masked (maskAccessCode).
    QString text;
    QUrl url; // what the request is built from; its encoded form is what goes on the wire
};

// The host to put into a URL for an address as stored in a profile. A dotted IPv4 address is
// read with every octet as a decimal number, leading zeros included ("192.168.001.020" is
// 192.168.1.20, never an octal 020), and written in its plain form. Any other text is used as
// it stands.
QString unitHost(const QString &storedAddress);

// The login URL of the family for a document from loginDocument().
CommandUrl loginUrl(Family family, const QString &storedAddress, const QString &document);

// The URL of any other command of the family for a document from sessionDocument().
CommandUrl commandUrl(Family family, const QString &storedAddress, const QString &document);

// The readable-text encoding of everything after the host (see above).
QByteArray encodeReadable(const QString &text);

} // namespace unitcmd

#endif // TANDEO_UNITCMD_COMMAND_URL_H
