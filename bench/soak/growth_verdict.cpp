#include "growth_verdict.h"

#include <algorithm>
#include <vector>

namespace soak {

namespace {

double median(std::span<const double> values)
{
    std::vector<double> sorted(values.begin(), values.end());
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

} // namespace

Judgement judgeGrowth(std::span<const double> samples, GrowthRule rule)
{
    Judgement judgement;
    if (samples.size() < 4)
        return judgement;
    const std::span<const double> settled = samples.subspan(1);
    const std::size_t third = settled.size() / 3;
    const std::span<const double> first = settled.first(third);
    judgement.start = rule.start == GrowthRule::Start::Peak
            ? *std::max_element(first.begin(), first.end())
            : median(first);
    judgement.end = median(settled.last(third));
    double limit = rule.allowedRise;
    if (rule.allowedFraction > 0)
        limit = std::min(limit, rule.allowedFraction * judgement.start);
    judgement.trend = judgement.end - judgement.start > limit ? Trend::Growing : Trend::Flat;
    return judgement;
}

const char *trendName(Trend trend)
{
    switch (trend) {
    case Trend::Flat:
        return "flat";
    case Trend::Growing:
        return "growing";
    case Trend::TooFewSamples:
        break;
    }
    return "too few samples";
}

} // namespace soak
