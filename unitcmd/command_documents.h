#ifndef TANDEO_UNITCMD_COMMAND_DOCUMENTS_H
#define TANDEO_UNITCMD_COMMAND_DOCUMENTS_H

// The command documents of both unit dialects, as plain text. A QMT unit takes an XML document
// in the query key "xmldoc" of "/cgi-bin/doxml.cgi", a ZMT unit a JSON-style array in the query
// key "jdoc" of "/docmd". The texts are fixed to the blank and the quote: units compare them
// more strictly than a parser would, so nothing here is built with an XML or JSON writer.

#include <QString>

#include <cstdint>

namespace unitcmd {

enum class Family : std::uint8_t { Qmt, Zmt };

// The commands that carry a session id (every command after the login).
enum class SessionCommand : std::uint8_t { Firmware, KeepAlive, Logout };

// The access code as it goes into both login documents: every "&" written as "&amp;". No other
// character is touched (a quotation mark or "<" goes in as typed).
QString escapeAccessCode(const QString &accessCode);

// Path and query key of the family, up to and including "=".
QString commandPath(Family family);

// The login document. escapedCode must already have gone through escapeAccessCode().
QString loginDocument(Family family, const QString &device, const QString &escapedCode);

// The document of a command within the session given by sessionId.
QString sessionDocument(
        Family family, SessionCommand command, const QString &device, const QString &sessionId);

// A text holding a login document of either dialect (the document itself or a URL ending in
// it) with the access code replaced by "****", for the debug output, which may end up in the
// user's journal. The code may hold quotation marks, so its end is found from the document's
// fixed tail; where that tail is missing, everything after "acccode" is masked. An empty code
// stays empty (nothing to hide, and worth seeing). Any other text is returned as it is.
QString maskAccessCode(const QString &text);

} // namespace unitcmd

#endif // TANDEO_UNITCMD_COMMAND_DOCUMENTS_H
