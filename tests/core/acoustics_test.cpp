#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "analysis/acoustics.h"

namespace {

constexpr double kRate = 48000.0;
constexpr std::size_t kOnset = 4800;  // direct sound at 0.1 s

using Times = std::array<double, kOctaveBandCount>;

double Centre(int band) {
    return 1000.0 * std::exp2(band - 4);
}

// Sixth-order Butterworth band-pass after the bilinear transform: at digital
// frequency f its power is 1 / (1 + x^6) with x = (w^2 - wl wh) / (w (wh - wl))
// and w = tan(pi f / rate).
double ButterworthPowerDb(double f, double lower, double upper, double rate) {
    const double w = std::tan(std::numbers::pi * f / rate);
    const double wl = std::tan(std::numbers::pi * lower / rate);
    const double wh = std::tan(std::numbers::pi * upper / rate);
    const double x = (w * w - wl * wh) / (w * (wh - wl));
    return -10.0 * std::log10(1.0 + std::pow(x, 6));
}

// Energy of that band-pass' impulse response: (1 / pi) times the integral
// of its power over 0..pi (midpoint rule), the share of a unit impulse's
// energy the octave keeps.
double ImpulseEnergyInOctave(int band) {
    const double fc = Centre(band);
    const int steps = 200000;
    double sum = 0.0;
    for (int i = 0; i < steps; ++i) {
        const double f = (i + 0.5) / steps * kRate / 2.0;
        sum += std::pow(
            10.0, ButterworthPowerDb(f, fc / std::numbers::sqrt2, fc * std::numbers::sqrt2, kRate) /
                      10.0);
    }
    return sum / steps;
}

// Band-limited noise of constant envelope: a carrier whose frequency wanders
// at random between fc 2^(-1/6) and fc 2^(1/6), changing course smoothly every
// few periods of that width; unit mean square. Its energy envelope is flat,
// so once multiplied by an exponential its decay is the set one, not a
// chance fluctuation of a noise envelope with few degrees of freedom.
std::vector<double> WanderingTone(std::mt19937_64& rng, double fc, std::size_t n) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double width = fc * (std::exp2(1.0 / 6.0) - std::exp2(-1.0 / 6.0));
    const std::size_t knots = static_cast<std::size_t>(std::round(4.0 / width * kRate));
    double from = unit(rng), to = unit(rng);
    double phase = std::numbers::pi * unit(rng);
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = i % knots;
        if (at == 0 && i > 0) {
            from = to;
            to = unit(rng);
        }
        const double u = from + (to - from) * 0.5 *
                                    (1.0 - std::cos(std::numbers::pi * static_cast<double>(at) /
                                                    static_cast<double>(knots)));
        phase += 2.0 * std::numbers::pi * fc * std::exp2(u / 6.0) / kRate;
        out[i] = std::numbers::sqrt2 * std::sin(phase);
    }
    return out;
}

// Neighbouring octaves' decay times differ by at most a quarter: an octave
// filter passes its neighbours' energy some 15 to 20 dB down, which a much
// longer neighbour's decay would otherwise outlast.

// A room response built band by band: in each octave, noise within a third
// of an octave around the centre (WanderingTone), of unit power at the onset
// and decaying by 60 dB in that band's reverberation time, starting gap
// samples after a direct sound (an impulse of that amplitude at the onset);
// white noise of floorDb
// (relative to one band's initial power) over the whole response.
struct Room {
    std::vector<float> response;
    std::array<std::vector<double>, kOctaveBandCount> bands;  // each band alone, from the onset
};

