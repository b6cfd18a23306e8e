#include "signal/biquad.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

std::optional<BiquadCoefficients> DesignBiquad(const BiquadSpec& filter, double rate) {
    if (!std::isfinite(rate) || !(rate > 0) || !(filter.freq > 0) || !(filter.freq < rate / 2) ||
        !(filter.q > 0) || !std::isfinite(filter.gain) || !std::isfinite(filter.q))
        return std::nullopt;
    const double w0 = 2.0 * std::numbers::pi * filter.freq / rate;
    const double cw = std::cos(w0);
    const double alpha = std::sin(w0) / (2.0 * filter.q);
    const double a = std::pow(10.0, filter.gain / 40.0);
    const double sa = 2.0 * std::sqrt(a) * alpha;
    double b0 = 1, b1 = 0, b2 = 0, a0 = 1, a1 = 0, a2 = 0;
    switch (filter.type) {
        case BiquadType::peaking:
            b0 = 1 + alpha * a, b1 = -2 * cw, b2 = 1 - alpha * a;
            a0 = 1 + alpha / a, a1 = -2 * cw, a2 = 1 - alpha / a;
            break;
        case BiquadType::lowshelf:
            b0 = a * ((a + 1) - (a - 1) * cw + sa), b1 = 2 * a * ((a - 1) - (a + 1) * cw);
            b2 = a * ((a + 1) - (a - 1) * cw - sa);
            a0 = (a + 1) + (a - 1) * cw + sa, a1 = -2 * ((a - 1) + (a + 1) * cw);
            a2 = (a + 1) + (a - 1) * cw - sa;
            break;
        case BiquadType::highshelf:
            b0 = a * ((a + 1) + (a - 1) * cw + sa), b1 = -2 * a * ((a - 1) + (a + 1) * cw);
            b2 = a * ((a + 1) + (a - 1) * cw - sa);
            a0 = (a + 1) - (a - 1) * cw + sa, a1 = 2 * ((a - 1) - (a + 1) * cw);
            a2 = (a + 1) - (a - 1) * cw - sa;
            break;
        case BiquadType::highpass:
            b0 = (1 + cw) / 2, b1 = -(1 + cw), b2 = (1 + cw) / 2;
            a0 = 1 + alpha, a1 = -2 * cw, a2 = 1 - alpha;
            break;
        case BiquadType::lowpass:
            b0 = (1 - cw) / 2, b1 = 1 - cw, b2 = (1 - cw) / 2;
            a0 = 1 + alpha, a1 = -2 * cw, a2 = 1 - alpha;
            break;
        default:
            return std::nullopt;
    }
    const BiquadCoefficients c{b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
    if (!std::isfinite(c.b0) || !std::isfinite(c.b1) || !std::isfinite(c.b2) ||
        !std::isfinite(c.a1) || !std::isfinite(c.a2))
        return std::nullopt;
    return c;
}

double FilterSamples(std::span<const BiquadCoefficients> sections, double gain,
                     std::span<const std::int64_t> input, std::span<std::int64_t> output,
                     double limit) {
    std::vector<double> z1(sections.size(), 0.0), z2(sections.size(), 0.0);
    double largest = 0.0;
    const std::size_t count = std::min(input.size(), output.size());
    for (std::size_t n = 0; n < count; ++n) {
        double x = gain * static_cast<double>(input[n]);
        for (std::size_t k = 0; k < sections.size(); ++k) {
            const BiquadCoefficients& c = sections[k];
            const double y = c.b0 * x + z1[k];
            z1[k] = c.b1 * x - c.a1 * y + z2[k];
            z2[k] = c.b2 * x - c.a2 * y;
            x = y;
        }
        if (std::isnan(x)) x = 0.0;
        largest = std::max(largest, std::fabs(x));
        output[n] = static_cast<std::int64_t>(std::llround(std::clamp(x, -limit, limit)));
    }
    return largest;
}
