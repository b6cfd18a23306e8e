#include "analysis/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "analysis/band_plan.h"
#include "signal/sweep.h"
#include "test_room.h"

namespace {

using namespace test_room;

struct Preset {
    int bands;
    double q;
    double start;
};

constexpr Preset kPresets[] = {
    {31, 4.0, 18.0}, {12, 1.3, 18.0}, {20, 6.0, 18.0}, {8, 2.0, 18.0}, {16, 5.0, 300.0},
};

struct Plan {
    std::vector<double> lower;
    std::vector<double> upper;
    double end = 0.0;
};

Plan PlanOf(const Preset& preset) {
    Plan plan{std::vector<double>(preset.bands), std::vector<double>(preset.bands), 0.0};
    plan.end = FindHighFreq(preset.q, preset.bands, preset.start, plan.lower, plan.upper);
    return plan;
}

// Each band's level from the room's formula: the mean of |H|^2 at the
// frequencies k * rate / size inside the band and the swept range, relative
// to the loudest band.
std::vector<double> ExpectedLevels(const Room& room, const Plan& plan, double start,
                                   std::int64_t size) {
    std::vector<double> means;
    for (std::size_t b = 0; b < plan.lower.size(); ++b) {
        const double low = std::max(plan.lower[b], start);
        const double high = std::min(plan.upper[b], plan.end);
        double sum = 0.0;
        int count = 0;
        // Only the bins near the band need a look.
        const double spacing = kRate / static_cast<double>(size);
        const auto first = static_cast<std::int64_t>(std::max(0.0, std::floor(low / spacing) - 1));
        const auto last = std::min(size / 2, static_cast<std::int64_t>(high / spacing) + 1);
        for (std::int64_t k = first; k <= last; ++k) {
            const double f = static_cast<double>(k) * kRate / static_cast<double>(size);
            if (f >= low && f <= high) {
                sum += room.Power(f);
                ++count;
            }
        }
        means.push_back(count > 0 ? sum / count : 0.0);
    }
    const double loudest = *std::max_element(means.begin(), means.end());
    std::vector<double> levels;
    for (const double mean : means) levels.push_back(10.0 * std::log10(mean / loudest));
    return levels;
}

bool FiveSmooth(std::int64_t n) {
    for (const std::int64_t p : {2, 3, 5}) {
        while (n % p == 0) n /= p;
    }
    return n == 1;
}

// --- Band levels against the room's formula ---

struct RoomCase {
    const char* name;
    Room room;
    std::int64_t syncOffset;
};

TEST(TransferBands, EveryPresetMatchesTheRoomsFormula) {
    const RoomCase rooms[] = {
        {"flat", Flat(), 0},
        {"peak 63 Hz", Peak(63.0, 9.0, 4.0, 0.5), 300},
        {"dip 2 kHz, delayed", Delayed(Peak(2000.0, -12.0, 2.0, 0.8), 480), -120},
        {"high-pass 60 Hz", HighPass(60.0, 0.7), 1000},
        {"reflections", Reverberant(200, 40, 3), 50},
    };
    for (const Preset& preset : kPresets) {
        const Plan plan = PlanOf(preset);
        for (const RoomCase& c : rooms) {
            SCOPED_TRACE(testing::Message()
                         << c.name << ", " << preset.bands << " bands, Q " << preset.q);
            const Signals s = MakeTake(2.0, preset.start, plan.end, c.room, c.syncOffset);
            const TransferFunction h = ComputeTransfer(s.take);
            ASSERT_EQ(h.status, TransferStatus::Ok);
            EXPECT_TRUE(FiveSmooth(h.size));
            EXPECT_GE(h.size, static_cast<std::int64_t>(s.played.size()) + 48000);
            const std::vector<BandLevel> levels = BandLevels(h, plan.lower, plan.upper);
            const std::vector<double> expected = ExpectedLevels(c.room, plan, preset.start, h.size);
            ASSERT_EQ(levels.size(), expected.size());
            for (std::size_t b = 0; b < levels.size(); ++b) {
                EXPECT_FALSE(levels[b].missing) << "band " << b + 1;
                EXPECT_NEAR(levels[b].level, expected[b], 0.1) << "band " << b + 1;
            }
        }
    }
}

TEST(TransferBands, NoiseAndReverberation) {
    // Noise at -60 dBFS on the capture and a reverberant room, every preset.
    const Room room = Reverberant(300, 150, 11);
    for (const Preset& preset : kPresets) {
        SCOPED_TRACE(preset.bands);
        const Plan plan = PlanOf(preset);
        const Signals s = MakeTake(2.0, preset.start, plan.end, room, 200, -60.0);
        const TransferFunction h = ComputeTransfer(s.take);
        ASSERT_EQ(h.status, TransferStatus::Ok);
        const std::vector<BandLevel> levels = BandLevels(h, plan.lower, plan.upper);
        const std::vector<double> expected = ExpectedLevels(room, plan, preset.start, h.size);
        for (std::size_t b = 0; b < levels.size(); ++b) {
            EXPECT_NEAR(levels[b].level, expected[b], 0.1) << "band " << b + 1;
        }
    }
}

TEST(TransferBands, FlatLoopIsZeroInEveryBandWithoutSign) {
    const Plan plan = PlanOf(kPresets[0]);
    const Signals s = MakeTake(2.0, 18.0, plan.end, Flat());
    const TransferFunction h = ComputeTransfer(s.take);
    for (const BandLevel& band : BandLevels(h, plan.lower, plan.upper)) {
        EXPECT_FALSE(band.missing);
        EXPECT_NEAR(band.level, 0.0, 0.01);
    }
    // The loudest band is exactly 0, never -0.
    bool foundZero = false;
    for (const BandLevel& band : BandLevels(h, plan.lower, plan.upper)) {
        if (band.level == 0.0) {
            foundZero = true;
            EXPECT_FALSE(std::signbit(band.level));
        }
    }
    EXPECT_TRUE(foundZero);
}

struct EdgeBand {
    double lower;
    double upper;
    bool missing;
};

TEST(TransferBands, BandsOutsideTheSweptRangeOrWithoutABinAreMissing) {
    // Sweep 100 Hz to 8 kHz, flat loop.
    const Signals s = MakeTake(1.0, 100.0, 8000.0, Flat());
    const TransferFunction h = ComputeTransfer(s.take);
    ASSERT_EQ(h.status, TransferStatus::Ok);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double spacing = kRate / static_cast<double>(h.size);
    const EdgeBand bands[] = {
        {20.0, 50.0, true},                                      // wholly below
        {9000.0, 12000.0, true},                                 // wholly above
        {80.0, 120.0, false},                                    // partly below: measured inside
        {7000.0, 9000.0, false},                                 // partly above
        {1000.0 + 0.1 * spacing, 1000.0 + 0.9 * spacing, true},  // between two bins
        {nan, 500.0, true},
        {500.0, nan, true},
        {600.0, 500.0, true},                     // upside down
        {1000.0, 1000.0 + 1.5 * spacing, false},  // one or two bins
    };
    std::vector<double> lower, upper;
    for (const EdgeBand& band : bands) {
        lower.push_back(band.lower);
        upper.push_back(band.upper);
    }
    const std::vector<BandLevel> levels = BandLevels(h, lower, upper);
    ASSERT_EQ(levels.size(), std::size(bands));
    for (std::size_t b = 0; b < levels.size(); ++b) {
        const bool missing = bands[b].missing;
        EXPECT_EQ(levels[b].missing, missing) << "band " << b;
        if (missing) {
            EXPECT_EQ(levels[b].level, -std::numeric_limits<double>::infinity()) << "band " << b;
        } else {
            EXPECT_NEAR(levels[b].level, 0.0, 0.05) << "band " << b;
        }
    }
    // Only the shorter edge list counts.
    EXPECT_EQ(BandLevels(h, std::span(lower).first(3), upper).size(), 3u);
}

// --- Delay and impulse response ---

struct DelayCase {
    Room room;
    std::int64_t syncOffset;
    double samples;
};

TEST(TransferDelay, PureDelaysToAFractionOfASample) {
    Room halfway;
    halfway.taps = {{480, 0.5}, {481, 0.5}};
    const DelayCase cases[] = {
        {Delayed(Flat(), 480), 0, 480.0},    {Delayed(Flat(), 480), 311, 480.0},
        {Delayed(Flat(), 480), -900, 480.0}, {Flat(), 0, 0.0},
        {Delayed(Flat(), 48), 25, 48.0},     {halfway, 40, 480.5},
    };
    for (const DelayCase& c : cases) {
        SCOPED_TRACE(c.samples);
        const Signals s = MakeTake(1.0, 20.0, 16000.0, c.room, c.syncOffset);
        const TransferFunction h = ComputeTransfer(s.take);
        const Waveform response = ImpulseResponseOf(h);
        ASSERT_EQ(static_cast<std::int64_t>(response.size()), h.size);
        const Delay delay = FindDelay(response, kRate);
        EXPECT_NEAR(delay.samples, c.samples, 0.01);
        // 480 frames: 10.00 ms, 3.43 m.
        EXPECT_NEAR(delay.milliseconds, c.samples / 48.0, 0.0002);
        EXPECT_NEAR(delay.metres, 343.0 * c.samples / 48000.0, 0.0001);
    }
}

TEST(TransferImpulse, PeakWhereTheDelayPutsItWithThePreRingingKept) {
    const Signals s = MakeTake(1.0, 20.0, 16000.0, Delayed(Flat(), 480), 77);
    const TransferFunction h = ComputeTransfer(s.take);
    const Waveform response = ImpulseResponseOf(h);
    const Delay delay = FindDelay(response, kRate);
    const ImpulseResponse ir = CutImpulseResponse(response, kRate, delay.samples, 0.01, 1.0);
    EXPECT_EQ(ir.zeroIndex, 480);  // 10 ms before time zero
    EXPECT_GE(static_cast<std::int64_t>(ir.samples.size()), ir.zeroIndex + 480 + 48000);
    std::size_t peak = 0;
    for (std::size_t i = 0; i < ir.samples.size(); ++i) {
        if (std::fabs(ir.samples[i]) > std::fabs(ir.samples[peak])) peak = i;
    }
    EXPECT_EQ(static_cast<std::int64_t>(peak), ir.zeroIndex + 480);
    // A unit impulse limited to 20 Hz..16 kHz peaks at twice the band's share
    // of the sample rate.
    EXPECT_NEAR(ir.samples[peak], 2.0 * (16000.0 - 20.0) / kRate, 0.01);
    // The ringing of the band edges precedes the peak: the stretch before it
    // is not silent.
    double before = 0.0;
    for (std::size_t i = 0; i + 2 < peak; ++i)
        before = std::max(before, std::fabs(double(ir.samples[i])));
    EXPECT_GT(before, 1e-4);
    EXPECT_LT(before, 0.2 * ir.samples[peak]);
}

TEST(TransferImpulse, HostileCutsStayInsideTheResponse) {
    const std::vector<double> response = {0.0, 1.0, std::nan(""), 1e300, -1e300, 0.5, 0.25, 0.0};
    const double inf = std::numeric_limits<double>::infinity();
    const ImpulseResponse all = CutImpulseResponse(response, kRate, 1.0, inf, inf);
    EXPECT_EQ(all.samples.size(), response.size());
    for (const float value : all.samples) EXPECT_TRUE(std::isfinite(value));
    EXPECT_EQ(CutImpulseResponse(response, kRate, std::nan(""), std::nan(""), -1.0).samples.size(),
              1u);
    EXPECT_TRUE(CutImpulseResponse({}, kRate, 0.0, 0.0, 1.0).samples.empty());
    EXPECT_TRUE(CutImpulseResponse(response, std::nan(""), 0.0, 0.0, 1.0).samples.empty());
    EXPECT_EQ(FindDelay({}, kRate).samples, 0.0);
}

// --- The smoothed response ---

struct SmoothCase {
    const char* name;
    Room room;
    int pointsPerOctave;
};

TEST(TransferResponse, PointsFollowTheFilter) {
    const SmoothCase cases[] = {
        {"peak 1/96", Peak(250.0, 6.0, 3.0, 0.5), 96},
        {"high-pass 1/96", HighPass(50.0, 0.7), 96},
        {"peak 1/12", Peak(1000.0, -9.0, 1.0, 1.0), 12},
    };
    for (const SmoothCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Signals s = MakeTake(2.0, 20.0, 16000.0, c.room, 123);
        const TransferFunction h = ComputeTransfer(s.take);
        const std::vector<ResponsePoint> points = SmoothedResponse(h, c.pointsPerOctave);
        const auto expectedCount =
            static_cast<std::size_t>(std::floor(c.pointsPerOctave * std::log2(16000.0 / 20.0))) + 1;
        ASSERT_EQ(points.size(), expectedCount);
        EXPECT_DOUBLE_EQ(points.front().frequency, 20.0);
        EXPECT_LE(points.back().frequency, 16000.0);
        for (std::size_t i = 0; i < points.size(); ++i) {
            const ResponsePoint& p = points[i];
            if (i > 0) {
                EXPECT_NEAR(p.frequency / points[i - 1].frequency,
                            std::exp2(1.0 / c.pointsPerOctave), 1e-9);
            }
            EXPECT_NEAR(p.magnitudeDb, 10.0 * std::log10(c.room.Power(p.frequency)), 0.5)
                << p.frequency;
            EXPECT_GT(p.phaseDegrees, -180.0);
            EXPECT_LE(p.phaseDegrees, 180.0);
        }
    }
}

// A reflection 1 ms after the direct sound, nearly as loud: dips of -30 dB
// every 1 kHz, far narrower than a 1/96 octave up high.
Room Comb() {
    Room room;
    room.taps = {{0, 1.0}, {48, -0.97}};
    return room;
}

// The response points are H at their own frequencies: magnitude and phase of
// the room's complex response there, in its dips too, at every point from
// the start of the swept range to its end.
TEST(TransferResponse, PointsAreTheRoomsComplexResponseAtTheirFrequency) {
    const SmoothCase cases[] = {
        {"comb 1/96", Delayed(Comb(), 300), 96},
        {"cut of 30 dB 1/96", Peak(1000.0, -30.0, 3.0, 0.5), 96},
        {"high-pass 1/12", HighPass(50.0, 0.7), 12},
    };
    for (const SmoothCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Signals s = MakeTake(2.0, 20.0, 16000.0, c.room, 123);
        const TransferFunction h = ComputeTransfer(s.take);
        const std::vector<ResponsePoint> points = PointResponse(h, c.pointsPerOctave);
        const std::vector<ResponsePoint> smoothed = SmoothedResponse(h, c.pointsPerOctave);
        ASSERT_EQ(points.size(), smoothed.size());
        double deepest = 0.0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const ResponsePoint& p = points[i];
            EXPECT_EQ(p.frequency, smoothed[i].frequency);
            const std::complex<double> truth = c.room.At(p.frequency);
            EXPECT_NEAR(p.magnitudeDb, 20.0 * std::log10(std::abs(truth)), 0.1) << p.frequency;
            const double phase = std::arg(truth) * 180.0 / kPi;
            EXPECT_NEAR(std::remainder(p.phaseDegrees - phase, 360.0), 0.0, 1.0) << p.frequency;
            EXPECT_GT(p.phaseDegrees, -180.0);
            EXPECT_LE(p.phaseDegrees, 180.0);
            deepest = std::min(deepest, p.magnitudeDb);
        }
        EXPECT_LT(deepest, -12.0);  // the dips (the roll-off) were looked at
    }
}

