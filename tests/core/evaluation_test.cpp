#include "analysis/evaluation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/band_plan.h"
#include "signal/log_sweep.h"
#include "test_room.h"

namespace {

using namespace test_room;

// The default bands: Q 4, 31 bands from 18 Hz.
struct Bands {
    std::vector<double> lower = std::vector<double>(31);
    std::vector<double> upper = std::vector<double>(31);
    double end = FindHighFreq(4.0, 31, 18.0, lower, upper);
};

TakePlan PlanFor(const Bands& bands, double low, double high, std::int64_t sweepFrames) {
    TakePlan plan;
    plan.lowerEdges = bands.lower;
    plan.upperEdges = bands.upper;
    plan.lowFrequency = low;
    plan.highFrequency = high;
    plan.sweepFrames = sweepFrames;
    return plan;
}

// A band's level from the room's formula: the mean of |H|^2 over the band's
// part of the reported range, sampled finely, in dB.
double FormulaPower(const Room& room, double low, double high) {
    double sum = 0.0;
    int count = 0;
    for (double f = low; f <= high; f += 0.05) {
        sum += room.Power(f);
        ++count;
    }
    return 10.0 * std::log10(sum / count);
}

struct EvaluationCase {
    const char* name;
    Room room;
    int delay;  // samples from time zero to the direct sound
    double noiseDbfs;
};

TEST(Evaluation, ATakeBecomesTheRoomsBandsDelayAndResponse) {
    const Bands bands;
    const EvaluationCase cases[] = {
        {"flat at half level", Peak(1000.0, 0.0, 1.0, 0.5), 0, -120.0},
        {"a mode, 3 m away, noisy", Peak(63.0, 10.0, 4.0, 0.4), 420, -80.0},
        {"a dip at 2 kHz", Peak(2000.0, -12.0, 2.0, 0.5), 96, -90.0},
    };
    for (const EvaluationCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Room room = Delayed(c.room, c.delay);
        const Signals s = MakeTake(3.0, 18.0, bands.end, room, 0, c.noiseDbfs);
        const RunResult result = EvaluateTake(s.take, PlanFor(bands, 18.0, bands.end, 3 * 48000));
        ASSERT_EQ(result.transfer, TransferStatus::Ok);

        // The table: each band against the loudest, as the formula has them.
        std::vector<double> expected;
        for (std::size_t b = 0; b < bands.lower.size(); ++b) {
            expected.push_back(FormulaPower(room, bands.lower[b], bands.upper[b]));
        }
        const double loudest = *std::max_element(expected.begin(), expected.end());
        ASSERT_EQ(result.bands.size(), bands.lower.size());
        for (std::size_t b = 0; b < expected.size(); ++b) {
            EXPECT_FALSE(result.bands[b].missing);
            EXPECT_NEAR(result.bands[b].level, expected[b] - loudest, 0.1) << "band " << b + 1;
        }

        // The direct sound, and the impulse response from 1 s before time
        // zero with its peak there.
        EXPECT_NEAR(result.delay.milliseconds, c.delay / 48.0, 0.01);
        EXPECT_EQ(result.impulse.zeroIndex, 48000);
        const auto peak =
            std::max_element(result.impulse.samples.begin(), result.impulse.samples.end(),
                             [](float a, float b) { return std::fabs(a) < std::fabs(b); });
        EXPECT_NEAR(peak - result.impulse.samples.begin(), 48000 + c.delay, 2);

        // The response file's points are the room's magnitude.
        ASSERT_FALSE(result.response.empty());
        for (const ResponsePoint& point : result.response) {
            if (point.frequency < 30.0) continue;  // the range's edge rings
            ASSERT_NEAR(point.magnitudeDb, 10.0 * std::log10(room.Power(point.frequency)), 0.1)
                << point.frequency << " Hz";
        }
        EXPECT_FALSE(result.smoothed.empty());
        EXPECT_FALSE(result.distortion.has_value());
        EXPECT_FALSE(result.disturbance.disturbed);
        EXPECT_EQ(result.lowFrequency, 18.0);
        EXPECT_EQ(result.highFrequency, bands.end);
    }
}

TEST(Evaluation, TheReturnLevelIsTheSweepsPeakThroughTheLoop) {
    const Bands bands;
    // A half-scale sweep through a loop of gain g peaks at 0.5 g of full
    // scale; a click outside the sweep does not count.
    for (const double gain : {1.0, 0.5, 0.1}) {
        Signals s = MakeTake(1.0, 18.0, bands.end, Peak(1000.0, 0.0, 1.0, gain));
        s.captured[100] = 8000000;
        s.take.captured = s.captured;
        const RunResult result = EvaluateTake(s.take, PlanFor(bands, 18.0, bands.end, 48000));
        EXPECT_NEAR(result.signal.returnLevelDb, 20.0 * std::log10(0.5 * gain), 0.01) << gain;
    }
}

TEST(Evaluation, TheCalibrationComesOutOfTheBands) {
    // A microphone 6 dB hot from 1 to 2 kHz on a flat loop: the bands there
    // read 6 dB below the others once its calibration is applied.
    const Bands bands;
    const auto parse = ParseCalibration("20 0\n999 0\n1000 6\n2000 6\n2001 0\n20000 0\n");
    ASSERT_TRUE(parse.ok());
    Signals s = MakeTake(2.0, 18.0, bands.end, Flat());
    TakePlan plan = PlanFor(bands, 18.0, bands.end, 2 * 48000);
    plan.calibration = &parse.value();
    const RunResult result = EvaluateTake(s.take, plan);
    ASSERT_EQ(result.transfer, TransferStatus::Ok);
    for (std::size_t b = 0; b < bands.lower.size(); ++b) {
        const bool inside = bands.lower[b] >= 1000.0 && bands.upper[b] <= 2000.0;
        const bool outside = bands.upper[b] < 999.0 || bands.lower[b] > 2001.0;
        if (inside) {
            EXPECT_NEAR(result.bands[b].level, -6.0, 0.05) << "band " << b + 1;
        } else if (outside) {
            EXPECT_NEAR(result.bands[b].level, 0.0, 0.05) << "band " << b + 1;
        }
    }
}

TEST(Evaluation, AnExponentialSweepAlsoMeasuresDistortion) {
    const Bands bands;
    constexpr std::int64_t kSweep = 3 * 48000;
    const LogSweep sweep = PlanLogSweep(18.0, bands.end, kRate, kSweep);
    ASSERT_TRUE(sweep.usable);
    Signals s;
    s.played.resize(kSweep + 2 * kLeadIn);
    MakeLogSweep(sweep, s.played, static_cast<std::int64_t>(s.played.size()), 0.5, kLeadIn);
    s.captured = s.played;
    s.take = Take{s.played, s.captured, kLeadIn, kLeadIn, sweep.low, sweep.high, kRate};
    TakePlan plan = PlanFor(bands, 18.0, std::min(bands.end, sweep.FadeOutFrequency()), kSweep);
    plan.exponential = SweepShape{sweep.rateConstant, sweep.low, sweep.high};
    const RunResult result = EvaluateTake(s.take, plan);
    ASSERT_EQ(result.transfer, TransferStatus::Ok);
    ASSERT_TRUE(result.distortion.has_value());
    // 100 Hz, 1 kHz and 10 kHz lie inside the bands.
    EXPECT_EQ(result.distortion->summary.size(), 3u);
    EXPECT_FALSE(result.distortion->curve.empty());
    for (const BandLevel& band : result.bands) EXPECT_NEAR(band.level, 0.0, 0.05);
}

TEST(Evaluation, NothingPlayedLeavesNoResponse) {
    const Bands bands;
    Signals s = MakeTake(1.0, 18.0, bands.end, Flat());
    std::fill(s.played.begin(), s.played.end(), 0);
    s.take.played = s.played;
    const RunResult result = EvaluateTake(s.take, PlanFor(bands, 18.0, bands.end, 48000));
    EXPECT_NE(result.transfer, TransferStatus::Ok);
    ASSERT_EQ(result.bands.size(), bands.lower.size());
    for (const BandLevel& band : result.bands) EXPECT_TRUE(std::isinf(band.level));
    EXPECT_TRUE(result.impulse.samples.empty());
    EXPECT_TRUE(result.response.empty());
    EXPECT_FALSE(result.disturbance.known);
}

TEST(Evaluation, ALostBlockIsReportedAtItsTime) {
    const Bands bands;
    Signals s = MakeTake(3.0, 18.0, bands.end, Flat(), 0, -90.0);
    // 20 ms of the capture lost 1.5 s into the sweep.
    const std::int64_t from = kLeadIn + 72000;
    std::fill(s.captured.begin() + from, s.captured.begin() + from + 960, 0);
    s.take.captured = s.captured;
    const RunResult result = EvaluateTake(s.take, PlanFor(bands, 18.0, bands.end, 3 * 48000));
    ASSERT_TRUE(result.disturbance.known);
    EXPECT_TRUE(result.disturbance.disturbed);
    EXPECT_NEAR(result.disturbance.seconds, (from + 480) / kRate, 0.05);
}

}  // namespace
