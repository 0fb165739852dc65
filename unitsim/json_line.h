#ifndef TANDEO_UNITSIM_JSON_LINE_H
#define TANDEO_UNITSIM_JSON_LINE_H

// One JSON object written as one line, for the emulator's log. Text from the wire may be any
// bytes: valid UTF-8 passes, every other byte is written as \u00XX of its value, so a line is
// always valid JSON.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace unitsim {

std::string jsonQuote(std::string_view text);

// Bytes as lowercase hex digits, no blanks (how the log writes raw bytes).
std::string hexText(std::span<const std::uint8_t> bytes);

class JsonLine
{
public:
    JsonLine &add(std::string_view key, std::string_view value);
    JsonLine &add(std::string_view key, const char *value)
    {
        return add(key, std::string_view(value));
    }
    JsonLine &add(std::string_view key, std::int64_t value);
    JsonLine &add(std::string_view key, int value) { return add(key, std::int64_t(value)); }
    JsonLine &add(std::string_view key, std::uint32_t value)
    {
        return add(key, std::int64_t(value));
    }
    JsonLine &add(std::string_view key, std::size_t value) { return add(key, std::int64_t(value)); }
    JsonLine &addBool(std::string_view key, bool value);
    JsonLine &add(std::string_view key, const std::vector<std::string> &values);
    // value must already be JSON (an object built with another JsonLine, say).
    JsonLine &addRaw(std::string_view key, std::string_view json);

    std::string str() const { return "{" + m_body + "}"; }

private:
    void key(std::string_view key);
    std::string m_body;
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_JSON_LINE_H
