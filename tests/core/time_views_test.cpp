#include "analysis/time_views.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr double kPi = std::numbers::pi;

// A flat response at 1/96-octave points over 20 Hz..20 kHz.
std::vector<ResponsePoint> FlatPoints() {
    std::vector<ResponsePoint> points;
    for (double f = 20.0; f <= 20000.0; f *= std::pow(2.0, 1.0 / 96.0))
        points.push_back({f, 0.0, 0.0});
    return points;
}

// Impulses at delays (ms after the direct sound at 20 ms) with amplitudes,
// over 2.6 s, with white noise of the given RMS.
std::vector<float> Impulses(const std::vector<std::pair<double, double>>& taps, double noise,
                            std::size_t length = 124800) {
    std::vector<float> ir(length, 0.0f);
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0.0, noise);
    for (float& v : ir) v = static_cast<float>(noise > 0.0 ? gauss(random) : 0.0);
    for (const auto& [ms, amplitude] : taps) {
        const auto n = static_cast<std::size_t>(std::lround(960.0 + ms * kRate / 1000.0));
        if (n < ir.size()) ir[n] += static_cast<float>(amplitude);
    }
    return ir;
}

struct ReflectionCase {
    std::vector<std::pair<double, double>> taps;  // ms, amplitude (the first the direct sound)
    double noise;
};

TEST(TimeViewsReflections, EachReflectionAtItsDelayAndLevelAndNoOther) {
    const ReflectionCase cases[] = {
        {{{0.0, 1.0}, {1.5, 0.7}, {7.3, 0.35}, {23.0, 0.5}, {41.0, 0.15}}, 0.0},
        {{{0.0, 0.5}, {3.0, 0.4}, {4.0, 0.2}, {49.0, 0.1}}, 1e-4},
        {{{0.0, 1.0}, {12.0, 0.8}, {60.0, 0.9}}, 1e-3},  // the one at 60 ms is outside
        {{{0.0, 1.0}, {10.0, 0.05}}, 1e-4},              // -26 dB: below the threshold
    };
    for (const ReflectionCase& c : cases) {
        const std::vector<float> ir = Impulses(c.taps, c.noise);
        const TimeViews views = ComputeTimeViews(ir, 960.0, kRate, FlatPoints(), 20.0, 20000.0);
        ASSERT_EQ(views.reflectionsGap, TimeGap::kNone);
        std::vector<std::pair<double, double>> expected;
        for (std::size_t i = 1; i < c.taps.size(); ++i) {
            const double db = 20.0 * std::log10(c.taps[i].second / c.taps[0].second);
            if (c.taps[i].first <= 50.0 && db >= -20.0) expected.push_back({c.taps[i].first, db});
        }
        ASSERT_EQ(views.reflections.size(), expected.size()) << c.taps[1].first;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NEAR(views.reflections[i].seconds * 1000.0, expected[i].first, 0.05);
            EXPECT_NEAR(views.reflections[i].levelDb, expected[i].second, 1.0);
            EXPECT_NEAR(views.reflections[i].metres, expected[i].first * 0.343, 0.02);
        }
        if (expected.empty()) {
            EXPECT_EQ(views.initialGapGap, TimeGap::kNoReflection);
        } else {
            ASSERT_TRUE(views.initialGapSeconds);
            EXPECT_NEAR(*views.initialGapSeconds * 1000.0, expected[0].first, 0.05);
        }
        ASSERT_TRUE(views.noiseFloorDb);
        EXPECT_LT(*views.noiseFloorDb, -40.0);
    }
}