Room MakeRoom(const Times& reverb, double floorDb, double seconds, unsigned seed,
              double direct = 0.0, std::size_t gap = 0) {
    std::mt19937_64 rng(seed);
    const std::size_t n = static_cast<std::size_t>(seconds * kRate);
    const std::size_t decayLength = n - kOnset - gap;
    std::vector<double> sum(n, 0.0);
    Room room;
    for (int b = 0; b < kOctaveBandCount; ++b) {
        const double fc = Centre(b);
        std::vector<double> s = WanderingTone(rng, fc, decayLength);
        for (std::size_t m = 0; m < decayLength; ++m) {
            // Amplitude 10^(-3 t / T): the power falls 60 dB in T.
            s[m] *= std::pow(10.0, -3.0 * (static_cast<double>(m) / kRate) / reverb[b]);
            sum[kOnset + gap + m] += s[m];
        }
        room.bands[b] = std::move(s);
    }
    std::normal_distribution<double> gauss(0.0, std::pow(10.0, floorDb / 20.0));
    room.response.resize(n);
    sum[kOnset] += direct;
    for (std::size_t i = 0; i < n; ++i) room.response[i] = static_cast<float>(sum[i] + gauss(rng));
    return room;
}

// Early-to-late ratio of a band signal starting gap samples after the onset,
// split boundaryMs after the onset, with directEnergy more early.
double TrueClarity(const std::vector<double>& band, double boundaryMs, double directEnergy,
                   std::size_t gap) {
    const std::size_t boundary =
        static_cast<std::size_t>(std::round(boundaryMs * kRate / 1000.0)) - gap;
    double early = 0.0, late = 0.0;
    for (std::size_t i = 0; i < band.size(); ++i)
        (i < boundary ? early : late) += band[i] * band[i];
    return 10.0 * std::log10((early + directEnergy) / late);
}

struct DecayCase {
    const char* name;
    Times reverb;
    double floorDb;
    double seconds;
    unsigned seed;
    bool clarity;     // compare C50, C80 and D50 too
    double direct;    // amplitude of the direct sound
    std::size_t gap;  // samples from the direct sound to the decay
};

class KnownDecay : public testing::TestWithParam<DecayCase> {};

