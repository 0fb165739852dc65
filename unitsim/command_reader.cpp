#include "command_reader.h"

#include <cctype>
#include <map>
#include <vector>

namespace unitsim {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::size_t skipSpace(std::string_view text, std::size_t pos)
{
    while (pos < text.size() && isSpace(text[pos]))
        ++pos;
    return pos;
}

bool isNameStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':';
}

bool isNameChar(char c)
{
    return isNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.';
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to)
{
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(from, pos)) != std::string_view::npos;
            pos = hit + from.size()) {
        out.append(text.substr(pos, hit - pos));
        out.append(to);
    }
    out.append(text.substr(pos));
    return out;
}

// --- QMT: one root element VC with attributes, and child elements ------------------------

// Where the attribute value that starts at `start` (after its opening quote) ends: at the
// first quote that is followed by the end of the tag or by another attribute.
std::size_t xmlValueEnd(std::string_view text, std::size_t start, char quote)
{
    for (std::size_t p = text.find(quote, start); p != std::string_view::npos;
            p = text.find(quote, p + 1)) {
        std::size_t next = skipSpace(text, p + 1);
        if (next >= text.size() || text[next] == '/' || text[next] == '>' || text[next] == '?')
            return p;
        if (next == p + 1 || !isNameStart(text[next]))
            continue;
        std::size_t nameEnd = next;
        while (nameEnd < text.size() && isNameChar(text[nameEnd]))
            ++nameEnd;
        std::size_t eq = skipSpace(text, nameEnd);
        if (eq < text.size() && text[eq] == '=') {
            std::size_t q = skipSpace(text, eq + 1);
            if (q < text.size() && (text[q] == '"' || text[q] == '\''))
                return p;
        }
    }
    return std::string_view::npos;
}

struct XmlTag
{
    std::string name;
    std::map<std::string, std::string> attributes; // values as written, not unescaped
    std::size_t end = 0; // position after the tag
    bool selfClosing = false;
};

// Reads the start tag that begins at text[pos] == '<'.
std::optional<XmlTag> readTag(std::string_view text, std::size_t pos)
{
    XmlTag tag;
    std::size_t p = pos + 1;
    while (p < text.size() && isNameChar(text[p]))
        tag.name += text[p++];
    if (tag.name.empty())
        return std::nullopt;
    while (true) {
        p = skipSpace(text, p);
        if (p >= text.size())
            return std::nullopt;
        if (text[p] == '>') {
            tag.end = p + 1;
            return tag;
        }
        if (text[p] == '/' && p + 1 < text.size() && text[p + 1] == '>') {
            tag.selfClosing = true;
            tag.end = p + 2;
            return tag;
        }
        std::string name;
        while (p < text.size() && isNameChar(text[p]))
            name += text[p++];
        if (name.empty())
            return std::nullopt;
        p = skipSpace(text, p);
        if (p >= text.size() || text[p] != '=')
            return std::nullopt;
        p = skipSpace(text, p + 1);
        if (p >= text.size() || (text[p] != '"' && text[p] != '\''))
            return std::nullopt;
        const char quote = text[p];
        std::size_t valueEnd = xmlValueEnd(text, p + 1, quote);
        if (valueEnd == std::string_view::npos)
            return std::nullopt;
        tag.attributes.emplace(name, std::string(text.substr(p + 1, valueEnd - p - 1)));
        p = valueEnd + 1;
    }
}

// --- ZMT: an array of flat objects with string (or bare) values --------------------------

// A quoted key followed by a colon starts at text[pos].
bool keyAt(std::string_view text, std::size_t pos)
{
    if (pos >= text.size() || text[pos] != '"')
        return false;
    std::size_t close = text.find('"', pos + 1);
    if (close == std::string_view::npos)
        return false;
    std::size_t colon = skipSpace(text, close + 1);
    return colon < text.size() && text[colon] == ':';
}