// Reflections on a diffuse tail as loud as a living room's (white noise
// 28 dB below the direct sound per sample from 15 ms on, falling 60 dB in
// 0.45 s): the reflections are listed, the tail's own peaks, which reach
// above -20 dB, are not.
TEST(TimeViewsReflections, PeaksOfADiffuseTailAreNotReflections) {
    const std::vector<std::pair<double, double>> taps = {{0.0, 1.0},  {3.4, 0.5},   {6.2, 0.4},
                                                         {9.4, 0.32}, {13.2, 0.25}, {30.0, 0.4}};
    std::vector<float> ir = Impulses(taps, 1e-5);
    std::mt19937 random(14);
    std::normal_distribution<double> gauss(0.0, std::pow(10.0, -28.0 / 20.0));
    const std::size_t tailStart = 960 + 720;
    for (std::size_t n = tailStart; n < tailStart + 28800; ++n) {
        const double t = static_cast<double>(n - tailStart) / kRate;
        ir[n] += static_cast<float>(gauss(random) * std::pow(10.0, -3.0 * t / 0.45));
    }
    const TimeViews views = ComputeTimeViews(ir, 960.0, kRate, FlatPoints(), 20.0, 20000.0);
    ASSERT_EQ(views.reflectionsGap, TimeGap::kNone);
    std::string listed;
    for (const Reflection& r : views.reflections)
        listed += " " + std::to_string(r.seconds * 1000.0) + " ms " + std::to_string(r.levelDb);
    ASSERT_EQ(views.reflections.size(), taps.size() - 1) << listed;
    for (std::size_t i = 1; i < taps.size(); ++i) {
        EXPECT_NEAR(views.reflections[i - 1].seconds * 1000.0, taps[i].first, 0.05);
        EXPECT_NEAR(views.reflections[i - 1].levelDb, 20.0 * std::log10(taps[i].second), 1.0);
    }
}

// The cookbook peaking filter's coefficients (a0 = 1).
struct Peaking {
    double b0, b1, b2, a1, a2;
};
Peaking PeakingFilter(double f0, double q, double gainDb) {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double w = 2.0 * kPi * f0 / kRate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha / a;
    return {(1.0 + alpha * a) / a0, -2.0 * std::cos(w) / a0, (1.0 - alpha * a) / a0,
            -2.0 * std::cos(w) / a0, (1.0 - alpha / a) / a0};
}

struct ModeCase {
    double f0, q, gainDb, noise;
};

TEST(TimeViewsModes, DecayOfAResonanceFromItsPoles) {
    const ModeCase cases[] = {
        {40.0, 1.0, 24.0, 0.0},   {63.0, 2.0, 20.0, 1e-5}, {100.0, 2.5, 16.0, 0.0},
        {150.0, 8.0, 18.0, 1e-5}, {220.0, 6.0, 24.0, 0.0}, {80.0, 3.0, 30.0, 1e-6},
        {30.0, 1.5, 20.0, 1e-4},  {45.0, 4.0, 15.0, 3e-4}, {120.0, 10.0, 12.0, 1e-4},
        {280.0, 5.0, 20.0, 1e-4}, {55.0, 6.0, 20.0, 1e-3}, {55.0, 6.0, 20.0, 0.0},
        {55.0, 6.0, 20.0, 1e-4},
    };
    for (const ModeCase& c : cases) {
        const Peaking p = PeakingFilter(c.f0, c.q, c.gainDb);
        // Complex poles: z^2 + a1 z + a2 = 0, radius sqrt(a2).
        ASSERT_GT(p.a1 * p.a1, 0.0);
        ASSERT_LT(p.a1 * p.a1, 4.0 * p.a2);
        const double truth = 3.0 * std::log(10.0) / (-kRate * std::log(std::sqrt(p.a2)));
        ASSERT_GE(truth, 0.1) << c.f0;
        ASSERT_LE(truth, 1.5);
        std::vector<float> ir = Impulses({}, c.noise);
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (std::size_t n = 960; n < ir.size(); ++n) {
            const double x = n == 960 ? 1.0 : 0.0;
            const double y = p.b0 * x + p.b1 * x1 + p.b2 * x2 - p.a1 * y1 - p.a2 * y2;
            x2 = x1, x1 = x, y2 = y1, y1 = y;
            ir[n] += static_cast<float>(y);
        }
        std::vector<ResponsePoint> points = FlatPoints();
        for (ResponsePoint& point : points) {
            const std::complex<double> z = std::polar(1.0, -2.0 * kPi * point.frequency / kRate);
            point.magnitudeDb = 20.0 * std::log10(std::abs((p.b0 + p.b1 * z + p.b2 * z * z) /
                                                           (1.0 + p.a1 * z + p.a2 * z * z)));
        }
        const TimeViews views = ComputeTimeViews(ir, 960.0, kRate, points, 20.0, 20000.0);
        ASSERT_EQ(views.modesGap, TimeGap::kNone);
        ASSERT_FALSE(views.modes.empty()) << c.f0;
        const RoomMode& mode = views.modes.front();
        EXPECT_NEAR(mode.frequency, c.f0, 0.02 * c.f0);
        ASSERT_TRUE(mode.t60) << c.f0 << " Hz: " << static_cast<int>(mode.gap);
        EXPECT_NEAR(*mode.t60, truth, 0.1 * truth) << c.f0 << " Hz Q " << c.q;
        EXPECT_NEAR(mode.levelDb, c.gainDb - views.meanLevelDb, 0.5);
    }
}

