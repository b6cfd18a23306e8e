// The exponential sweep against its definition: frequency
// low * (high / low)^(j / N) at sweep sample j of N, equal time per octave,
// half-cosine fades at both ends, silence around it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "signal/log_sweep.h"

namespace {

constexpr double kRate = 48000.0;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::int64_t kSweep = 480000;
constexpr std::int64_t kFrames = kSweep + 2 * kLeadIn;
constexpr double kPeak = 0.5 * 8388608.0;

struct Made {
    LogSweep plan;
    std::vector<std::int64_t> samples;
};

// The default run's bands, 18 Hz to 16175 Hz, over a 10 s sweep.
Made DefaultSweep() {
    Made m{PlanLogSweep(18.0, 16175.0, kRate, kSweep), std::vector<std::int64_t>(kFrames, 77)};
    MakeLogSweep(m.plan, m.samples, kFrames, 0.5, kLeadIn);
    return m;
}

// The frequency at sweep sample j from the range alone.
double Nominal(double low, double high, double j) {
    return low * std::pow(high / low, j / static_cast<double>(kSweep));
}

// Local frequency of a sampled tone around centre: x[n-1] + x[n+1] =
// 2 cos(omega) x[n], solved by least squares over +-half samples.
double LocalFrequency(const std::vector<std::int64_t>& x, std::int64_t centre, std::int64_t half) {
    double cross = 0.0;
    double power = 0.0;
    for (std::int64_t n = centre - half; n <= centre + half; ++n) {
        const auto v = static_cast<double>(x[n]);
        cross += v * (static_cast<double>(x[n - 1]) + static_cast<double>(x[n + 1]));
        power += v * v;
    }
    return std::acos(cross / (2.0 * power)) * kRate / (2.0 * std::numbers::pi);
}

// Largest magnitude over samples [from, to) of the sweep.
double Envelope(const Made& m, std::int64_t from, std::int64_t to) {
    std::int64_t largest = 0;
    for (std::int64_t j = from; j < to; ++j) {
        largest = std::max(largest, std::abs(m.samples[kLeadIn + j]));
    }
    return static_cast<double>(largest);
}

TEST(LogSweepPlan, RangeFromTheBandsAndTheRate) {
    struct Case {
        double start, end, rate;
        double low, high;
    };
    const Case cases[] = {
        {18.0, 16175.0, 48000.0, 9.0, 22800.0},  // twice the end is above 0.95 of 24 kHz
        {300.0, 5000.0, 48000.0, 150.0, 10000.0},
        {100.0, 11400.0, 48000.0, 50.0, 22800.0},  // both limits agree
        {20.0, 20000.0, 96000.0, 10.0, 40000.0},
        {1000.0, 1000.0, 48000.0, 500.0, 2000.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        const LogSweep plan = PlanLogSweep(c.start, c.end, c.rate, kSweep);
        ASSERT_TRUE(plan.usable);
        EXPECT_DOUBLE_EQ(plan.low, c.low);
        EXPECT_DOUBLE_EQ(plan.high, c.high);
        // Over the sweep's duration the frequency grows by high / low.
        EXPECT_NEAR(std::exp(kSweep / c.rate / plan.rateConstant), c.high / c.low,
                    1e-9 * c.high / c.low);
    }
}

TEST(LogSweepPlan, UnusableRangesAndLengths) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double start, end, rate;
        std::int64_t frames;
    };
    const Case cases[] = {
        {0.0, 16175.0, 48000.0, kSweep},     {-18.0, 16175.0, 48000.0, kSweep},
        {nan, 16175.0, 48000.0, kSweep},     {18.0, nan, 48000.0, kSweep},
        {18.0, inf, 48000.0, kSweep},        {18.0, 16175.0, 0.0, kSweep},
        {18.0, 16175.0, nan, kSweep},        {18.0, 16175.0, 48000.0, 15},
        {18.0, 16175.0, 48000.0, -1},        {100.0, 20.0, 48000.0, kSweep},  // falls
        {50000.0, 60000.0, 48000.0, kSweep},  // half the start above the top
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(PlanLogSweep(c.start, c.end, c.rate, c.frames).usable)
            << c.start << " " << c.end << " " << c.rate << " " << c.frames;
    }
}

TEST(LogSweep, InstantaneousFrequencyFollowsTheExponential) {
    const Made m = DefaultSweep();
    // One sample after the last, the frequency would reach the top.
    EXPECT_NEAR(Nominal(9.0, 22800.0, kSweep), 22800.0, 1e-6);
    // From a quarter octave in, where the fade has ended, to the top; each
    // over about one cycle of the tone.
    for (std::int64_t j : {30000, 60000, 120000, 200000, 300000, 400000, 460000, 476000}) {
        const double expected = Nominal(9.0, 22800.0, j);
        const auto half = std::max<std::int64_t>(10, std::llround(kRate / expected / 2.0));
        const double measured = LocalFrequency(m.samples, kLeadIn + j, half);
        EXPECT_NEAR(measured, expected, 0.005 * expected) << "sweep sample " << j;
    }
}