// Where the string value that starts at `start` ends: at the first quote that the end of the
// object, or a comma and the next key, follows.
std::size_t jsonValueEnd(std::string_view text, std::size_t start)
{
    for (std::size_t p = text.find('"', start); p != std::string_view::npos;
            p = text.find('"', p + 1)) {
        std::size_t next = skipSpace(text, p + 1);
        if (next >= text.size() || text[next] == '}' || text[next] == ']')
            return p;
        if (text[next] == ',' && keyAt(text, skipSpace(text, next + 1)))
            return p;
    }
    return std::string_view::npos;
}

using JsonObject = std::map<std::string, std::string>;

std::vector<JsonObject> readJsonArray(std::string_view text)
{
    std::vector<JsonObject> objects;
    std::size_t p = skipSpace(text, 0);
    if (p >= text.size() || text[p] != '[')
        return objects;
    ++p;
    while (true) {
        p = skipSpace(text, p);
        if (p >= text.size() || text[p] != '{')
            return objects;
        ++p;
        JsonObject object;
        while (true) {
            p = skipSpace(text, p);
            if (p < text.size() && text[p] == '}') {
                ++p;
                break;
            }
            if (p >= text.size() || text[p] != '"') {
                objects.push_back(object);
                return objects;
            }
            std::size_t keyEnd = text.find('"', p + 1);
            if (keyEnd == std::string_view::npos) {
                objects.push_back(object);
                return objects;
            }
            std::string key(text.substr(p + 1, keyEnd - p - 1));
            p = skipSpace(text, keyEnd + 1);
            if (p >= text.size() || text[p] != ':') {
                objects.push_back(object);
                return objects;
            }
            p = skipSpace(text, p + 1);
            std::string value;
            if (p < text.size() && text[p] == '"') {
                std::size_t valueEnd = jsonValueEnd(text, p + 1);
                if (valueEnd == std::string_view::npos) {
                    object[key] = std::string(text.substr(p + 1));
                    objects.push_back(object);
                    return objects;
                }
                value = std::string(text.substr(p + 1, valueEnd - p - 1));
                p = valueEnd + 1;
            } else {
                while (p < text.size() && text[p] != ',' && text[p] != '}' && !isSpace(text[p]))
                    value += text[p++];
            }
            object[key] = value;
            p = skipSpace(text, p);
            if (p < text.size() && text[p] == ',')
                ++p;
        }
        objects.push_back(object);
        p = skipSpace(text, p);
        if (p < text.size() && text[p] == ',')
            ++p;
        else
            return objects;
    }
}

const std::string *field(const JsonObject &object, const std::string &key)
{
    auto it = object.find(key);
    return it == object.end() ? nullptr : &it->second;
}

constexpr std::string_view FirmwareObject = "System/FirmwareVersion";

} // namespace

