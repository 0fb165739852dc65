#ifndef ZELRTP_SESSION_SETTINGS_H
#define ZELRTP_SESSION_SETTINGS_H

// Session values that are plain arithmetic on their inputs: the frame rate kept with a session,
// the SSRC given as text, and the 90 kHz frame timestamp.

#include <cstdint>

namespace zelrtp {

constexpr int MaxFrameRate = 5;
constexpr std::int64_t RtpClockHz = 90000; // the clock of payload type 26

// 1 to 5 are kept; anything else (0, negative, above 5) becomes 5.
std::int16_t clampFrameRate(int frameRate);

// Decimal text as the "SSRC" variable holds it: leading blanks skipped, an optional sign, the
// digits up to the first non-digit; 0 without digits. Values beyond 32 bits wrap modulo 2^32,
// as does a negative value, so "-1" is 0xFFFFFFFF and "4294967295" is the same.
std::uint32_t parseSsrcText(const char *text);

// The timestamp for a frame sent elapsedNs after the session opened: elapsed 90 kHz ticks,
// modulo 2^32. When a frame was sent before, the result is always later than `previous` in
// RTP's wrapping order (at least previous + 1), so frames sent within one tick stay apart.
std::uint32_t frameTimestamp(std::int64_t elapsedNs, bool framesSent, std::uint32_t previous);

} // namespace zelrtp

#endif // ZELRTP_SESSION_SETTINGS_H
