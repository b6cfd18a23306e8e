#pragma once

// Room-acoustic parameters of an impulse response in octave bands:
// reverberation times from the backward-integrated decay (EDT, T20, T30) and
// the early-to-late energy ratios (C50, C80, D50).
//
// Method, per octave band:
//  - the band is analysed only when the sweep covered the whole octave and
//    the octave lies below half the sample rate;
//  - the response from the onset on is filtered with a sixth-order
//    Butterworth band-pass (three biquads, bilinear transform with
//    pre-warped edges), run over the time-reversed response so that the
//    filter's own ringing falls before the onset instead of lengthening the
//    decay;
//  - the noise floor is found with Lundeby's iterative method: the smoothed
//    energy envelope, a noise level from the tail, a regression of the late
//    decay and the crosspoint where that line meets the noise, repeated until
//    the crosspoint settles;
//  - the Schroeder backward integral runs from the crosspoint, plus the
//    energy the fitted decay line would still carry after it (the tail
//    compensation);
//  - EDT, T20 and T30 are least-squares slopes of that decay curve over
//    0..-10 dB, -5..-25 dB and -5..-35 dB, extrapolated to 60 dB; C50, C80 and
//    D50 split the same (noise-free) energy at 50 and 80 ms after the onset;
//  - a T20 or T30 whose curve is far from its fitted line (non-linearity
//    1000 (1 - r^2) above 10 per mille) is given and marked curved, and the
//    curvature 100 (T30 / T20 - 1) tells how the decay bends (ISO 3382-2,
//    Annex B).
// Every missing value carries the reason it is missing.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "signal/biquad.h"

constexpr int kOctaveBandCount = 8;

// Nominal centre frequencies (Hz) of the analysed octaves; the exact centres
// are 1000 * 2^k.
constexpr std::array<int, kOctaveBandCount> kOctaveNominalHz = {63,   125,  250,  500,
                                                                1000, 2000, 4000, 8000};

// Decay range (energy envelope peak above the noise, dB) each reverberation
// time needs: its evaluation range must end at least 10 dB above the noise.
constexpr double kEdtRangeDb = 20.0;
constexpr double kT20RangeDb = 35.0;
constexpr double kT30RangeDb = 45.0;

// Why a value is missing.
enum class AcousticsGap {
    kNone,             // the value is present
    kBadInput,         // empty response, non-finite sample, unusable sample rate or swept range
    kNoOnset,          // no direct sound: a silent response or an onset index past its end
    kNotSwept,         // the sweep did not cover the whole octave
    kAboveNyquist,     // the octave reaches half the sample rate
    kNoSignal,         // the band holds no energy after the onset
    kNoDecay,          // no decay above the noise could be fitted
    kShortRange,       // the band's decay range is less than the value needs
    kCurveEnds,        // the decay curve meets the noise before the evaluation range ends
    kBelowResolution,  // the decay is faster than the octave filter can resolve
    kLateBelowNoise,   // the decay meets the noise before the early period ends
    kNoLine,           // the decay curve is so far from a line that no slope describes it
};

// Largest non-linearity 1000 (1 - r^2) of a straight T20 or T30 fit (per
// mille); above it the decay is curved.
constexpr double kMaxNonLinearityPermille = 10.0;
// Beyond this non-linearity (r^2 below 0.9) a line through the decay curve
// describes no decay of the room: no value is given.
constexpr double kMaxFitNonLinearityPermille = 100.0;

// A reverberation time T is resolved by a band-pass of bandwidth B run over
// the time-reversed response when B T exceeds this (Jacobsen and Rindel);
// a shorter one is the filter's own decay.
constexpr double kResolvedBandwidthTime = 4.0;

// The shortest reverberation time the octave from lowerHz to upperHz resolves.
double ShortestResolvedSeconds(double lowerHz, double upperHz);

struct AcousticValue {
    std::optional<double> value;
    AcousticsGap gap = AcousticsGap::kNone;
    // Reverberation times only, where a line was fitted: the fit's
    // non-linearity 1000 (1 - r^2) in per mille, and for T20 and T30 whether
    // it exceeds kMaxNonLinearityPermille (the value is then given all the
    // same, but the decay is no single exponential).
    double nonlinearityPermille = 0.0;
    bool curved = false;
};

struct OctaveAcoustics {
    int nominalHz = 0;
    double centreHz = 0.0;
    double lowerHz = 0.0;  // centre / sqrt(2)
    double upperHz = 0.0;  // centre * sqrt(2)
    // Set when the noise floor was found (Lundeby's method converged on a
    // decay above the noise).
    bool decayFound = false;
    double decayRangeDb = 0.0;    // envelope peak above the noise (dB)
    double crossSeconds = 0.0;    // where the decay meets the noise, after the onset
    AcousticValue edt, t20, t30;  // seconds
    AcousticValue c50, c80;       // dB
    AcousticValue d50;            // percent
    // 100 (T30 / T20 - 1) where both are given: near 0 for a straight decay,
    // above some 10 % for a curved one.
    std::optional<double> curvaturePercent;
};

struct AcousticsResult {
    // Sample index of the direct sound: given by the caller or found.
    std::optional<std::size_t> onset;
    bool onsetFound = false;  // true when the index was searched for, not given
    std::array<OctaveAcoustics, kOctaveBandCount> bands;
};

// One second-order section: y = b0 x + b1 x' + b2 x'' - a1 y' - a2 y''.
using Biquad = BiquadCoefficients;

// Sixth-order Butterworth band-pass from lowerHz to upperHz (-3 dB there)
// with unit gain at the geometric centre, as three biquads. Requires
// 0 < lowerHz < upperHz < sampleRate / 2.
std::array<Biquad, 3> DesignButterworthBandPass(double lowerHz, double upperHz, double sampleRate);

// Runs x backwards in time through the sections and returns the output in
// forward order: output sample n depends only on input samples >= n.
std::vector<double> FilterTimeReversed(std::span<const Biquad> sections, std::span<const double> x);

// Start of the impulse response: the first sample whose square comes within
// 20 dB of the largest square. Nothing for an empty or silent response or
// one holding a non-finite sample.
std::optional<std::size_t> FindOnset(std::span<const float> response);

// The parameters per octave band. directIndex: the sample of the direct
// sound's arrival, or nothing to find it with FindOnset. [sweptLowHz,
// sweptHighHz]: the frequency range the sweep covered.
AcousticsResult ComputeAcoustics(std::span<const float> response, double sampleRate,
                                 std::optional<std::size_t> directIndex, double sweptLowHz,
                                 double sweptHighHz);