TEST_P(KnownDecay, ReverbTimesAndClarityMatchTheBuiltRoom) {
    const DecayCase& c = GetParam();
    const Room room = MakeRoom(c.reverb, c.floorDb, c.seconds, c.seed, c.direct, c.gap);
    const AcousticsResult result = ComputeAcoustics(room.response, kRate, kOnset, 20.0, 20000.0);
    ASSERT_EQ(result.onset, std::optional<std::size_t>(kOnset));
    EXPECT_FALSE(result.onsetFound);
    for (int b = 0; b < kOctaveBandCount; ++b) {
        SCOPED_TRACE("octave " + std::to_string(kOctaveNominalHz[b]) + " Hz");
        const OctaveAcoustics& band = result.bands[b];
        const double t = c.reverb[b];
        ASSERT_TRUE(band.decayFound);
        EXPECT_GE(band.decayRangeDb, kT30RangeDb);
        ASSERT_TRUE(band.edt.value && band.t20.value && band.t30.value);
        EXPECT_NEAR(*band.t30.value, t, 0.05 * t);
        EXPECT_NEAR(*band.t20.value, t, 0.05 * t);
        // A single decay is straight: neither fit is marked, and T30 and T20
        // agree.
        EXPECT_FALSE(band.t20.curved || band.t30.curved);
        EXPECT_LT(band.t20.nonlinearityPermille, kMaxNonLinearityPermille);
        EXPECT_LT(band.t30.nonlinearityPermille, kMaxNonLinearityPermille);
        ASSERT_TRUE(band.curvaturePercent);
        EXPECT_NEAR(*band.curvaturePercent, 0.0, 8.0);
        // A direct sound steepens the first 10 dB: EDT is then not the
        // decay's own.
        if (c.direct == 0.0) {
            EXPECT_NEAR(*band.edt.value, t, 0.10 * t);
        }

        ASSERT_TRUE(band.c50.value && band.c80.value && band.d50.value);
        if (!c.clarity) continue;
        const double direct = c.direct * c.direct * ImpulseEnergyInOctave(b);
        const double c50 = TrueClarity(room.bands[b], 50.0, direct, c.gap);
        EXPECT_NEAR(*band.c50.value, c50, 0.5);
        EXPECT_NEAR(*band.c80.value, TrueClarity(room.bands[b], 80.0, direct, c.gap), 0.5);
        // D50 = early / total, the same split as C50.
        const double d50 = 100.0 / (1.0 + std::pow(10.0, -c50 / 10.0));
        EXPECT_NEAR(*band.d50.value, d50, 2.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Acoustics, KnownDecay,
    testing::Values(
        // Longer at low frequencies, as in most rooms.
        DecayCase{
            "floor60", {1.2, 1.0, 0.9, 0.8, 0.7, 0.6, 0.5, 0.45}, -60.0, 2.5, 1, true, 0.0, 0},
        DecayCase{
            "floor80", {0.8, 1.0, 0.85, 0.9, 0.7, 0.75, 0.55, 0.6}, -80.0, 2.5, 2, true, 0.0, 0},
        // A direct sound carrying about as much energy as the first 50 ms of
        // the decay in the 1 kHz octave, 20 ms before the decay: apart by
        // more than the filters' responses last, so their energies add.
        DecayCase{
            "direct", {1.0, 0.9, 0.8, 0.7, 0.6, 0.55, 0.5, 0.45}, -70.0, 2.0, 4, true, 200.0, 960},
        // Decays short against the low octaves' filter ringing. Their
        // clarity (15 to 24 dB, under 1 % late energy) is finer than an
        // octave filter resolves: the 63 Hz filter's response alone lasts
        // some 25 ms, and the neighbours' energy it passes 15 to 20 dB down
        // moves the little late energy by more than 0.5 dB.
        DecayCase{
            "short", {0.3, 0.25, 0.2, 0.2, 0.15, 0.15, 0.12, 0.12}, -70.0, 1.0, 3, false, 0.0, 0}),
    [](const testing::TestParamInfo<DecayCase>& info) { return std::string(info.param.name); });

// Mean square of white noise of unit mean square after a band-pass whose
// power response is 1 / (1 + x^6): its noise bandwidth is the -3 dB width
// times (pi / 6) / sin(pi / 6), over half the sample rate.
double BandNoiseDb(int band) {
    const double width = Centre(band) * (std::numbers::sqrt2 - 1.0 / std::numbers::sqrt2);
    return 10.0 * std::log10(width * (std::numbers::pi / 6.0) / 0.5 / (kRate / 2.0));
}

struct RangeCase {
    double floorDb;  // white noise floor, relative to one band's initial power
};

class ShortRange : public testing::TestWithParam<RangeCase> {};

// With a high noise floor each band's decay range is its initial level over
// the noise the octave filter passes; a reverberation time whose range that
// is not is missing, never a number, and a present one is still right.
TEST_P(ShortRange, MissingWhereTheRangeIsShort) {
    const Times reverb = {0.6, 0.6, 0.55, 0.5, 0.5, 0.45, 0.4, 0.4};
    const Room room = MakeRoom(reverb, GetParam().floorDb, 1.5, 7);
    const AcousticsResult result = ComputeAcoustics(room.response, kRate, kOnset, 20.0, 20000.0);
    int checked = 0;
    for (int b = 0; b < kOctaveBandCount; ++b) {
        SCOPED_TRACE("octave " + std::to_string(kOctaveNominalHz[b]) + " Hz");
        const OctaveAcoustics& band = result.bands[b];
        const double range = -(GetParam().floorDb + BandNoiseDb(b));
        const struct {
            const AcousticValue& value;
            double need;
        } rows[] = {{band.edt, kEdtRangeDb}, {band.t20, kT20RangeDb}, {band.t30, kT30RangeDb}};
        for (const auto& row : rows) {
            // Within 4 dB of the need, either outcome is fair.
            if (std::abs(range - row.need) < 4.0) continue;
            ++checked;
            if (range < row.need) {
                EXPECT_FALSE(row.value.value) << "range " << range << " need " << row.need;
                EXPECT_TRUE(row.value.gap == AcousticsGap::kShortRange ||
                            row.value.gap == AcousticsGap::kNoDecay);
            } else {
                ASSERT_TRUE(row.value.value) << "range " << range << " need " << row.need;
                // A few dB of range more than needed: the noise's own
                // fluctuation still shows in the curve.
                EXPECT_NEAR(*row.value.value, reverb[b], 0.15 * reverb[b]);
            }
        }
    }
    EXPECT_GE(checked, 12);
}

INSTANTIATE_TEST_SUITE_P(Acoustics, ShortRange,
                         testing::Values(RangeCase{-25.0}, RangeCase{-15.0}, RangeCase{-5.0}));

double SectionsPowerDb(const std::array<Biquad, 3>& sections, double f, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    std::complex<double> h = 1.0;
    for (const Biquad& b : sections) {
        h *= (b.b0 + b.b1 * z1 + b.b2 * z1 * z1) / (1.0 + b.a1 * z1 + b.a2 * z1 * z1);
    }
    return 20.0 * std::log10(std::abs(h));
}

TEST(AcousticsFilter, ButterworthShapeAtEveryOctaveAndRate) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        for (int b = 0; b < kOctaveBandCount; ++b) {
            const double fc = Centre(b);
            const double lower = fc / std::numbers::sqrt2, upper = fc * std::numbers::sqrt2;
            const std::array<Biquad, 3> sections = DesignButterworthBandPass(lower, upper, rate);
            // The edges are 3 dB down, the centre passes unchanged.
            EXPECT_NEAR(SectionsPowerDb(sections, lower, rate), -3.0103, 0.001);
            EXPECT_NEAR(SectionsPowerDb(sections, upper, rate), -3.0103, 0.001);
            EXPECT_NEAR(SectionsPowerDb(sections, std::sqrt(lower * upper), rate), 0.0, 0.02);
            for (double ratio : {0.125, 0.25, 0.5, 0.8, 1.1, 1.25, 2.0, 3.0}) {
                const double f = fc * ratio;
                if (f >= rate / 2.0) continue;
                EXPECT_NEAR(SectionsPowerDb(sections, f, rate),
                            ButterworthPowerDb(f, lower, upper, rate), 0.01)
                    << rate << " Hz rate, " << f << " Hz";
            }
        }
    }
}

