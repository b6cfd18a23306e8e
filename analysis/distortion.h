#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "analysis/transfer.h"

// Harmonic distortion from the response to an exponential sweep. Deconvolved
// by the sweep, a nonlinearity's k-th harmonic shows as an impulse response
// of its own ahead of the linear one, at -rateConstant * ln(k) (the k-th
// harmonic of the sweep is the sweep itself, that much earlier). Each is cut
// out with a window and transformed; the k-th harmonic of a fundamental f is
// its response at k * f.

// The harmonics measured: the 2nd to the kHighestHarmonic-th.
constexpr int kHighestHarmonic = 5;
constexpr int kHarmonicCount = kHighestHarmonic - 1;

// Power spectra of the windowed responses of one window length: index 0
// the linear one, index k - 1 the k-th harmonic's.
struct HarmonicWindow {
    std::array<std::vector<double>, kHighestHarmonic> power;
    // Per bin, on the scale of power: what the lead-in's noise is expected
    // to contribute to any one of these windows (the same for each, as they
    // are all as long and as shaped). Empty without a noise estimate.
    std::vector<double> noise;
    double binSpacing = 0.0;  // Hz
    std::int64_t windowFrames = 0;
};

// The spectra for windows of halving length, longest first. Empty (no
// windows) when the response cannot hold the harmonics apart.
struct HarmonicSpectra {
    std::vector<HarmonicWindow> windows;
    double rate = 0.0;
    // The output frequencies the spectra hold: the sweep's range inside
    // its tapers, below half the rate.
    double lowFrequency = 0.0;
    double highFrequency = 0.0;

    bool empty() const { return windows.empty(); }
};

// The sweep whose response is taken apart.
struct SweepShape {
    double rateConstant = 0.0;   // seconds: f(t) = low * exp(t / rateConstant)
    double lowFrequency = 0.0;   // Hz, the sweep's range
    double highFrequency = 0.0;  // Hz
};

// From the transfer function of the take (ComputeTransfer over the sweep's
// whole range, status Ok, bins and size agreeing): its impulse response with
// H tapered to zero at both ends of the sweep's range (over the lowest three
// quarters of an octave and the highest twelfth), so that the edges of the
// division do not ring into the harmonics' windows. delaySamples: the direct
// sound (FindDelay); every window lies that much later than the harmonic's
// own time. The longest windows are 0.9 of the gap between the 5th and 6th
// harmonic long, the others half as long each down to 64 samples; each
// begins a quarter of its length before the harmonic's own time. The spectra hold the output
// frequencies between the tapers. Empty when H or the shape is unusable, the windows would be
// shorter than 64 samples, or the 6th harmonic's time lies beyond half the
// response. With h.noisePower (one value per bin) each window also holds
// the noise it is expected to carry.
HarmonicSpectra ExtractHarmonics(const TransferFunction& h, double delaySamples,
                                 const SweepShape& sweep);

// A harmonic counts as distortion only when its power stands this many
// times (10 dB) above the noise's expected power in its window. Noise alone
// then passes in a single bin with a chance of e^-10 (its power there is
// exponentially distributed), and the noise under a harmonic that passes
// adds at most 0.4 dB to its reading.
constexpr double kNoiseMargin = 10.0;

// Distortion at one fundamental frequency, in percent of the fundamental's
// level; NaN for a harmonic whose frequency lies beyond the swept range (or
// half the rate), and for THD when none of them lies inside.
//
// A harmonic not kNoiseMargin above the noise is noise-limited: its percent
// is NaN, belowNoise says so, and its limit is the level it would need to
// count, 100 sqrt(kNoiseMargin N_k) / |H_1| (N_k the noise's expected power
// at k f). THD sums the harmonics that count; when none does but some are
// noise-limited, it is NaN with thdBelowNoise set. noiseLimitPercent, the
// root sum of the measured harmonics' limits, bounds the THD the noise can
// hide: with every harmonic noise-limited the THD is below it. Without a
// noise estimate every measured harmonic counts and the limits are NaN.
struct DistortionPoint {
    double frequency = 0.0;
    double thdPercent = 0.0;                               // sqrt(sum of |H_k|^2) / |H_1|
    std::array<double, kHarmonicCount> harmonicPercent{};  // H2 .. H5
    std::array<bool, kHarmonicCount> belowNoise{};
    std::array<double, kHarmonicCount> harmonicLimitPercent = {kNoLimit, kNoLimit, kNoLimit,
                                                               kNoLimit};
    bool thdBelowNoise = false;
    double noiseLimitPercent = kNoLimit;

    static constexpr double kNoLimit = std::numeric_limits<double>::quiet_NaN();
};

// The distortion at frequency f, each |H_k|^2 the mean over the bins within
// half a 1/pointsPerOctave octave step either side of k * f (the nearest
// bin when none is), all from the shortest windows that hold 24 cycles of
// f (the longest when none does): the fundamental and its harmonics through
// windows of the same length. A fundamental outside the swept range has every value
// NaN. Empty spectra or 1 > pointsPerOctave > 1000 give NaN throughout.
DistortionPoint DistortionAt(const HarmonicSpectra& spectra, double frequency, int pointsPerOctave);

// Points at 1/pointsPerOctave octave steps from low up to high (both
// positive and finite, low <= high); empty otherwise, for empty spectra and
// for more than 100000 steps.
std::vector<DistortionPoint> DistortionCurve(const HarmonicSpectra& spectra, double low,
                                             double high, int pointsPerOctave);