std::string percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string xmlUnescape(std::string_view text)
{
    static const std::pair<std::string_view, char> entities[] = { { "&amp;", '&' }, { "&lt;", '<' },
        { "&gt;", '>' }, { "&quot;", '"' }, { "&apos;", '\'' } };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto &[entity, c] : entities) {
                if (text.substr(i, entity.size()) == entity) {
                    out += c;
                    i += entity.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

std::string xmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void readQmtDocument(std::string_view document, CommandDocument &out)
{
    std::size_t pos = 0;
    // Skip the declaration and any comments up to the root element.
    while (true) {
        pos = document.find('<', pos);
        if (pos == std::string_view::npos || pos + 1 >= document.size())
            return;
        if (document[pos + 1] == '?' || document[pos + 1] == '!') {
            std::size_t close = document.find('>', pos);
            if (close == std::string_view::npos)
                return;
            pos = close + 1;
            continue;
        }
        break;
    }
    std::optional<XmlTag> root = readTag(document, pos);
    if (!root || root->name != "VC")
        return;
    auto attribute = [&](const char *name) -> const std::string * {
        auto it = root->attributes.find(name);
        return it == root->attributes.end() ? nullptr : &it->second;
    };
    if (const std::string *v = attribute("device"))
        out.device = xmlUnescape(*v);
    if (const std::string *v = attribute("version"))
        out.version = xmlUnescape(*v);
    if (const std::string *v = attribute("acccode")) {
        out.hasAccessCode = true;
        out.accessCodeRaw = *v;
        out.accessCode = xmlUnescape(*v);
    }
    if (const std::string *v = attribute("session")) {
        out.hasSession = true;
        out.session = xmlUnescape(*v);
    }

    bool firmware = false;
    bool logout = false;
    bool nop = false;
    if (!root->selfClosing) {
        for (std::size_t p = document.find('<', root->end); p != std::string_view::npos;
                p = document.find('<', p + 1)) {
            std::optional<XmlTag> child = readTag(document, p);
            if (!child)
                continue;
            if (child->name == "get") {
                auto it = child->attributes.find("object");
                firmware = firmware
                        || (it != child->attributes.end()
                                && xmlUnescape(it->second) == FirmwareObject);
            }
            logout = logout || child->name == "logout";
            nop = nop || child->name == "nop";
        }
    }
    if (out.hasAccessCode)
        out.command = Command::Login;
    else if (out.hasSession && firmware)
        out.command = Command::Firmware;
    else if (out.hasSession && logout)
        out.command = Command::Logout;
    else if (out.hasSession && nop)
        out.command = Command::KeepAlive;
}

void readZmtDocument(std::string_view document, CommandDocument &out)
{
    std::vector<JsonObject> objects = readJsonArray(document);
    if (objects.empty())
        return;
    const JsonObject &head = objects.front();
    const std::string *cmd = field(head, "cmd");
    if (!cmd || *cmd != "login")
        return;
    if (const std::string *v = field(head, "device"))
        out.device = *v;
    if (const std::string *v = field(head, "version"))
        out.version = *v;
    if (const std::string *v = field(head, "acccode")) {
        // The client escapes "&" for both dialects alike, so it is read back here as well.
        out.hasAccessCode = true;
        out.accessCodeRaw = *v;
        out.accessCode = replaceAll(*v, "&amp;", "&");
    }
    if (const std::string *v = field(head, "session")) {
        out.hasSession = true;
        out.session = *v;
    }
    if (out.hasAccessCode) {
        out.command = Command::Login;
        return;
    }
    if (!out.hasSession || objects.size() < 2)
        return;
    const JsonObject &second = objects[1];
    const std::string *secondCmd = field(second, "cmd");
    if (!secondCmd)
        return;
    if (*secondCmd == "get") {
        const std::string *object = field(second, "object");
        if (object && *object == FirmwareObject)
            out.command = Command::Firmware;
    } else if (*secondCmd == "logout") {
        out.command = Command::Logout;
    } else if (*secondCmd == "nop") {
        out.command = Command::KeepAlive;
    }
}

CommandDocument readCommand(std::string_view target)
{
    CommandDocument out;
    std::size_t question = target.find('?');
    out.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos)
        out.rawQuery = std::string(target.substr(question + 1));
    std::string_view key;
    if (out.path == QmtPath) {
        out.family = Family::Qmt;
        key = QmtQueryKey;
    } else if (out.path == ZmtPath) {
        out.family = Family::Zmt;
        key = ZmtQueryKey;
    } else {
        return out;
    }
    std::string_view query = out.rawQuery;
    if (query.size() <= key.size() || query.substr(0, key.size()) != key
            || query[key.size()] != '=')
        return out;
    // The whole rest is the document: the client writes it after the key as one piece.
    out.hasDocument = true;
    out.document = percentDecode(query.substr(key.size() + 1));
    if (*out.family == Family::Qmt)
        readQmtDocument(out.document, out);
    else
        readZmtDocument(out.document, out);
    return out;
}

const char *commandName(Command command)
{
    switch (command) {
    case Command::Login:
        return "login";
    case Command::Firmware:
        return "firmware";
    case Command::KeepAlive:
        return "keepalive";
    case Command::Logout:
        return "logout";
    case Command::Unknown:
        break;
    }
    return "unknown";
}

const char *familyName(Family family)
{
    return family == Family::Qmt ? "qmt" : "zmt";
}

} // namespace unitsim
