#include "analysis/correction.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

std::optional<BiquadCoefficients> CorrectionBiquad(const PeakingFilter& filter) {
    return DesignBiquad({BiquadType::peaking, filter.frequency, filter.gainDb, filter.q},
                        kCorrectionRate);
}

double CorrectionGainDb(std::span<const PeakingFilter> filters, double frequency) {
    const std::complex<double> z1 =
        std::polar(1.0, -2.0 * std::numbers::pi * frequency / kCorrectionRate);
    double level = 0.0;
    for (const PeakingFilter& filter : filters) {
        const std::optional<BiquadCoefficients> b = CorrectionBiquad(filter);
        if (!b) continue;
        const std::complex<double> h =
            (b->b0 + b->b1 * z1 + b->b2 * z1 * z1) / (1.0 + b->a1 * z1 + b->a2 * z1 * z1);
        level += 10.0 * std::log10(std::norm(h));
    }
    return level;
}

double LargestBoostDb(std::span<const PeakingFilter> filters) {
    // A peaking filter's largest level is at its centre; in series they
    // may add up between centres, so the whole band is scanned as well.
    double largest = 0.0;
    for (const PeakingFilter& filter : filters) {
        largest = std::max(largest, CorrectionGainDb(filters, filter.frequency));
    }
    for (double f = 10.0; f < kCorrectionRate / 2; f *= std::exp2(1.0 / 96.0)) {
        largest = std::max(largest, CorrectionGainDb(filters, f));
    }
    return largest;
}