// Power smoothing fills the comb's dips: at 1/96 octave above a few kHz a
// step spans a good part of the comb's period, so the smoothed curve stays
// well above the deepest points while H itself reaches them.
TEST(TransferResponse, SmoothingFillsTheDipsThatThePointsShow) {
    const Signals s = MakeTake(2.0, 20.0, 16000.0, Comb(), 0);
    const TransferFunction h = ComputeTransfer(s.take);
    const std::vector<ResponsePoint> points = PointResponse(h, 96);
    const std::vector<ResponsePoint> smoothed = SmoothedResponse(h, 96);
    ASSERT_EQ(points.size(), smoothed.size());
    double pointDeepest = 0.0, smoothedDeepest = 0.0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].frequency < 4000.0) continue;
        pointDeepest = std::min(pointDeepest, points[i].magnitudeDb);
        smoothedDeepest = std::min(smoothedDeepest, smoothed[i].magnitudeDb);
        EXPECT_EQ(smoothed[i].phaseDegrees, 0.0);  // a power mean has no phase
    }
    EXPECT_LT(pointDeepest, -20.0);
    EXPECT_GT(smoothedDeepest, pointDeepest + 5.0);
}

TEST(TransferResponse, PhaseOfADelayRelativeToTheReference) {
    const Signals s = MakeTake(2.0, 20.0, 16000.0, Delayed(Flat(), 48), 500);
    const std::vector<ResponsePoint> points = PointResponse(ComputeTransfer(s.take), 96);
    ASSERT_FALSE(points.empty());
    for (const ResponsePoint& p : points) {
        // -360 degrees per period of delay, wrapped.
        double expected = std::remainder(-360.0 * p.frequency * 48.0 / kRate, 360.0);
        double difference = std::remainder(p.phaseDegrees - expected, 360.0);
        EXPECT_NEAR(difference, 0.0, 1.0) << p.frequency;
        EXPECT_NEAR(p.magnitudeDb, 0.0, 0.05) << p.frequency;
    }
}

