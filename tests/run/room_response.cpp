#include "room_response.h"

#include <cmath>
#include <numbers>

#include "rig/room.h"
#include "signal/biquad.h"

namespace {

// The product's cookbook design (checked against the analogue prototypes by
// the rig's tests), run in direct form I.
struct Biquad {
    BiquadCoefficients c;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    double Step(double x) {
        const double y = c.b0 * x + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

}  // namespace

std::vector<double> RoomBandLevels(const std::vector<BandRow>& rows, double startFrequency,
                                   std::int64_t sweepFrames, std::int64_t delay, double rate) {
    std::vector<double> sums(rows.size(), 0.0), counts(rows.size(), 0.0);
    if (rows.empty() || sweepFrames <= 0) return sums;
    std::vector<Biquad> room;
    for (const RigFilter& filter : rigRoomFilters) {
        const auto c = DesignBiquad(filter, rate);
        if (!c) return std::vector<double>(rows.size(), NAN);
        room.push_back(Biquad{*c});
    }

    // The room's output, delayed: frame j of the capture holds the filtered
    // sweep's frame j - delay.
    const double slope = (rows.back().high - startFrequency) / static_cast<double>(sweepFrames);
    const double w = 2.0 * std::numbers::pi / rate;
    std::vector<double> heard(static_cast<std::size_t>(sweepFrames), 0.0);
    for (std::int64_t j = 0; j + delay < sweepFrames; ++j) {
        const double x = static_cast<double>(j);
        double y = std::sin((startFrequency + slope * x / 2.0) * w * x);
        for (Biquad& biquad : room) y = biquad.Step(y);
        heard[static_cast<std::size_t>(j + delay)] = y;
    }
    // Each frame counts in the band of the frequency played at that frame.
    std::size_t band = 0;
    for (std::int64_t j = 0; j < sweepFrames; ++j) {
        const double f = startFrequency + slope * static_cast<double>(j);
        while (band + 1 < rows.size() && f > rows[band].high) ++band;
        sums[band] += std::fabs(heard[static_cast<std::size_t>(j)]);
        counts[band] += 1.0;
    }
    double loudest = 0;
    for (std::size_t b = 0; b < rows.size(); ++b) {
        sums[b] = counts[b] > 0 ? sums[b] / counts[b] : 0.0;
        loudest = std::fmax(loudest, sums[b]);
    }
    for (double& level : sums) level = 20.0 * std::log10(level / loudest);
    return sums;
}

double WorstBandError(const std::vector<BandRow>& rows, const std::vector<double>& expected) {
    std::vector<double> differences;
    for (std::size_t b = 0; b < rows.size() && b < expected.size(); ++b) {
        if (rows[b].low >= 100) differences.push_back(rows[b].level - expected[b]);
    }
    if (differences.empty()) return INFINITY;
    double mean = 0;
    for (double d : differences) mean += d;
    mean /= static_cast<double>(differences.size());
    double worst = 0;
    for (double d : differences) worst = std::fmax(worst, std::fabs(d - mean));
    return worst;
}