TEST(TimeViewsRefusals, HostileOrShortOrNoisyResponsesSayWhy) {
    const std::vector<ResponsePoint> points = FlatPoints();
    EXPECT_EQ(ComputeTimeViews({}, 0.0, kRate, points, 20.0, 20000.0).gap, TimeGap::kBadInput);
    std::vector<float> nan = Impulses({{0.0, 1.0}}, 0.0);
    nan[5000] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ComputeTimeViews(nan, 960.0, kRate, points, 20.0, 20000.0).gap, TimeGap::kBadInput);
    const std::vector<float> one = Impulses({{0.0, 1.0}}, 0.0);
    EXPECT_EQ(ComputeTimeViews(one, 1e9, kRate, points, 20.0, 20000.0).gap, TimeGap::kBadInput);
    EXPECT_EQ(ComputeTimeViews(one, 960.0, std::nan(""), points, 20.0, 20000.0).gap,
              TimeGap::kBadInput);

    // 30 ms after the direct sound: too short for reflections and waterfall.
    const std::vector<float> shortIr = Impulses({{0.0, 1.0}, {10.0, 0.5}}, 0.0, 960 + 1440);
    const TimeViews brief = ComputeTimeViews(shortIr, 960.0, kRate, points, 20.0, 20000.0);
    EXPECT_EQ(brief.reflectionsGap, TimeGap::kTooShort);
    EXPECT_EQ(brief.initialGapGap, TimeGap::kTooShort);
    EXPECT_TRUE(brief.waterfall.levels.empty());
    EXPECT_FALSE(brief.noiseFloorDb);

    // Noise as strong as the reflections: none listed, the reason given.
    const std::vector<float> noisy = Impulses({{0.0, 1.0}, {10.0, 0.5}}, 0.2);
    const TimeViews loud = ComputeTimeViews(noisy, 960.0, kRate, points, 20.0, 20000.0);
    EXPECT_EQ(loud.reflectionsGap, TimeGap::kTooNoisy);
    EXPECT_TRUE(loud.reflections.empty());

    // A mode buried in noise has no decay time.
    std::vector<ResponsePoint> peaked = points;
    for (ResponsePoint& point : peaked) {
        if (std::fabs(point.frequency - 100.0) < 3.0) point.magnitudeDb = 10.0;
    }
    const std::vector<float> buried = Impulses({{0.0, 1.0}}, 0.01);
    const TimeViews noise = ComputeTimeViews(buried, 960.0, kRate, peaked, 20.0, 20000.0);
    ASSERT_FALSE(noise.modes.empty());
    EXPECT_FALSE(noise.modes.front().t60);
    EXPECT_NE(noise.modes.front().gap, TimeGap::kNone);
}

}  // namespace
