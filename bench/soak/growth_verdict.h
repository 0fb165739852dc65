#ifndef TANDEO_BENCH_GROWTH_VERDICT_H
#define TANDEO_BENCH_GROWTH_VERDICT_H

// Whether a measure of a long-running process (resident memory, open descriptors, threads)
// stays flat or keeps growing, judged from its samples in the order taken. Pure: no clocks, no
// I/O.
//
// The rule: the first sample is a warm-up and is left out (buffers, caches and thread pools
// come up with the first frames). Of the samples after it, the median of the last third is
// compared with the first third: with its median for memory, which drifts by small amounts
// anyway, and with its peak for counts, which step between a few values as requests and helper
// threads come and go. The measure is growing when the end rose above that start by more than
// the rule's limit. The median of the end keeps a single spike from deciding either way. Fewer
// than three samples after the warm-up give no verdict.

#include <span>

namespace soak {

enum class Trend { Flat, Growing, TooFewSamples };

// The largest rise still counted as flat: the smaller of an absolute amount and a fraction of
// the starting level. A fraction of 0 or less leaves the absolute amount alone.
struct GrowthRule
{
    enum class Start { Median, Peak }; // what of the first third the end is compared with
    Start start = Start::Median;
    double allowedRise = 0;
    double allowedFraction = 0;
};

// Resident memory in KiB: a rise above 8 MiB or above 10 % of the start, whichever is smaller.
constexpr GrowthRule MemoryRule{ GrowthRule::Start::Median, 8 * 1024, 0.10 };
// Descriptors and threads: the typical count at the end is above every count of the start.
constexpr GrowthRule CountRule{ GrowthRule::Start::Peak, 0.5, 0 };

struct Judgement
{
    Trend trend = Trend::TooFewSamples;
    double start = 0; // median or peak of the first third after the warm-up
    double end = 0; // median of the last third
};

Judgement judgeGrowth(std::span<const double> samples, GrowthRule rule);

const char *trendName(Trend trend);

} // namespace soak

#endif // TANDEO_BENCH_GROWTH_VERDICT_H