// Run backwards, the filter's response to an impulse lies wholly before it,
// and its energy is the filter's noise bandwidth over the sample rate.
TEST(AcousticsFilter, TimeReversedResponseEndsAtTheImpulse) {
    const double fc = 250.0;
    const std::array<Biquad, 3> sections =
        DesignButterworthBandPass(fc / std::numbers::sqrt2, fc * std::numbers::sqrt2, kRate);
    std::vector<double> x(48000, 0.0);
    const std::size_t at = 40000;
    x[at] = 1.0;
    const std::vector<double> y = FilterTimeReversed(sections, x);
    ASSERT_EQ(y.size(), x.size());
    double energy = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (i > at) {
            EXPECT_EQ(y[i], 0.0) << i;
        }
        energy += y[i] * y[i];
    }
    EXPECT_NEAR(10.0 * std::log10(energy), BandNoiseDb(2), 0.05);
}

TEST(AcousticsOnset, FirstSampleWithin20DbOfThePeak) {
    std::vector<float> r(100, 0.0f);
    r[10] = 0.05f;  // 26 dB below the peak
    r[20] = -0.2f;  // 14 dB below
    r[30] = 1.0f;
    EXPECT_EQ(FindOnset(r), std::optional<std::size_t>(20));
    EXPECT_EQ(FindOnset(std::vector<float>(10, 0.0f)), std::nullopt);
    EXPECT_EQ(FindOnset({}), std::nullopt);
    r[50] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(FindOnset(r), std::nullopt);
}

