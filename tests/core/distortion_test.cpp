// Harmonic distortion from the deconvolved response to an exponential sweep,
// against nonlinearities whose harmonics follow in closed form: for
// x = A cos(wt), x + a x^2 + b x^3 holds the fundamental A (1 + 3 b A^2 / 4),
// the 2nd harmonic a A^2 / 2 and the 3rd b A^3 / 4.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "analysis/distortion.h"
#include "analysis/transfer.h"
#include "samples/packing.h"
#include "signal/log_sweep.h"

namespace {

constexpr double kRate = 48000.0;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::int64_t kSweep = 96000;  // 2 s
constexpr std::int64_t kFrames = kSweep + 2 * kLeadIn;
constexpr double kAmplitude = 0.5;
constexpr std::int64_t kDelay = 100;
// The sweep runs from 50 Hz to 10 kHz; the harmonics are measured from
// three quarters of an octave above its bottom to a twelfth of an octave
// below its top.
const double kBottom = 50.0 * std::exp2(0.75);
const double kTop = 10000.0 * std::exp2(-1.0 / 12.0);

struct Distorted {
    LogSweep plan;
    HarmonicSpectra spectra;
    Delay delay;
};

// The sweep for bands from 100 Hz to 5 kHz (so 50 Hz to 10 kHz), through
// y = x + a x^2 + b x^3 and then the echo 1 + echo z^-3, arriving kDelay
// frames late.
Distorted Measure(double a, double b, double echo) {
    Distorted d;
    d.plan = PlanLogSweep(100.0, 5000.0, kRate, kSweep);
    std::vector<std::int64_t> played(kFrames);
    MakeLogSweep(d.plan, played, kFrames, kAmplitude, kLeadIn);
    std::vector<double> bent(kFrames);
    for (std::int64_t n = 0; n < kFrames; ++n) {
        const double x = static_cast<double>(played[n]) / kFullScale;
        bent[n] = x + a * x * x + b * x * x * x;
    }
    std::vector<std::int64_t> captured(kFrames);
    for (std::int64_t n = kDelay; n < kFrames; ++n) {
        const double echoed =
            bent[n - kDelay] + (n >= kDelay + 3 ? echo * bent[n - kDelay - 3] : 0);
        captured[n] = std::llround(echoed * kFullScale);
    }
    const Take take{played, captured, kLeadIn, kLeadIn, d.plan.low, d.plan.high, kRate};
    const TransferFunction h = ComputeTransfer(take);
    EXPECT_EQ(h.status, TransferStatus::Ok);
    d.delay = FindDelay(ImpulseResponseOf(h), kRate);
    d.spectra =
        ExtractHarmonics(h, d.delay.samples, {d.plan.rateConstant, d.plan.low, d.plan.high});
    return d;
}

double Db(double ratio) {
    return 20.0 * std::log10(ratio);
}

// |1 + echo e^(-i w 3)| at f.
double EchoGain(double echo, double f) {
    return std::sqrt(1.0 + echo * echo +
                     2.0 * echo * std::cos(2.0 * std::numbers::pi * f * 3.0 / kRate));
}

TEST(Distortion, HarmonicsOfAPolynomialFollowItsCoefficients) {
    struct Case {
        double a, b, echo;
    };
    const Case cases[] = {{0.1, 0.2, 0.0},  {-0.05, 0.02, 0.0}, {0.3, 0.0, 0.0},
                          {0.0, -0.4, 0.0}, {0.1, 0.2, 0.5},    {0.2, 0.1, -0.6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "a " << c.a << " b " << c.b << " echo " << c.echo);
        const Distorted d = Measure(c.a, c.b, c.echo);
        ASSERT_FALSE(d.spectra.empty());
        EXPECT_NEAR(d.delay.samples, kDelay, 2.0);
        const double fundamental = 1.0 + 3.0 * c.b * kAmplitude * kAmplitude / 4.0;
        for (double f : {300.0, 1000.0, 2000.0, 3000.0}) {
            SCOPED_TRACE(f);
            const DistortionPoint point = DistortionAt(d.spectra, f, 12);
            const double h2 = std::fabs(c.a) * kAmplitude / 2.0 / fundamental *
                              EchoGain(c.echo, 2 * f) / EchoGain(c.echo, f);
            const double h3 = std::fabs(c.b) * kAmplitude * kAmplitude / 4.0 / fundamental *
                              EchoGain(c.echo, 3 * f) / EchoGain(c.echo, f);
            if (c.a != 0.0) {
                EXPECT_NEAR(Db(point.harmonicPercent[0] / 100.0), Db(h2), 0.1);
            }
            if (c.b != 0.0) {
                EXPECT_NEAR(Db(point.harmonicPercent[1] / 100.0), Db(h3), 0.1);
            }
            // Nothing but the 2nd and 3rd: the 4th and 5th are far below
            // them (or above the top).
            for (int k = 4; k <= 5; ++k) {
                const double hk = point.harmonicPercent[static_cast<std::size_t>(k - 2)];
                if (k * f > kTop) {
                    EXPECT_TRUE(std::isnan(hk)) << k;
                } else {
                    EXPECT_LT(hk, 0.01 * 100.0 * std::max(h2, h3)) << k;
                }
            }
            EXPECT_NEAR(point.thdPercent, 100.0 * std::hypot(h2, h3),
                        0.02 * 100.0 * std::hypot(h2, h3));
        }
    }
}

TEST(Distortion, ALinearLoopHasNone) {
    for (double echo : {0.0, 0.5}) {
        const Distorted d = Measure(0.0, 0.0, echo);
        ASSERT_FALSE(d.spectra.empty());
        for (double f : {kBottom, 100.0, 300.0, 1000.0, 2000.0, 4000.0}) {
            EXPECT_LT(DistortionAt(d.spectra, f, 12).thdPercent, 0.001) << f << " echo " << echo;
        }
    }
}

TEST(Distortion, HarmonicsAboveTheSweepAreNotMeasured) {
    const Distorted d = Measure(0.1, 0.1, 0.0);
    // At 3 kHz the 4th and 5th lie above the top, at 5 kHz every harmonic
    // does, and below the bottom nothing is measured.
    const DistortionPoint at3k = DistortionAt(d.spectra, 3000.0, 12);
    EXPECT_FALSE(std::isnan(at3k.harmonicPercent[0]));
    EXPECT_FALSE(std::isnan(at3k.harmonicPercent[1]));
    EXPECT_TRUE(std::isnan(at3k.harmonicPercent[2]));
    EXPECT_TRUE(std::isnan(at3k.harmonicPercent[3]));
    const DistortionPoint at5k = DistortionAt(d.spectra, 5000.0, 12);
    EXPECT_TRUE(std::isnan(at5k.thdPercent));
    for (double h : at5k.harmonicPercent) EXPECT_TRUE(std::isnan(h));
    EXPECT_TRUE(std::isnan(DistortionAt(d.spectra, 0.99 * kBottom, 12).thdPercent));
    EXPECT_FALSE(std::isnan(DistortionAt(d.spectra, 1.01 * kBottom, 12).thdPercent));
    EXPECT_FALSE(std::isnan(DistortionAt(d.spectra, 0.99 * kTop / 2.0, 12).thdPercent));
}

TEST(Distortion, CurveStepsByTwelfthsOfAnOctave) {
    const Distorted d = Measure(0.1, 0.0, 0.0);
    const std::vector<DistortionPoint> curve = DistortionCurve(d.spectra, 100.0, 5000.0, 12);
    // log2(50) = 5.64 octaves: 67 steps and the first point.
    ASSERT_EQ(curve.size(), 68u);
    for (std::size_t i = 0; i < curve.size(); ++i) {
        EXPECT_NEAR(curve[i].frequency, 100.0 * std::exp2(i / 12.0), 1e-9 * curve[i].frequency);
    }
    EXPECT_TRUE(DistortionCurve(d.spectra, 100.0, 50.0, 12).empty());
    EXPECT_TRUE(DistortionCurve(d.spectra, 0.0, 50.0, 12).empty());
    EXPECT_TRUE(DistortionCurve(d.spectra, 100.0, 5000.0, 0).empty());
    EXPECT_TRUE(DistortionCurve(HarmonicSpectra{}, 100.0, 5000.0, 12).empty());
    EXPECT_TRUE(DistortionCurve(d.spectra, 1e-300, 1e300, 1000).empty());
}

TEST(Distortion, UnusableInputsGiveNoSpectra) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A flat transfer function of 100000 frames: usable as it stands.
    TransferFunction flat;
    flat.status = TransferStatus::Ok;
    flat.size = 100000;
    flat.rate = kRate;
    flat.bins.assign(50001, 1.0);
    const SweepShape shape{0.38, 50.0, 10000.0};
    ASSERT_FALSE(ExtractHarmonics(flat, 0.0, shape).empty());

