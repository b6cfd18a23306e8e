#include "room_response.h"

#include <algorithm>
#include <cmath>
#include <complex>
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

double RoomPower(std::span<const RigFilter> filters, double f, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    double power = 1.0;
    for (const RigFilter& filter : filters) {
        const Biquad b = Design(filter, rate);
        const std::complex<double> h =
            (b.b0 + b.b1 * z1 + b.b2 * z1 * z1) / (1.0 + b.a1 * z1 + b.a2 * z1 * z1);
        power *= std::norm(h);
    }
    return power;
}

std::vector<double> RoomBandLevels(const std::vector<BandRow>& rows,
                                   std::span<const RigFilter> filters, double sweptLow,
                                   double sweptHigh, double rate) {
    std::vector<double> levels(rows.size(), -INFINITY);
    double loudest = 0.0;
    std::vector<double> power(rows.size(), 0.0);
    for (std::size_t b = 0; b < rows.size(); ++b) {
        const double low = std::max(rows[b].low, sweptLow);
        const double high = std::min(rows[b].high, sweptHigh);
        if (!(high > low)) continue;
        // A fine uniform grid over the band's covered part.
        constexpr int kSteps = 4000;
        double sum = 0.0;
        for (int i = 0; i < kSteps; ++i) {
            sum += RoomPower(filters, low + (high - low) * (i + 0.5) / kSteps, rate);
        }
        power[b] = sum / kSteps;
        loudest = std::max(loudest, power[b]);
    }
    for (std::size_t b = 0; b < rows.size(); ++b) {
        if (power[b] > 0.0) levels[b] = 10.0 * std::log10(power[b] / loudest);
    }
    return levels;
}

double WorstBandError(const std::vector<BandRow>& rows, const std::vector<double>& expected) {
    if (rows.empty() || rows.size() != expected.size()) return INFINITY;
    double worst = 0.0;
    for (std::size_t b = 0; b < rows.size(); ++b) {
        worst = std::max(worst, std::fabs(rows[b].level - expected[b]));
    }
    return worst;
}
