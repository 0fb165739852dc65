#include "json_line.h"

#include <cstdio>

namespace unitsim {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0.
std::size_t utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t n = 0;
    std::uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    std::uint32_t cp = c & (0xFF >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

std::string jsonQuote(std::string_view text)
{
    std::string out = "\"";
    char escape[8];
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (std::size_t n = utf8Length(text, i)) {
                out.append(text.substr(i, n));
                i += n;
                continue;
            }
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

void JsonLine::key(std::string_view key)
{
    if (!m_body.empty())
        m_body += ',';
    m_body += jsonQuote(key);
    m_body += ':';
}

JsonLine &JsonLine::add(std::string_view k, std::string_view value)
{
    key(k);
    m_body += jsonQuote(value);
    return *this;
}

JsonLine &JsonLine::add(std::string_view k, std::int64_t value)
{
    key(k);
    m_body += std::to_string(value);
    return *this;
}

JsonLine &JsonLine::addBool(std::string_view k, bool value)
{
    key(k);
    m_body += value ? "true" : "false";
    return *this;
}

JsonLine &JsonLine::add(std::string_view k, const std::vector<std::string> &values)
{
    key(k);
    m_body += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            m_body += ',';
        m_body += jsonQuote(values[i]);
    }
    m_body += ']';
    return *this;
}

JsonLine &JsonLine::addRaw(std::string_view k, std::string_view json)
{
    key(k);
    m_body += json;
    return *this;
}

std::string hexText(std::span<const std::uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

} // namespace unitsim