TEST(LogSweep, SilenceAroundAndFullLevelBetweenTheFades) {
    const Made m = DefaultSweep();
    for (std::int64_t i = 0; i < kFrames; ++i) {
        if (i < kLeadIn || i >= kLeadIn + kSweep) {
            ASSERT_EQ(m.samples[i], 0) << i;
        }
        ASSERT_LE(std::abs(m.samples[i]), kPeak) << i;
    }
    // Between the fades the peaks reach the amplitude (each stretch holds
    // several cycles).
    for (std::int64_t j : {60000, 200000, 470000}) {
        EXPECT_GT(Envelope(m, j, j + 6000), 0.999 * kPeak) << j;
    }
}

TEST(LogSweep, HalfCosineFadesAtBothEnds) {
    const Made m = DefaultSweep();
    const double perOctave = kSweep * std::numbers::ln2 / std::log(22800.0 / 9.0);
    // The fade-in lasts a quarter octave, the fade-out a twenty-fourth.
    const double fadeIn = perOctave / 4.0;
    const double fadeOut = perOctave / 24.0;
    EXPECT_NEAR(static_cast<double>(m.plan.fadeInFrames), fadeIn, 1.0);
    EXPECT_NEAR(static_cast<double>(m.plan.fadeOutFrames), fadeOut, 1.0);
    EXPECT_EQ(m.samples[kLeadIn], 0);
    for (std::int64_t j = 0; j < kSweep; ++j) {
        double envelope = 1.0;
        if (j < fadeIn) envelope = std::pow(std::sin(std::numbers::pi / 2 * j / fadeIn), 2);
        const double left = kSweep - j;
        if (left < fadeOut) envelope = std::pow(std::sin(std::numbers::pi / 2 * left / fadeOut), 2);
        // A fraction of a sample's worth of the fade's own slope besides
        // the truncation.
        ASSERT_LE(std::abs(m.samples[kLeadIn + j]), envelope * kPeak + 0.002 * kPeak + 1.0) << j;
    }
    // Over one cycle the tone reaches its peak, so the largest sample is at
    // least the amplitude times the envelope's least value in that cycle.
    // Near half the rate the samples come close to the peak only over a beat
    // of the tone against half the rate (under 50 samples here).
    const auto cycle = [](double frequency) {
        return std::max<std::int64_t>(64, std::ceil(kRate / frequency) + 1);
    };
    for (double share : {0.25, 0.5, 0.75}) {
        SCOPED_TRACE(share);
        const auto inStart = static_cast<std::int64_t>(share * fadeIn);
        const std::int64_t inCycle = cycle(Nominal(9.0, 22800.0, inStart));
        const double inLeast = std::pow(std::sin(std::numbers::pi / 2 * inStart / fadeIn), 2);
        EXPECT_GE(Envelope(m, inStart, inStart + inCycle), 0.999 * inLeast * kPeak - 1.0);
        EXPECT_LT(inLeast, 0.9);
        const auto outEnd = static_cast<std::int64_t>(kSweep - share * fadeOut);
        const std::int64_t outCycle = cycle(Nominal(9.0, 22800.0, outEnd));
        const double outLeast = std::pow(std::sin(std::numbers::pi / 2 * share), 2);
        EXPECT_GE(Envelope(m, outEnd - outCycle, outEnd), 0.99 * outLeast * kPeak - 1.0);
    }
    // Where the fade-out begins, the frequency is a 24th of an octave below
    // the top.
    EXPECT_NEAR(m.plan.FadeOutFrequency(), 22800.0 * std::exp2(-1.0 / 24.0), 1.0);
}

TEST(LogSweep, UnusableSweepIsSilence) {
    std::vector<std::int64_t> samples(1000, 77);
    MakeLogSweep(PlanLogSweep(0.0, 1000.0, kRate, 800), samples, 1000, 0.5, 100);
    for (std::int64_t s : samples) ASSERT_EQ(s, 0);
}

TEST(LogSweep, CountsBeyondTheArraysAreClamped) {
    const LogSweep plan = PlanLogSweep(100.0, 1000.0, kRate, 1000000);
    std::vector<std::int64_t> store(110, 77);
    MakeLogSweep(plan, std::span(store).first(100), std::numeric_limits<std::int64_t>::max(), 0.5,
                 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(store[i], 0) << i;
    EXPECT_NE(store[99], 77);
    for (int i = 100; i < 110; ++i) EXPECT_EQ(store[i], 77) << i;
    // A lead-in longer than the buffer leaves it silent.
    std::vector<std::int64_t> samples(100, 77);
    MakeLogSweep(plan, samples, 100, 0.5, 500);
    for (std::int64_t s : samples) ASSERT_EQ(s, 0);
}

}  // namespace
