// Harmonic distortion from the deconvolved response to an exponential sweep,
// against nonlinearities whose harmonics follow in closed form: for
// x = A cos(wt), x + a x^2 + b x^3 holds the fundamental A (1 + 3 b A^2 / 4),
// the 2nd harmonic a A^2 / 2 and the 3rd b A^3 / 4.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
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
// frames late, plus white Gaussian noise of RMS noiseRms (in full scale)
// over the whole capture, lead-in included.
// With returned false, nothing of the sweep comes back: only the noise.
Distorted Measure(double a, double b, double echo, double noiseRms = 0.0, unsigned seed = 1,
                  bool returned = true) {
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
    std::mt19937 generator(seed);
    std::normal_distribution<double> gauss(0.0, noiseRms);
    for (std::int64_t n = 0; n < kFrames; ++n) {
        const double echoed =
            n < kDelay || !returned
                ? 0.0
                : bent[n - kDelay] + (n >= kDelay + 3 ? echo * bent[n - kDelay - 3] : 0);
        captured[n] =
            std::llround((echoed + (noiseRms > 0.0 ? gauss(generator) : 0.0)) * kFullScale);
    }
    const Take take{played, captured, kLeadIn, kLeadIn, d.plan.low, d.plan.high, kRate};
    const TransferFunction h = ComputeTransfer(take);
    EXPECT_EQ(h.status, TransferStatus::Ok);
    d.delay = returned ? FindDelay(ImpulseResponseOf(h), kRate) : Delay{kDelay, 0.0, 0.0};
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

// A capture of white noise alone (no sweep comes back): every window of
// the response holds nothing but the noise, and its power, bin by bin over
// the swept range, has the window's noise estimate as its mean. The bins
// within a few of the window's resolutions (rate / length) of the range's
// tapered edges are left out: there the window's own spectrum smears the
// taper.
TEST(Distortion, WindowedNoiseHasItsPredictedPower) {
    double allRatios = 0.0;
    int allBins = 0;
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const Distorted d = Measure(0.0, 0.0, 0.0, 1e-4, seed, false);
        ASSERT_FALSE(d.spectra.empty());
        for (const HarmonicWindow& level : d.spectra.windows) {
            SCOPED_TRACE(level.windowFrames);
            ASSERT_EQ(level.noise.size(), level.power[0].size());
            const double resolution = kRate / static_cast<double>(level.windowFrames);
            double ratios = 0.0;
            int bins = 0;
            for (std::size_t m = 0; m < level.noise.size(); ++m) {
                const double f = level.binSpacing * static_cast<double>(m);
                if (f < d.spectra.lowFrequency + 4.0 * resolution ||
                    f > d.spectra.highFrequency - 4.0 * resolution) {
                    continue;
                }
                ASSERT_GT(level.noise[m], 0.0) << f;
                for (const std::vector<double>& power : level.power) {
                    ratios += power[m] / level.noise[m];
                    ++bins;
                }
            }
            // The windows of 1024 samples and more: over a thousand bins
            // each. (A transform as long as the whole response, which
            // ComputeTransfer's padding makes twice the take here, would
            // predict 3 dB less.)
            if (level.windowFrames >= 1024) {
                ASSERT_GT(bins, 1000);
                EXPECT_NEAR(10.0 * std::log10(ratios / bins), 0.0, 0.5) << bins;
                allRatios += ratios;
                allBins += bins;
            }
        }
    }
    EXPECT_NEAR(10.0 * std::log10(allRatios / allBins), 0.0, 0.3) << allBins;
}

// A linear loop with noise at -80 dBFS: no harmonic is taken for
// distortion anywhere; every point says it is noise-limited, with a limit
// above what the noise alone reads (without the check it read as THD).
TEST(Distortion, NoiseIsNotTakenForDistortion) {
    for (double echo : {0.0, 0.5}) {
        SCOPED_TRACE(echo);
        const Distorted d = Measure(0.0, 0.0, echo, 1e-4);
        const std::vector<DistortionPoint> curve =
            DistortionCurve(d.spectra, 100.0, kTop / 2.0, 12);
        ASSERT_GT(curve.size(), 60u);
        for (const DistortionPoint& point : curve) {
            SCOPED_TRACE(point.frequency);
            EXPECT_TRUE(std::isnan(point.thdPercent));
            EXPECT_TRUE(point.thdBelowNoise);
            EXPECT_GT(point.noiseLimitPercent, 0.0);
            for (std::size_t i = 0; i < point.harmonicPercent.size(); ++i) {
                EXPECT_TRUE(std::isnan(point.harmonicPercent[i])) << i;
                const bool inside = (i + 2) * point.frequency <= kTop;
                EXPECT_EQ(point.belowNoise[i], inside) << i;
                EXPECT_EQ(std::isfinite(point.harmonicLimitPercent[i]), inside) << i;
            }
        }
    }
}

// 1 % of third harmonic (b A^3 / 4 of the fundamental A (1 + 3 b A^2 / 4))
// over noise at -80 dBFS reads as it does without the noise; the absent
// 2nd, 4th and 5th are noise-limited, and THD is the 3rd alone.
TEST(Distortion, DistortionAboveTheNoiseReadsItsValue) {
    // b A^2 / 4 = 0.01 (1 + 3 b A^2 / 4): b = 0.04 / (A^2 (1 - 0.03)).
    const double b = 0.04 / (kAmplitude * kAmplitude * 0.97);
    const Distorted noisy = Measure(0.0, b, 0.0, 1e-4);
    const Distorted clean = Measure(0.0, b, 0.0);
    ASSERT_FALSE(noisy.spectra.empty());
    for (double f : {300.0, 1000.0, 2000.0, 3000.0}) {
        SCOPED_TRACE(f);
        const DistortionPoint point = DistortionAt(noisy.spectra, f, 12);
        EXPECT_NEAR(Db(point.harmonicPercent[1]), Db(1.0), 0.1);
        EXPECT_NEAR(Db(point.thdPercent), Db(1.0), 0.1);
        EXPECT_NEAR(Db(point.thdPercent / DistortionAt(clean.spectra, f, 12).thdPercent), 0.0, 0.1);
        EXPECT_FALSE(point.belowNoise[1]);
        EXPECT_FALSE(point.thdBelowNoise);
        EXPECT_TRUE(point.belowNoise[0]);
        EXPECT_TRUE(std::isnan(point.harmonicPercent[0]));
        EXPECT_LT(point.noiseLimitPercent, 0.1);
    }
}

// Without noise in the lead-in the noise is zero: every harmonic counts,
// and the figures are those of a take without a noise estimate.
TEST(Distortion, ASilentLeadInLimitsNothing) {
    const Distorted d = Measure(0.1, 0.2, 0.0);
    const DistortionPoint point = DistortionAt(d.spectra, 1000.0, 12);
    for (std::size_t i = 0; i < point.belowNoise.size(); ++i) {
        EXPECT_FALSE(point.belowNoise[i]) << i;
        EXPECT_FALSE(std::isnan(point.harmonicPercent[i])) << i;
    }
    EXPECT_EQ(point.noiseLimitPercent, 0.0);
    EXPECT_FALSE(point.thdBelowNoise);
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
