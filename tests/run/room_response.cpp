#include "room_response.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <optional>

#include <gtest/gtest.h>

#include "rig/room.h"
#include "signal/biquad.h"

double RoomPower(std::span<const RigFilter> filters, double f, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    double power = 1.0;
    for (const RigFilter& filter : filters) {
        // The product's cookbook design, checked against the analogue
        // prototypes by the rig's tests.
        const std::optional<BiquadCoefficients> b = DesignBiquad(filter, rate);
        if (!b) return NAN;
        const std::complex<double> h =
            (b->b0 + b->b1 * z1 + b->b2 * z1 * z1) / (1.0 + b->a1 * z1 + b->a2 * z1 * z1);
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

void ExpectEveryPresetReadsTheRoom(
    const std::function<ProgramRun(const std::string& commands)>& run,
    std::span<const RigFilter> filters) {
    for (int preset = 1; preset <= 5; ++preset) {
        SCOPED_TRACE("preset " + std::to_string(preset));
        const ProgramRun result = run("p " + std::to_string(preset) + "\nr");
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        const std::vector<BandRow> rows = TableRows(TableText(result.out));
        ASSERT_FALSE(rows.empty()) << result.out;
        const double start = preset == 5 ? 300 : 18;
        const std::vector<double> truth =
            RoomBandLevels(rows, filters, start, rows.back().high, 48000);
        EXPECT_LE(WorstBandError(rows, truth), 0.5) << TableText(result.out);
        for (const BandRow& row : rows) {
            if (filters.empty()) {
                EXPECT_EQ(row.level, 0.0) << "band " << row.band;
            }
        }
    }
}
