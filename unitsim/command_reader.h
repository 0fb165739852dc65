#ifndef TANDEO_UNITSIM_COMMAND_READER_H
#define TANDEO_UNITSIM_COMMAND_READER_H

// How the unit reads a command request: the request target split into path and query, the
// command document percent-decoded, and the few fields of the document the unit acts on.
// Pure functions of text.
//
// The readers are lenient on purpose: the client puts the access code into the documents
// without escaping quotation marks, "<" or backslashes, so a value runs up to the quotation
// mark that a delimiter follows, not to the first one.

#include "unit_sim.h"

#include <string>
#include <string_view>

namespace unitsim {

constexpr std::string_view QmtPath = "/cgi-bin/doxml.cgi";
constexpr std::string_view ZmtPath = "/docmd";
constexpr std::string_view QmtQueryKey = "xmldoc";
constexpr std::string_view ZmtQueryKey = "jdoc";

// Every "%XX" with two hexadecimal digits becomes its byte; anything else (a lone "%", "+")
// stays as it is.
std::string percentDecode(std::string_view text);

// "&amp;" back to "&", and the other four predefined XML entities; unknown ones stay.
std::string xmlUnescape(std::string_view text);
std::string xmlEscape(std::string_view text);

struct CommandDocument
{
    std::optional<Family> family; // from the path; empty for any other path
    std::string path;
    std::string rawQuery;
    std::string document; // the value after "xmldoc=" / "jdoc=", decoded; the whole of it
    bool hasDocument = false; // the query starts with the family's key
    Command command = Command::Unknown;
    std::string device;
    std::string version;
    std::string accessCode; // as the unit reads it ("&amp;" turned back into "&")
    std::string accessCodeRaw; // as the document holds it
    bool hasAccessCode = false;
    std::string session;
    bool hasSession = false;
};

// Splits the target, decodes the document and reads it in the dialect its path belongs to.
CommandDocument readCommand(std::string_view target);

// The readers of the two dialects, given the decoded document.
void readQmtDocument(std::string_view document, CommandDocument &out);
void readZmtDocument(std::string_view document, CommandDocument &out);

const char *commandName(Command command);
const char *familyName(Family family);

} // namespace unitsim

#endif // TANDEO_UNITSIM_COMMAND_READER_H