    TransferFunction failed = flat;
    failed.status = TransferStatus::NoResponse;
    EXPECT_TRUE(ExtractHarmonics(failed, 0.0, shape).empty());
    TransferFunction short_ = flat;
    short_.bins.resize(100);
    EXPECT_TRUE(ExtractHarmonics(short_, 0.0, shape).empty());
    TransferFunction noRate = flat;
    noRate.rate = nan;
    EXPECT_TRUE(ExtractHarmonics(noRate, 0.0, shape).empty());
    EXPECT_TRUE(ExtractHarmonics(TransferFunction{}, 0.0, shape).empty());
    EXPECT_TRUE(ExtractHarmonics(flat, nan, shape).empty());
    EXPECT_TRUE(ExtractHarmonics(flat, 0.0, {0.0, 50.0, 10000.0}).empty());
    EXPECT_TRUE(ExtractHarmonics(flat, 0.0, {nan, 50.0, 10000.0}).empty());
    EXPECT_TRUE(ExtractHarmonics(flat, 0.0, {0.38, 50.0, 40.0}).empty());
    EXPECT_TRUE(ExtractHarmonics(flat, 0.0, {0.38, -50.0, 10000.0}).empty());
    // Windows of a few samples cannot hold a harmonic apart.
    EXPECT_TRUE(ExtractHarmonics(flat, 0.0, {0.001, 50.0, 10000.0}).empty());
    // The 6th harmonic's time lies beyond half the response.
    EXPECT_TRUE(ExtractHarmonics(flat, 0.0, {1.0, 50.0, 10000.0}).empty());
    EXPECT_TRUE(ExtractHarmonics(flat, 60000.0, shape).empty());
    const DistortionPoint none = DistortionAt(HarmonicSpectra{}, 1000.0, 12);
    EXPECT_TRUE(std::isnan(none.thdPercent));
    const HarmonicSpectra spectra = ExtractHarmonics(flat, 0.0, shape);
    EXPECT_TRUE(std::isnan(DistortionAt(spectra, 1000.0, 0).thdPercent));
    EXPECT_TRUE(std::isnan(DistortionAt(spectra, nan, 12).thdPercent));
}

}  // namespace