TEST(TransferResponse, RefusesUnusableSteps) {
    const Signals s = MakeTake(1.0, 20.0, 16000.0, Flat());
    const TransferFunction h = ComputeTransfer(s.take);
    EXPECT_TRUE(SmoothedResponse(h, 0).empty());
    EXPECT_TRUE(SmoothedResponse(h, -3).empty());
    EXPECT_TRUE(SmoothedResponse(h, 100000).empty());
    EXPECT_TRUE(SmoothedResponse(TransferFunction{}, 96).empty());
    EXPECT_TRUE(PointResponse(h, 0).empty());
    EXPECT_TRUE(PointResponse(h, 1001).empty());
    EXPECT_TRUE(PointResponse(TransferFunction{}, 96).empty());
}

TEST(TransferHostile, ATransferFunctionWhoseBinsDisagreeWithItsSizeIsRefused) {
    const Signals s = MakeTake(1.0, 20.0, 16000.0, Flat());
    const double lower[] = {100.0};
    const double upper[] = {1000.0};
    for (const std::int64_t size : {std::int64_t{1} << 40, std::int64_t{-4}, std::int64_t{0}}) {
        TransferFunction h = ComputeTransfer(s.take);
        ASSERT_EQ(h.status, TransferStatus::Ok);
        ASSERT_EQ(BandLevels(h, lower, upper)[0].missing, false);
        h.size = size == 0 ? h.size * 2 : size;
        EXPECT_TRUE(ImpulseResponseOf(h).empty()) << size;
        EXPECT_TRUE(SmoothedResponse(h, 12).empty()) << size;
        EXPECT_TRUE(PointResponse(h, 12).empty()) << size;
        EXPECT_TRUE(BandLevels(h, lower, upper)[0].missing) << size;
    }
}

