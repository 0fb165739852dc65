#include "session_settings.h"

#include <climits>
#include <gtest/gtest.h>

namespace zelrtp {
namespace {

TEST(SessionSettings, FrameRateOutsideOneToFiveBecomesFive)
{
    const struct
    {
        int given;
        std::int16_t stored;
    } cases[] = { { 0, 5 }, { -1, 5 }, { 6, 5 }, { INT_MIN, 5 }, { INT_MAX, 5 }, { 65539, 5 },
        { 1, 1 }, { 3, 3 }, { 5, 5 } };
    for (const auto &c : cases)
        EXPECT_EQ(clampFrameRate(c.given), c.stored) << "given " << c.given;
}

TEST(SessionSettings, ParsesSsrcTextLikeADecimalNumber)
{
    const struct
    {
        const char *text;
        std::uint32_t ssrc;
    } cases[] = {
        { "1234", 1234 },
        { "  \t42abc", 42 },
        { "+7", 7 },
        { "-1", 0xFFFFFFFFu },
        { "abc", 0 },
        { "", 0 },
        { "- 5", 0 },
        { "12 34", 12 },
        { "4294967295", 4294967295u },
        { "3000000000", 3000000000u }, // beyond int: a session tag of high bytes
        { "4294967296", 0 },
        { nullptr, 0 },
    };
    for (const auto &c : cases)
        EXPECT_EQ(parseSsrcText(c.text), c.ssrc) << "text " << (c.text ? c.text : "(null)");
}

TEST(SessionSettings, TimestampCountsNinetyKilohertzAndAlwaysAdvances)
{
    constexpr std::int64_t Ms = 1'000'000;
    constexpr std::int64_t S = 1'000 * Ms;
    const struct
    {
        const char *what;
        std::int64_t elapsedNs;
        bool framesSent;
        std::uint32_t previous;
        std::uint32_t expected;
    } cases[] = {
        { "first frame at the session start", 0, false, 0, 0 },
        { "one millisecond is 90 ticks", 1 * Ms, false, 0, 90 },
        { "one second is 90000 ticks", 1 * S, true, 0, 90000 },
        { "a frame within the same tick still advances", 1 * Ms, true, 90, 91 },
        { "a frame after a late one stays after it", 1 * Ms, true, 500, 501 },
        { "fractions of a tick are dropped", 11'110, false, 0, 0 },
        { "the clock wraps modulo 2^32", 47'721 * S + 858 * Ms, true, 4294967000u,
                static_cast<std::uint32_t>((47'721LL * 90000 + 858 * 90) % (1LL << 32)) },
        { "a wrapped clock counts as later than the last frame", 47'722 * S, true, 0xFFFFFFF0u,
                static_cast<std::uint32_t>((47'722LL * 90000) % (1LL << 32)) },
        { "negative elapsed time counts as the start", -5 * S, false, 0, 0 },
        { "a year of streaming stays exact", 365LL * 86400 * S, false, 0,
                static_cast<std::uint32_t>((365LL * 86400 * 90000) % (1LL << 32)) },
    };
    for (const auto &c : cases)
        EXPECT_EQ(frameTimestamp(c.elapsedNs, c.framesSent, c.previous), c.expected) << c.what;
}

} // namespace
} // namespace zelrtp
