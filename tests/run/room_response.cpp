#include "room_response.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>

#include <fftw3.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include "rig/room.h"
#include "signal/biquad.h"

std::complex<double> RoomResponse(std::span<const RigFilter> filters, double f, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    std::complex<double> response = 1.0;
    for (const RigFilter& filter : filters) {
        // The product's cookbook design, checked against the analogue
        // prototypes by the rig's tests.
        const std::optional<BiquadCoefficients> b = DesignBiquad(filter, rate);
        if (!b) return NAN;
        response *= (b->b0 + b->b1 * z1 + b->b2 * z1 * z1) / (1.0 + b->a1 * z1 + b->a2 * z1 * z1);
    }
    return response;
}

double RoomPower(std::span<const RigFilter> filters, double f, double rate) {
    return std::norm(RoomResponse(filters, f, rate));
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

namespace {

// The mean of samples over [low, high] at spacing, or NaN without a sample.
double MeanOver(const std::vector<double>& power, double spacing, double low, double high) {
    const auto first = static_cast<std::size_t>(std::ceil(low / spacing));
    const auto last = std::min(power.size() - 1, static_cast<std::size_t>(high / spacing));
    if (first > last) return NAN;
    double sum = 0.0;
    for (std::size_t k = first; k <= last; ++k) sum += power[k];
    return sum / static_cast<double>(last - first + 1);
}

}  // namespace

void ExpectImpulseFileReadsTheRoom(const ProgramRun& run, std::span<const RigFilter> filters,
                                   double sweptLow, double sweptHigh, int delayFrames,
                                   double toleranceDb) {
    const ImpulseFile file = ReadImpulseFile(run);
    ASSERT_TRUE(file.read);
    const std::vector<float>& samples = file.samples;
    ASSERT_EQ(file.cues.size(), 1u);
    const std::size_t zero = file.cues[0];
    EXPECT_EQ(zero, 48000u);
    ASSERT_GT(samples.size(), zero + static_cast<std::size_t>(delayFrames));
    std::size_t peak = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > std::fabs(samples[peak])) peak = i;
    }
    EXPECT_NEAR(static_cast<double>(peak), static_cast<double>(zero) + delayFrames, 3.0);

    // The whole file, padded to twice its length for a finer grid.
    const int n = 2 * static_cast<int>(samples.size());
    double* in = fftw_alloc_real(static_cast<std::size_t>(n));
    fftw_complex* out = fftw_alloc_complex(static_cast<std::size_t>(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    std::fill(in, in + n, 0.0);
    std::copy(samples.begin(), samples.end(), in);
    fftw_execute(plan);
    std::vector<double> power(static_cast<std::size_t>(n / 2 + 1));
    for (std::size_t k = 0; k < power.size(); ++k)
        power[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
    fftw_destroy_plan(plan);
    fftw_free(out);
    fftw_free(in);
    const double spacing = 48000.0 / n;

    // IEC third octaves: centres 10^(k/10) Hz, edges a twentieth of a decade
    // either side.
    const auto level = [&](double centre, bool fromFile) {
        const double low = std::max(centre / std::pow(10.0, 0.05), sweptLow);
        const double high = std::min(centre * std::pow(10.0, 0.05), sweptHigh);
        if (fromFile) return 10.0 * std::log10(MeanOver(power, spacing, low, high));
        constexpr int kSteps = 4000;
        double sum = 0.0;
        for (int i = 0; i < kSteps; ++i) {
            sum += RoomPower(filters, low + (high - low) * (i + 0.5) / kSteps, 48000);
        }
        return 10.0 * std::log10(sum / kSteps);
    };
    const double fileReference = level(1000.0, true);
    const double roomReference = level(1000.0, false);
    int bands = 0;
    for (int k = 0; k <= 45; ++k) {
        const double centre = std::pow(10.0, k / 10.0);
        if (centre < sweptLow || centre > sweptHigh) continue;
        EXPECT_NEAR(level(centre, true) - fileReference, level(centre, false) - roomReference,
                    toleranceDb)
            << centre << " Hz third octave";
        ++bands;
    }
    EXPECT_GT(bands, 25);
}