// --- Hostile takes ---

TEST(TransferHostile, UnusableTakesSayWhy) {
    const Signals s = MakeTake(1.0, 20.0, 16000.0, Flat());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        Take take;
        TransferStatus status;
    };
    const std::vector<std::int64_t> zeros(s.played.size(), 0);
    const Case cases[] = {
        {"no frames", Take{{}, s.captured, kLeadIn, kLeadIn, 20.0, 16000.0, kRate},
         TransferStatus::NoSignal},
        {"NaN rate", Take{s.played, s.captured, kLeadIn, kLeadIn, 20.0, 16000.0, nan},
         TransferStatus::NoSignal},
        {"zero rate", Take{s.played, s.captured, kLeadIn, kLeadIn, 20.0, 16000.0, 0.0},
         TransferStatus::NoSignal},
        {"range upside down", Take{s.played, s.captured, kLeadIn, kLeadIn, 900.0, 100.0, kRate},
         TransferStatus::NoSignal},
        {"NaN start", Take{s.played, s.captured, kLeadIn, kLeadIn, nan, 100.0, kRate},
         TransferStatus::NoSignal},
        {"range above Nyquist",
         Take{s.played, s.captured, kLeadIn, kLeadIn, 30000.0, 40000.0, kRate},
         TransferStatus::NoResponse},
        {"silence played", Take{zeros, s.captured, kLeadIn, kLeadIn, 20.0, 16000.0, kRate},
         TransferStatus::NoResponse},
        {"huge rate", Take{s.played, s.captured, kLeadIn, kLeadIn, 20.0, 16000.0, 1e300},
         TransferStatus::TooLong},
        {"capture out of reach",
         Take{s.played, s.captured, kLeadIn, std::numeric_limits<std::int64_t>::max(), 20.0,
              16000.0, kRate},
         TransferStatus::Ok},
        {"capture before the start",
         Take{s.played, s.captured, std::numeric_limits<std::int64_t>::max(),
              std::numeric_limits<std::int64_t>::min(), 20.0, 16000.0, kRate},
         TransferStatus::Ok},
        {"capture short",
         Take{s.played, std::span(s.captured).first(10), kLeadIn, kLeadIn, 20.0, 16000.0, kRate},
         TransferStatus::Ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TransferFunction h = ComputeTransfer(c.take);
        EXPECT_EQ(h.status, c.status);
        const double edges[] = {100.0, 1000.0};
        const std::vector<BandLevel> levels =
            BandLevels(h, std::span(edges).first(1), std::span(edges).last(1));
        ASSERT_EQ(levels.size(), 1u);
        if (c.status != TransferStatus::Ok) {
            EXPECT_EQ(levels[0].level, -std::numeric_limits<double>::infinity());
            EXPECT_TRUE(ImpulseResponseOf(h).empty());
        } else {
            // Nothing came back: no band has a level.
            EXPECT_EQ(levels[0].level, -std::numeric_limits<double>::infinity());
            for (const double value : ImpulseResponseOf(h)) ASSERT_EQ(value, 0.0);
        }
    }
}

