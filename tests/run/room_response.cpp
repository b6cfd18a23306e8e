#include "room_response.h"

#include <cmath>
#include <numbers>

#include "rig/room.h"

namespace {

struct Biquad {
    double b0, b1, b2, a1, a2;  // normalised by a0
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    double Step(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

Biquad Design(const RigFilter& filter, double rate) {
    const double a = std::pow(10.0, filter.gain / 40.0);
    const double w0 = 2.0 * std::numbers::pi * filter.freq / rate;
    const double c = std::cos(w0);
    const double alpha = std::sin(w0) / (2.0 * filter.q);
    const double root = 2.0 * std::sqrt(a) * alpha;
    double k[6] = {1, 0, 0, 1, 0, 0};  // b0 b1 b2 a0 a1 a2
    switch (filter.type) {
        case RigFilterType::peaking:
            k[0] = 1 + alpha * a, k[1] = -2 * c, k[2] = 1 - alpha * a;
            k[3] = 1 + alpha / a, k[4] = -2 * c, k[5] = 1 - alpha / a;
            break;
        case RigFilterType::lowshelf:
            k[0] = a * ((a + 1) - (a - 1) * c + root), k[1] = 2 * a * ((a - 1) - (a + 1) * c);
            k[2] = a * ((a + 1) - (a - 1) * c - root), k[3] = (a + 1) + (a - 1) * c + root;
            k[4] = -2 * ((a - 1) + (a + 1) * c), k[5] = (a + 1) + (a - 1) * c - root;
            break;
        case RigFilterType::highshelf:
            k[0] = a * ((a + 1) + (a - 1) * c + root), k[1] = -2 * a * ((a - 1) + (a + 1) * c);
            k[2] = a * ((a + 1) + (a - 1) * c - root), k[3] = (a + 1) - (a - 1) * c + root;
            k[4] = 2 * ((a - 1) - (a + 1) * c), k[5] = (a + 1) - (a - 1) * c - root;
            break;
        case RigFilterType::highpass:
            k[0] = (1 + c) / 2, k[1] = -(1 + c), k[2] = (1 + c) / 2;
            k[3] = 1 + alpha, k[4] = -2 * c, k[5] = 1 - alpha;
            break;
        case RigFilterType::lowpass:
            k[0] = (1 - c) / 2, k[1] = 1 - c, k[2] = (1 - c) / 2;
            k[3] = 1 + alpha, k[4] = -2 * c, k[5] = 1 - alpha;
            break;
    }
    return Biquad{k[0] / k[3], k[1] / k[3], k[2] / k[3], k[4] / k[3], k[5] / k[3]};
}

}  // namespace

std::vector<double> RoomBandLevels(const std::vector<BandRow>& rows, double startFrequency,
                                   std::int64_t sweepFrames, std::int64_t delay, double rate) {
    std::vector<double> sums(rows.size(), 0.0), counts(rows.size(), 0.0);
    if (rows.empty() || sweepFrames <= 0) return sums;
    std::vector<Biquad> room;
    for (const RigFilter& filter : rigRoomFilters) room.push_back(Design(filter, rate));

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
