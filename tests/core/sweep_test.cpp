#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "signal/sweep.h"

namespace {

constexpr std::int64_t kFrames = 528000;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::int64_t kSweep = kFrames - 2 * kLeadIn;
constexpr double kTurn = 6.28318;

struct Sweep {
    std::vector<std::int64_t> samples;
};

// The default run's sweep: 48000 Hz, 10 s plus two half-second silences,
// half of full scale, 18 Hz to 16175 Hz.
Sweep DefaultSweep() {
    Sweep s{std::vector<std::int64_t>(kFrames, 77)};
    MakeSweep(48000, s.samples, 18.0, 16175.0, kFrames, 0.5, kLeadIn);
    return s;
}

// The default sweep's nominal frequency at sweep sample j: a straight line
// from 18 Hz that reaches 16175 Hz one sample after the sweep's end.
double DefaultFrequency(std::int64_t j) {
    return 18.0 + (16175.0 - 18.0) * static_cast<double>(j) / static_cast<double>(kSweep);
}

// Local frequency in Hz of a sampled sine around index centre: for a pure
// tone x[n-1] + x[n+1] = 2 cos(omega) x[n]; solved by least squares over
// +-half samples.
double LocalFrequency(const std::vector<std::int64_t>& x, std::int64_t centre, std::int64_t half) {
    double cross = 0.0;
    double power = 0.0;
    for (std::int64_t n = centre - half; n <= centre + half; ++n) {
        const double v = static_cast<double>(x[n]);
        cross += v * (static_cast<double>(x[n - 1]) + static_cast<double>(x[n + 1]));
        power += v * v;
    }
    const double omega = std::acos(cross / (2.0 * power));
    return omega * 48000.0 / kTurn;
}

TEST(Sweep, DefaultRunValues) {
    const Sweep s = DefaultSweep();
    EXPECT_EQ(s.samples[24000], 0);
    EXPECT_EQ(s.samples[24001], 9891);
    EXPECT_EQ(s.samples[24100], 1068745);
    EXPECT_EQ(s.samples[25000], -4145224);
}

TEST(Sweep, SilencesAndBounds) {
    const Sweep s = DefaultSweep();
    std::int64_t largest = 0;
    for (std::int64_t i = 0; i < kFrames; ++i) {
        if (i < kLeadIn || i >= kLeadIn + kSweep) {
            ASSERT_EQ(s.samples[i], 0) << i;
        }
        ASSERT_LE(std::abs(s.samples[i]), 4194304) << i;
        largest = std::max(largest, std::abs(s.samples[i]));
    }
    EXPECT_GT(largest, 4194000);
}

TEST(Sweep, SamplesFollowTheIntegralOfTheTrack) {
    // Independent closed form: the phase of a linear chirp is
    // w * (f0 * j + slope * j^2 / 2).
    const Sweep s = DefaultSweep();
    const double w = kTurn / 48000.0;
    const double slope = 16157.0 / 480000.0;
    std::int64_t worst = 0;
    for (std::int64_t j = 0; j < kSweep; ++j) {
        const long double x = j;
        const long double phase = w * (18.0L * x + slope * x * x / 2.0L);
        const auto expected = static_cast<std::int64_t>(std::sin(phase) * 4194304.0L);
        worst = std::max(worst, std::abs(s.samples[kLeadIn + j] - expected));
    }
    EXPECT_LE(worst, 1);
}

TEST(Sweep, InstantaneousFrequencyRisesLinearly) {
    // A phase taken as (frequency at j) * j would make the tone rise twice
    // as fast; measured at points along the sweep, the tone's frequency
    // must equal the straight line's value there.
    const Sweep s = DefaultSweep();
    for (std::int64_t j : {2000, 30000, 120000, 240000, 360000, 450000, 479000}) {
        const double measured = LocalFrequency(s.samples, kLeadIn + j, 200);
        const double expected = DefaultFrequency(j);
        EXPECT_NEAR(measured, expected, 0.002 * expected + 1.0) << "sweep sample " << j;
    }
}

TEST(Sweep, SteadyToneWhenStartEqualsEnd) {
    std::vector<std::int64_t> samples(20000);
    MakeSweep(48000, samples, 1000.0, 1000.0, 20000, 0.5, 1000);
    for (std::int64_t j : {500, 9000, 17000}) {
        EXPECT_NEAR(LocalFrequency(samples, 1000 + j, 300), 1000.0, 0.5) << j;
    }
}

TEST(Sweep, NoLeadIn) {
    std::vector<std::int64_t> samples(4800, 77);
    MakeSweep(48000, samples, 100.0, 1000.0, 4800, 0.5, 0);
    EXPECT_EQ(samples[0], 0);  // phase 0
    EXPECT_GT(samples[1], 0);
    EXPECT_NE(samples[4799], 77);
    EXPECT_NEAR(LocalFrequency(samples, 2400, 100), 550.0, 2.0);
}

TEST(Sweep, NoSweepWhenTheSilencesFillTheBuffer) {
    for (std::int64_t frames : {2000, 1500, 1000}) {
        std::vector<std::int64_t> samples(frames, 77);
        MakeSweep(48000, samples, 18.0, 16175.0, frames, 0.5, 1000);
        for (std::int64_t i = 0; i < frames; ++i) {
            ASSERT_EQ(samples[i], 0) << frames << " " << i;
        }
    }
}

TEST(Sweep, TruncatesTowardZero) {
    // Peak 2.9: samples reach 2 and -2, never -3 as flooring would give.
    std::vector<std::int64_t> samples(4800);
    MakeSweep(48000, samples, 1000.0, 1000.0, 4800, 2.9 / 8388608.0, 0);
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), 2);
    EXPECT_EQ(*std::min_element(samples.begin(), samples.end()), -2);
    // Peak 0.9: every sample truncates to 0.
    MakeSweep(48000, samples, 1000.0, 1000.0, 4800, 0.9 / 8388608.0, 0);
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), 0);
    EXPECT_EQ(*std::min_element(samples.begin(), samples.end()), 0);
}

