#include "session_settings.h"

namespace zelrtp {

std::int16_t clampFrameRate(int frameRate)
{
    if (frameRate < 1 || frameRate > MaxFrameRate)
        return MaxFrameRate;
    return static_cast<std::int16_t>(frameRate);
}

std::uint32_t parseSsrcText(const char *text)
{
    if (!text)
        return 0;
    const auto isBlank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (isBlank(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    std::uint32_t value = 0; // unsigned: wraps instead of overflowing
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    return negative ? 0u - value : value;
}

std::uint32_t frameTimestamp(std::int64_t elapsedNs, bool framesSent, std::uint32_t previous)
{
    if (elapsedNs < 0)
        elapsedNs = 0;
    // Whole seconds and the rest apart, so the product never leaves 64 bits.
    const std::int64_t seconds = elapsedNs / 1'000'000'000;
    const std::int64_t restNs = elapsedNs % 1'000'000'000;
    const auto ticks = static_cast<std::uint64_t>(seconds) * RtpClockHz
            + static_cast<std::uint64_t>(restNs * RtpClockHz / 1'000'000'000);
    const auto timestamp = static_cast<std::uint32_t>(ticks);
    if (framesSent && static_cast<std::int32_t>(timestamp - previous) <= 0)
        return previous + 1;
    return timestamp;
}

} // namespace zelrtp
