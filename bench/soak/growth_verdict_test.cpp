// The soak's growth rule on hand-made series: what counts as a leak and what is noise.

#include "growth_verdict.h"

#include <gtest/gtest.h>
#include <vector>

using soak::CountRule;
using soak::GrowthRule;
using soak::judgeGrowth;
using soak::MemoryRule;
using soak::Trend;

namespace {

struct GrowthCase
{
    const char *name;
    std::vector<double> samples;
    GrowthRule rule;
    Trend expected;
};

void PrintTo(const GrowthCase &c, std::ostream *os)
{
    *os << c.name;
}

// A warm-up sample, three at one level, then three at another.
std::vector<double> levels(double before, double after)
{
    return { before, before, before, before, after, after, after };
}

// n samples from first to last in equal steps.
std::vector<double> ramp(double first, double last, int n)
{
    std::vector<double> values;
    for (int i = 0; i < n; ++i)
        values.push_back(first + (last - first) * i / (n - 1));
    return values;
}

class GrowthVerdict : public ::testing::TestWithParam<GrowthCase>
{
};

TEST_P(GrowthVerdict, Judges)
{
    EXPECT_EQ(judgeGrowth(GetParam().samples, GetParam().rule).trend, GetParam().expected);
}

const double MiB = 1024;

INSTANTIATE_TEST_SUITE_P(Series, GrowthVerdict,
        ::testing::Values(
                // Memory of about 100 MiB: the 8 MiB limit is the smaller one.
                GrowthCase{ "NoisyMemoryIsFlat",
                        { 100 * MiB, 101 * MiB, 99 * MiB, 102 * MiB, 100 * MiB, 101 * MiB,
                                100 * MiB },
                        MemoryRule, Trend::Flat },
                GrowthCase{ "SteadyLeakOfTwentyMiB", ramp(100 * MiB, 120 * MiB, 30), MemoryRule,
                        Trend::Growing },
                GrowthCase{ "SevenMiBOfAHundredIsFlat", levels(100 * MiB, 107 * MiB), MemoryRule,
                        Trend::Flat },
                GrowthCase{ "NineMiBOfAHundredIsGrowing", levels(100 * MiB, 109 * MiB), MemoryRule,
                        Trend::Growing },
                // Memory of 40 MiB: 10 % (4 MiB) is the smaller limit.
                GrowthCase{ "FiveMiBOfFortyIsGrowing", levels(40 * MiB, 45 * MiB), MemoryRule,
                        Trend::Growing },
                GrowthCase{ "ThreeMiBOfFortyIsFlat", levels(40 * MiB, 43 * MiB), MemoryRule,
                        Trend::Flat },
                // The first sample is the warm-up: a start far below the rest is left out.
                GrowthCase{ "WarmUpIsLeftOut",
                        { 30 * MiB, 90 * MiB, 90 * MiB, 91 * MiB, 90 * MiB, 90 * MiB, 91 * MiB },
                        MemoryRule, Trend::Flat },
                GrowthCase{ "MemoryThatShrinksIsFlat", ramp(120 * MiB, 90 * MiB, 20), MemoryRule,
                        Trend::Flat },
                // Descriptors and threads: one more for good is growing, a spike is not.
                GrowthCase{ "OneMoreDescriptorForGood", { 20, 20, 20, 20, 20, 21, 21, 21, 21, 21 },
                        CountRule, Trend::Growing },
                GrowthCase{ "SpikeInTheLastThirdIsFlat", { 20, 20, 20, 20, 20, 20, 20, 24, 20, 20 },
                        CountRule, Trend::Flat },
                GrowthCase{ "AlternatingCountIsFlat", { 9, 8, 9, 8, 9, 8, 9, 8, 9, 8 }, CountRule,
                        Trend::Flat },
                // A count stepping between two values, more often the higher one at the end.
                GrowthCase{ "SteppingCountIsFlat", { 10, 9, 9, 10, 9, 10, 9, 10, 10, 9 }, CountRule,
                        Trend::Flat },
                GrowthCase{ "ThreadPerCycle", ramp(10, 40, 30), CountRule, Trend::Growing },
                GrowthCase{ "FewerThreadsIsFlat", { 12, 12, 12, 11, 11, 11, 11 }, CountRule,
                        Trend::Flat },
                // Three samples after the warm-up is the least that gives a verdict.
                GrowthCase{ "FourSamplesJudge", { 5, 10, 10, 11 }, CountRule, Trend::Growing },
                GrowthCase{ "ThreeSamplesDoNot", { 5, 10, 11 }, CountRule, Trend::TooFewSamples },
                GrowthCase{ "NoSamples", {}, CountRule, Trend::TooFewSamples }),
        [](const ::testing::TestParamInfo<GrowthCase> &info) { return info.param.name; });

TEST(GrowthVerdictFigures, ReportsTheMediansOfTheThirds)
{
    // After the warm-up (1000), nine samples: first third {10, 30, 20}, last {70, 50, 60}.
    const std::vector<double> samples{ 1000, 10, 30, 20, 35, 40, 45, 70, 50, 60 };
    const soak::Judgement memory = judgeGrowth(samples, MemoryRule);
    EXPECT_EQ(memory.start, 20);
    EXPECT_EQ(memory.end, 60);
    const soak::Judgement count = judgeGrowth(samples, CountRule);
    EXPECT_EQ(count.start, 30);
    EXPECT_EQ(count.end, 60);
    EXPECT_EQ(count.trend, Trend::Growing);
}

} // namespace
