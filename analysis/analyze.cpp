#include "analysis/analyze.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "samples/packing.h"

namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

std::int64_t AddSaturated(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? kInt64Max : kInt64Min;
    }
    return sum;
}

std::int64_t SubtractSaturated(std::int64_t a, std::int64_t b) {
    std::int64_t difference = 0;
    if (__builtin_sub_overflow(a, b, &difference)) {
        return b < 0 ? kInt64Max : kInt64Min;
    }
    return difference;
}

struct BandTotal {
    double sum = 0.0;
    double count = 0.0;
    bool usable = false;  // has samples and a positive sum
    double mean = 0.0;
};

}  // namespace

double RtodB(double ratio) {
    return 20.0 * std::log10(ratio);
}

AnalysisResult Analyze(std::int64_t frameCount, std::int32_t bandCount,
                       std::span<const double> track, std::span<const std::int64_t> micSamples,
                       std::int64_t syncOffset, std::span<const double> lowerEdges,
                       std::span<const double> upperEdges, std::int64_t leadIn) {
    // Only bands that both edge arrays describe.
    const std::int64_t edges = std::min(std::ssize(lowerEdges), std::ssize(upperEdges));
    const auto bands = static_cast<std::int32_t>(std::clamp<std::int64_t>(bandCount, 0, edges));
    std::vector<BandTotal> totals(static_cast<std::size_t>(bands));
    double largest = 0.0;

    if (bands > 0) {
        // Sweep sample j was answered at capture index first + j. The visit
        // covers the sweep's samples only, never the silence after it, and
        // skips any j whose capture index lies outside the capture.
        const std::int64_t first = AddSaturated(leadIn, syncOffset);
        const std::int64_t sweepCount =
            SubtractSaturated(SubtractSaturated(frameCount, leadIn), leadIn);
        const std::int64_t captured = std::min(frameCount, std::ssize(micSamples));
        const std::int64_t begin = first < 0 ? SubtractSaturated(0, first) : 0;
        const std::int64_t end =
            std::min({sweepCount, std::ssize(track), SubtractSaturated(captured, first)});
        // The band index only moves forward: the track rises over the sweep.
        std::int32_t b = 0;
        for (std::int64_t j = begin; j < end; ++j) {
            const double f = track[j];
            while (b < bands - 1 && f > upperEdges[b]) {
                ++b;
            }
            const double m = std::fabs(static_cast<double>(micSamples[first + j]));
            totals[b].sum += m;
            totals[b].count += 1.0;
            largest = std::max(largest, m);
        }
    }

    // Levels relative to the loudest band mean; the reference stays 0 when
    // no band has a positive sum.
    double reference = 0.0;
    for (BandTotal& band : totals) {
        band.usable = band.count > 0.0 && band.sum > 0.0;
        band.mean = band.usable ? band.sum / band.count : 0.0;
        reference = std::max(reference, band.mean);
    }

    AnalysisResult result;
    result.levels.reserve(totals.size());
    result.missingData.reserve(totals.size());
    for (const BandTotal& band : totals) {
        // A band without usable samples has no level: it shows -inf.
        result.levels.push_back(band.usable ? RtodB(band.mean / reference)
                                            : -std::numeric_limits<double>::infinity());
        result.missingData.push_back(band.count == 0.0);
    }
    result.returnLevel = RtodB(largest / kFullScale);
    return result;
}