// --- Signal checks ---

struct CheckCase {
    const char* name;
    double gain;       // applied to the played sweep, saturating at full scale
    double noiseDbfs;  // over the whole capture
    bool silent;
    bool tooLow;
    double snrDb;  // expected, or inf
    bool lowSnr;
};

TEST(SignalChecks, ClippingSilenceLevelAndNoise) {
    const double inf = std::numeric_limits<double>::infinity();
    const double none = -inf;
    // A sine of half full scale is 9.03 dB below full scale (RMS).
    const double sweepDb = 20.0 * std::log10(0.5 / std::sqrt(2.0));
    const auto snr = [sweepDb](double noiseDb) {
        const double s = std::pow(10.0, sweepDb / 10.0), n = std::pow(10.0, noiseDb / 10.0);
        return 10.0 * std::log10((s + n) / n);
    };
    const CheckCase cases[] = {
        {"clean", 1.0, none, false, false, inf, false},
        {"silent", 0.0, none, true, true, -inf, true},
        {"noise at -60 dBFS", 1.0, -60.0, false, false, snr(-60.0), false},
        {"noise at -25 dBFS", 1.0, -25.0, false, false, snr(-25.0), true},
        {"driven 4 times over", 4.0, none, false, false, inf, false},
        {"faint", std::pow(10.0, -100.0 / 20.0), none, false, true, inf, false},
    };
    const std::int64_t frames = 48000 + 48000;
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::int64_t> played(frames);
        MakeSweep(48000, played, 20.0, 16000.0, frames, 0.5, kLeadIn);
        std::mt19937 random(5);
        std::normal_distribution<double> noise(0.0, 8388608.0 * std::pow(10.0, c.noiseDbfs / 20.0));
        std::vector<std::int64_t> captured(frames);
        std::int64_t saturated = 0;
        for (std::int64_t n = 0; n < frames; ++n) {
            double value = c.gain * static_cast<double>(played[n]);
            if (std::isfinite(c.noiseDbfs)) value += noise(random);
            // A 24-bit converter stops at its largest codes.
            value = std::clamp(std::round(value), -8388608.0, 8388607.0);
            if (std::fabs(value) >= 8388352.0) ++saturated;
            captured[n] = static_cast<std::int64_t>(value);
        }
        const SignalChecks checks = CheckSignal(captured, kLeadIn, frames - 2 * kLeadIn);
        EXPECT_EQ(checks.clippedSamples, saturated);
        if (c.gain > 1.0) {
            EXPECT_GT(checks.clippedSamples, 1000);
        }
        EXPECT_EQ(checks.silent, c.silent);
        EXPECT_EQ(checks.tooLow, c.tooLow);
        EXPECT_TRUE(checks.snrKnown);
        if (std::isinf(c.snrDb)) {
            EXPECT_EQ(checks.snrDb, c.snrDb);
        } else {
            EXPECT_NEAR(checks.snrDb, c.snrDb, 0.2);
        }
        EXPECT_EQ(checks.lowSnr, c.lowSnr);
        if (c.gain == 1.0) {
            // The sweep's power plus the noise's.
            const double noisePower = std::pow(10.0, c.noiseDbfs / 10.0);
            EXPECT_NEAR(checks.signalLevelDb,
                        10.0 * std::log10(std::pow(10.0, sweepDb / 10.0) + noisePower), 0.05);
            if (std::isfinite(c.noiseDbfs)) {
                EXPECT_NEAR(checks.noiseLevelDb, c.noiseDbfs, 0.2);
            } else {
                EXPECT_EQ(checks.noiseLevelDb, c.noiseDbfs);
            }
        }
    }
}

TEST(SignalChecks, StretchesOutsideTheCaptureAreCut) {
    const std::vector<std::int64_t> captured(1000, 100);
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t start;
        std::int64_t frames;
        bool snrKnown;
        bool tooLow;
    };
    const Case cases[] = {
        {0, 500, false, false},
        {-50, 500, false, false},
        {big, big, false, true},
        {500, big, true, false},
        {500, -7, false, true},
        {1000, 10, false, true},
        {std::numeric_limits<std::int64_t>::min(), big, false, true},
    };
    for (const Case& c : cases) {
        const SignalChecks checks = CheckSignal(captured, c.start, c.frames);
        EXPECT_EQ(checks.snrKnown, c.snrKnown) << c.start << " " << c.frames;
        EXPECT_EQ(checks.tooLow, c.tooLow) << c.start << " " << c.frames;
        EXPECT_FALSE(checks.silent);
    }
    EXPECT_TRUE(CheckSignal({}, 0, 10).silent);
}

}  // namespace