TEST(Sweep, NonFiniteInputsGiveSilence) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::uint64_t rate;
        double start, end, amplitude;
    };
    for (const Case& c : {Case{48000, 18.0, 16175.0, nan}, Case{48000, 18.0, 16175.0, inf},
                          Case{48000, nan, 16175.0, 0.5}, Case{48000, 18.0, inf, 0.5},
                          Case{0, 18.0, 16175.0, 0.5}}) {
        std::vector<std::int64_t> samples(1000, 77);
        MakeSweep(c.rate, samples, c.start, c.end, 1000, c.amplitude, 100);
        for (std::int64_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(samples[i], 0) << c.rate << " " << c.amplitude << " " << i;
        }
    }
    // A huge finite amplitude saturates instead of overflowing.
    std::vector<std::int64_t> samples(100);
    MakeSweep(48000, samples, 1000.0, 1000.0, 100, 1e300, 0);
    EXPECT_EQ(samples[1], std::numeric_limits<std::int64_t>::max());
}

TEST(Sweep, CountsBeyondTheArraysAreClamped) {
    // frameCount larger than the array: the array is filled, nothing more.
    std::vector<std::int64_t> sampleStore(110, 77);
    MakeSweep(48000, std::span(sampleStore).first(100), 1000.0, 2000.0,
              std::numeric_limits<std::int64_t>::max(), 0.5, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(sampleStore[i], 0) << i;
    }
    EXPECT_NE(sampleStore[99], 77);
    for (int i = 100; i < 110; ++i) {
        EXPECT_EQ(sampleStore[i], 77) << i;
    }

    // Negative and oversized lead-ins behave as 0 and as the whole buffer.
    std::vector<std::int64_t> samples(100, 77);
    MakeSweep(48000, samples, 1000.0, 2000.0, 100, 0.5, -5);
    EXPECT_EQ(samples[0], 0);
    EXPECT_NE(samples[1], 0);
    MakeSweep(48000, samples, 1000.0, 2000.0, 100, 0.5, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(std::count(samples.begin(), samples.end(), 0), 100);
    // A negative frame count writes nothing.
    std::fill(samples.begin(), samples.end(), 77);
    MakeSweep(48000, samples, 1000.0, 2000.0, -100, 0.5, 0);
    EXPECT_EQ(std::count(samples.begin(), samples.end(), 77), 100);
}

}  // namespace