TEST(AcousticsOnset, FoundOnsetGivesTheSameResult) {
    const Times reverb = {0.8, 0.8, 0.7, 0.7, 0.6, 0.6, 0.5, 0.5};
    const Room room = MakeRoom(reverb, -70.0, 1.5, 11);
    const AcousticsResult found = ComputeAcoustics(room.response, kRate, std::nullopt, 20, 20000);
    ASSERT_TRUE(found.onset);
    EXPECT_TRUE(found.onsetFound);
    EXPECT_GE(*found.onset, kOnset);
    EXPECT_LE(*found.onset, kOnset + 20);
    for (int b = 0; b < kOctaveBandCount; ++b) {
        ASSERT_TRUE(found.bands[b].t30.value);
        EXPECT_NEAR(*found.bands[b].t30.value, reverb[b], 0.05 * reverb[b]);
    }
}

struct CoverCase {
    double rate, low, high;
    const char* gaps;  // per octave: '.' analysed, 'S' not swept, 'N' above half the rate
};

class Coverage : public testing::TestWithParam<CoverCase> {};

TEST_P(Coverage, OnlyOctavesTheSweepCovered) {
    const CoverCase& c = GetParam();
    std::vector<float> r(static_cast<std::size_t>(c.rate), 0.0f);
    std::mt19937_64 rng(5);
    std::normal_distribution<double> gauss;
    for (std::size_t i = 100; i < r.size(); ++i) {
        r[i] = static_cast<float>(gauss(rng) * std::exp(-6.9 * static_cast<double>(i) / c.rate));
    }
    const AcousticsResult result = ComputeAcoustics(r, c.rate, 100, c.low, c.high);
    for (int b = 0; b < kOctaveBandCount; ++b) {
        SCOPED_TRACE("octave " + std::to_string(kOctaveNominalHz[b]) + " Hz");
        const OctaveAcoustics& band = result.bands[b];
        switch (c.gaps[b]) {
            case 'S':
                EXPECT_EQ(band.t30.gap, AcousticsGap::kNotSwept);
                break;
            case 'N':
                EXPECT_EQ(band.t30.gap, AcousticsGap::kAboveNyquist);
                break;
            default:
                EXPECT_TRUE(band.edt.value);
                break;
        }
        if (c.gaps[b] != '.') {
            EXPECT_FALSE(band.edt.value || band.t20.value || band.t30.value || band.c50.value ||
                         band.c80.value || band.d50.value);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Acoustics, Coverage,
                         testing::Values(CoverCase{48000, 20, 20000, "........"},
                                         CoverCase{48000, 100, 5000, "SS....SS"},
                                         CoverCase{48000, 88, 2829, "S.....SS"},
                                         CoverCase{16000, 10, 8000, ".......N"},
                                         CoverCase{8000, 10, 4000, "......NN"}));

struct BadCase {
    const char* name;
    std::vector<float> response;
    double rate;
    std::optional<std::size_t> direct;
    double low, high;
    AcousticsGap gap;
};

class BadInput : public testing::TestWithParam<BadCase> {};

TEST_P(BadInput, EveryValueMissingWithTheReason) {
    const BadCase& c = GetParam();
    const AcousticsResult result = ComputeAcoustics(c.response, c.rate, c.direct, c.low, c.high);
    for (const OctaveAcoustics& band : result.bands) {
        for (const AcousticValue* v :
             {&band.edt, &band.t20, &band.t30, &band.c50, &band.c80, &band.d50}) {
            EXPECT_FALSE(v->value);
            EXPECT_EQ(v->gap, c.gap);
        }
    }
}

// Steady white noise: no decay anywhere.
std::vector<float> Noise() {
    std::vector<float> r(24000, 0.0f);
    std::mt19937_64 rng(9);
    std::normal_distribution<double> gauss;
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<float>(gauss(rng));
    return r;
}

std::vector<float> WithValue(float v) {
    std::vector<float> r = Noise();
    r[500] = v;
    return r;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Acoustics, BadInput,
    testing::Values(
        BadCase{"empty", {}, 48000, std::nullopt, 20, 20000, AcousticsGap::kBadInput},
        BadCase{"nan_sample", WithValue(NAN), 48000, 0, 20, 20000, AcousticsGap::kBadInput},
        BadCase{"inf_sample", WithValue(INFINITY), 48000, 0, 20, 20000, AcousticsGap::kBadInput},
        BadCase{"zero_rate", Noise(), 0, 0, 20, 20000, AcousticsGap::kBadInput},
        BadCase{"nan_rate", Noise(), kNaN, 0, 20, 20000, AcousticsGap::kBadInput},
        BadCase{"inf_rate", Noise(), kInf, 0, 20, 20000, AcousticsGap::kBadInput},
        BadCase{"nan_range", Noise(), 48000, 0, kNaN, 20000, AcousticsGap::kBadInput},
        BadCase{"reversed_range", Noise(), 48000, 0, 20000, 20, AcousticsGap::kBadInput},
        BadCase{"onset_past_end", Noise(), 48000, 24000, 20, 20000, AcousticsGap::kNoOnset},
        BadCase{"steady_noise", Noise(), 48000, 0, 20, 20000, AcousticsGap::kNoDecay},
        BadCase{"ten_samples_after_onset", Noise(), 48000, 23990, 20, 20000,
                AcousticsGap::kNoDecay},
        BadCase{"silent", std::vector<float>(48000, 0.0f), 48000, std::nullopt, 20, 20000,
                AcousticsGap::kNoOnset},
        BadCase{"silent_given_onset", std::vector<float>(48000, 0.0f), 48000, 10, 20, 20000,
                AcousticsGap::kNoSignal}),
    [](const testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A lone impulse over faint noise has no decay of its own: what decays is
// the octave filter, so no octave may show a reverberation time; and with
// the noise reached at once there is no late energy, so no clarity either.
TEST(AcousticsResolution, ALoneImpulseShowsNoReverberationTime) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> noise(0.0, 1e-6);
    std::vector<float> response(96000);
    for (float& sample : response) sample = static_cast<float>(noise(rng));
    response[4800] = 1.0f;
    const AcousticsResult result = ComputeAcoustics(response, 48000, std::nullopt, 20, 20000);
    for (const OctaveAcoustics& band : result.bands) {
        SCOPED_TRACE(band.nominalHz);
        for (const AcousticValue* value : {&band.edt, &band.t20, &band.t30}) {
            EXPECT_FALSE(value->value.has_value()) << *value->value;
        }
        for (const AcousticValue* value : {&band.c50, &band.c80, &band.d50}) {
            EXPECT_FALSE(value->value.has_value()) << *value->value;
        }
    }
    // 4 / bandwidth: 1 kHz octave (707 Hz wide) resolves 5.7 ms and up.
    EXPECT_NEAR(ShortestResolvedSeconds(1000 / std::sqrt(2.0), 1000 * std::sqrt(2.0)), 0.00566,
                1e-5);
}

}  // namespace

namespace {

// A decay that meets the noise between 50 and 80 ms: C50 is measured, C80
// is not, since its late energy would be the fitted tail alone.
TEST(AcousticsClarity, NoClarityWhoseLateEnergyLiesBelowTheNoise) {
    std::mt19937_64 rng(9);
    std::normal_distribution<double> noise(0.0, 1.0);
    const double rt = 0.1;  // 60 dB in 100 ms; the noise 40 dB down is met at 67 ms
    std::vector<double> sum(48000, 0.0);
    const std::vector<double> tone = WanderingTone(rng, 1000, sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) {
        sum[i] = tone[i] * std::pow(10.0, -3.0 * static_cast<double>(i) / 48000 / rt) +
                 0.06 * noise(rng) / std::sqrt(2.0);  // 40 dB down in the octave
    }
    const std::vector<float> response(sum.begin(), sum.end());
    const AcousticsResult result = ComputeAcoustics(response, 48000, 0, 20, 20000);
    const OctaveAcoustics& band = result.bands[4];  // 1000 Hz
    ASSERT_EQ(band.nominalHz, 1000);
    EXPECT_TRUE(band.c50.value.has_value()) << band.crossSeconds;
    EXPECT_FALSE(band.c80.value.has_value()) << band.crossSeconds;
    EXPECT_EQ(band.c80.gap, AcousticsGap::kLateBelowNoise);
}

}  // namespace

namespace {

// The decay curve of an energy envelope of two decays, exp(-k1 t) + g
// exp(-k2 t) (k = 6 ln 10 / T: 60 dB in T): its Schroeder integral from t on
// is exp(-k1 t) / k1 + g exp(-k2 t) / k2, in dB relative to its value at 0.
struct TwoDecays {
    double fastSeconds, slowSeconds, slowDb;  // slowDb: g in dB

    double K(double seconds) const { return 6.0 * std::numbers::ln10 / seconds; }
    double Energy(double t) const {
        return std::exp(-K(fastSeconds) * t) +
               std::pow(10.0, slowDb / 10.0) * std::exp(-K(slowSeconds) * t);
    }
    double CurveDb(double t) const {
        const auto integral = [&](double at) {
            return std::exp(-K(fastSeconds) * at) / K(fastSeconds) +
                   std::pow(10.0, slowDb / 10.0) * std::exp(-K(slowSeconds) * at) / K(slowSeconds);
        };
        return 10.0 * std::log10(integral(t) / integral(0.0));
    }
};

// What a least-squares line through the known curve, sampled at kRate from
// where it falls below topDb to where it last stays above bottomDb, gives.
struct KnownFit {
    double seconds;   // -60 dB over the slope
    double permille;  // 1000 (1 - r^2)
};

KnownFit FitKnownCurve(const TwoDecays& decay, double topDb, double bottomDb) {
    double sumX = 0.0, sumY = 0.0, sumXX = 0.0, sumXY = 0.0, sumYY = 0.0, n = 0.0;
    for (std::size_t i = 0;; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double y = decay.CurveDb(t);
        if (y < bottomDb) break;
        if (y > topDb) continue;
        sumX += t;
        sumY += y;
        sumXX += t * t;
        sumXY += t * y;
        sumYY += y * y;
        n += 1.0;
    }
    const double sxx = sumXX - sumX * sumX / n;
    const double sxy = sumXY - sumX * sumY / n;
    const double syy = sumYY - sumY * sumY / n;
    return {-60.0 * sxx / sxy, 1000.0 * (1.0 - sxy * sxy / (sxx * syy))};
}

struct CurveCase {
    const char* name;
    TwoDecays decay;
    bool t20Curved, t30Curved;  // the fits of the known curve say so too
};

class CurvedDecay : public testing::TestWithParam<CurveCase> {};

// One octave whose energy envelope is the sum of two decays, over a noise
// floor far below: T20 and T30 are the slopes of the lines through the known
// decay curve, a curve far from its line is marked, and the non-linearity
// and the curvature are those of the known curve.
TEST_P(CurvedDecay, ValuesOfTheKnownCurveMarkedWhereItBends) {
    const CurveCase& c = GetParam();
    const KnownFit t20 = FitKnownCurve(c.decay, -5.0, -25.0);
    const KnownFit t30 = FitKnownCurve(c.decay, -5.0, -35.0);
    // The cases are where the known curve is clearly on one side of the mark.
    ASSERT_EQ(t20.permille > kMaxNonLinearityPermille, c.t20Curved) << t20.permille;
    ASSERT_EQ(t30.permille > kMaxNonLinearityPermille, c.t30Curved) << t30.permille;

    std::mt19937_64 rng(21);
    const std::size_t n = static_cast<std::size_t>(2.5 * kRate);
    const std::vector<double> tone = WanderingTone(rng, 1000, n);
    std::normal_distribution<double> noise(0.0, 1e-4);  // -80 dB, some -95 dB in the octave
    std::vector<float> response(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        response[i] = static_cast<float>(tone[i] * std::sqrt(c.decay.Energy(t)) + noise(rng));
    }
    const AcousticsResult result = ComputeAcoustics(response, kRate, 0, 20, 20000);
    const OctaveAcoustics& band = result.bands[4];
    ASSERT_EQ(band.nominalHz, 1000);
    ASSERT_TRUE(band.t20.value && band.t30.value);
    EXPECT_NEAR(*band.t20.value, t20.seconds, 0.02 * t20.seconds);
    EXPECT_NEAR(*band.t30.value, t30.seconds, 0.02 * t30.seconds);
    EXPECT_EQ(band.t20.curved, c.t20Curved);
    EXPECT_EQ(band.t30.curved, c.t30Curved);
    EXPECT_NEAR(band.t20.nonlinearityPermille, t20.permille, 0.05 * t20.permille + 0.5);
    EXPECT_NEAR(band.t30.nonlinearityPermille, t30.permille, 0.05 * t30.permille + 0.5);
    ASSERT_TRUE(band.curvaturePercent);
    EXPECT_NEAR(*band.curvaturePercent, 100.0 * (t30.seconds / t20.seconds - 1.0), 2.0);
    // The early decay's curve is never marked: the direct sound bends it by
    // nature.
    EXPECT_FALSE(band.edt.curved);
}

// A decay whose curve no line describes (a fast decay that hands over to a
// much slower one inside the evaluation range) gives no T30 at all, and says
// why, instead of a slope that is neither decay's.
TEST(AcousticsNoLine, ACurveFarFromAnyLineGivesNoValue) {
    const TwoDecays decay{0.05, 1.5, -40.0};
    const KnownFit t30 = FitKnownCurve(decay, -5.0, -35.0);
    ASSERT_GT(t30.permille, kMaxFitNonLinearityPermille);
    std::mt19937_64 rng(5);
    const std::size_t n = static_cast<std::size_t>(2.5 * kRate);
    const std::vector<double> tone = WanderingTone(rng, 1000, n);
    std::normal_distribution<double> noise(0.0, 1e-5);
    std::vector<float> response(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        response[i] = static_cast<float>(tone[i] * std::sqrt(decay.Energy(t)) + noise(rng));
    }
    const OctaveAcoustics band = ComputeAcoustics(response, kRate, 0, 20, 20000).bands[4];
    EXPECT_FALSE(band.t30.value);
    EXPECT_EQ(band.t30.gap, AcousticsGap::kNoLine);
    EXPECT_GT(band.t30.nonlinearityPermille, kMaxFitNonLinearityPermille);
}

INSTANTIATE_TEST_SUITE_P(Acoustics, CurvedDecay,
                         testing::Values(
                             // A fast decay and a slow one 15 dB below it: both ranges bend.
                             CurveCase{"both_bent", {0.3, 1.0, -15.0}, true, true},
                             CurveCase{"both_bent_longer", {0.5, 1.5, -15.0}, true, true},
                             // The slow decay appears below -25 dB: T20 is straight, T30 bends.
                             CurveCase{"late_bend", {0.4, 1.6, -30.0}, false, true},
                             // One decay, written as two equal halves: straight.
                             CurveCase{"single", {0.6, 0.6, 0.0}, false, false}),
                         [](const testing::TestParamInfo<CurveCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
