#pragma once

// What the room does in time, from the impulse response: the energy-time
// curve (ETC) with the early reflections, the waterfall (cumulative spectral
// decay) of the low frequencies and the decay of the room's modes.
//
// Method:
//  - the ETC is the squared magnitude of the analytic signal of the response
//    weighted with a Hann window over the swept range within 100 Hz..20 kHz
//    (which keeps the envelope's side lobes near -31 dB), in dB relative to
//    the direct sound's peak;
//  - its noise floor is the ETC's mean over the response's last 0.5 s;
//  - a reflection is a peak of the ETC within 50 ms after the direct sound,
//    at least -20 dB and at least kNoiseMarginDb above the noise floor, whose
//    prominence is at least kProminenceDb: the ETC falls that far below the
//    peak on both sides before it rises higher (or the window ends). Two
//    close peaks without such a dip between them are one reflection, the
//    higher of the two. It also stands kAboveDiffuseDb above the diffuse
//    sound around it, so that the peaks of a diffuse tail are not taken
//    for reflections;
//  - the waterfall: the response from the direct sound on, reduced to
//    kWaterfallRate, transformed from each slice's start over a window of
//    kWaterfallWindowSeconds (flat, then a half-Hann fall), a slice every
//    kWaterfallStepSeconds up to 0.5 s;
//  - the modes are the peaks of the response below 300 Hz above its mean
//    level with a prominence of kProminenceDb, the strongest ten; each one's decay is the slope of
//    the waterfall's slice at its frequency, fitted from 5 dB below the
//    slice's highest level down to 35 dB below it or 20 dB above the noise
//    at that frequency, whichever comes first, extrapolated to 60 dB.
// Every value that cannot be given carries the reason.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/transfer.h"

constexpr double kReflectionWindowSeconds = 0.05;
constexpr double kReflectionThresholdDb = -20.0;
constexpr double kProminenceDb = 3.0;
// Peaks of noise in the ETC reach some 9 dB above its mean within the
// reflection window; a reflection has to stand above that.
constexpr double kNoiseMarginDb = 12.0;
// A reflection stands this far above the diffuse sound around it: the
// higher of the ETC's medians over kDiffuseSeconds before and after it.
// The peaks of a diffuse tail stay below that.
constexpr double kAboveDiffuseDb = 12.0;
constexpr double kDiffuseSeconds = 0.0025;
constexpr double kSpeedOfSoundMs = 343.0;
constexpr double kEtcLowHz = 100.0;
constexpr double kEtcHighHz = 20000.0;
constexpr double kEtcPictureSeconds = 0.2;  // the ETC kept for the picture
constexpr double kNoiseTailSeconds = 0.5;

constexpr double kModeHighHz = 300.0;
constexpr std::size_t kMostModes = 10;

constexpr double kWaterfallLowHz = 15.0;
constexpr double kWaterfallHighHz = 500.0;
constexpr double kWaterfallSeconds = 0.5;
constexpr double kWaterfallStepSeconds = 0.005;
constexpr double kWaterfallWindowSeconds = 0.3;
constexpr double kWaterfallRate = 1500.0;

// Why a value is missing.
enum class TimeGap {
    kNone,
    kBadInput,      // empty response, a non-finite sample, no usable rate
    kTooShort,      // the response ends before the value's window does
    kTooNoisy,      // the ETC's noise floor leaves nothing above the threshold
    kNoReflection,  // no reflection above the threshold (initial time gap)
    kBelowNoise,    // the mode's slice does not decay far enough above the noise
    kTooFast,       // the decay is over within fewer than three slices
    kNoDecay,       // the slice does not fall
    kNotSwept,      // nothing of the range was swept
};

struct Reflection {
    double seconds = 0.0;  // after the direct sound
    double metres = 0.0;   // extra path at kSpeedOfSoundMs
    double levelDb = 0.0;  // relative to the direct sound
};

struct RoomMode {
    double frequency = 0.0;
    double levelDb = 0.0;  // relative to the response's mean level
    std::optional<double> t60;
    TimeGap gap = TimeGap::kNone;
};

struct Waterfall {
    std::vector<double> frequencies;  // Hz, kWaterfallLowHz..kWaterfallHighHz
    std::vector<double> times;        // each slice's start after the direct sound (s)
    // One row per slice, one level per frequency, dB relative to the first
    // slice's highest level.
    std::vector<std::vector<float>> levels;
    std::vector<float> noiseDb;  // the response's last window alike; empty when none
    double resolutionHz = 0.0;   // 1 / window
};

struct TimeViews {
    TimeGap gap = TimeGap::kBadInput;  // kNone: the ETC is there
    double etcLowHz = 0.0, etcHighHz = 0.0;
    double etcStepSeconds = 0.0;
    // The ETC from the direct sound on (index 0) for kEtcPictureSeconds, dB.
    std::vector<float> etcDb;
    std::optional<double> noiseFloorDb;  // none when the response has no tail
    // Reflections, or the reason none can be listed.
    std::vector<Reflection> reflections;
    TimeGap reflectionsGap = TimeGap::kBadInput;
    double reflectionFloorDb = kReflectionThresholdDb;  // weakest level listed
    std::optional<double> initialGapSeconds;
    TimeGap initialGapGap = TimeGap::kBadInput;
    std::vector<RoomMode> modes;  // strongest first
    TimeGap modesGap = TimeGap::kBadInput;
    double meanLevelDb = 0.0;  // the response's mean the modes refer to
    Waterfall waterfall;
};

// The time views of an impulse response whose direct sound lies at sample
// directIndex (fractional), with the response's points (for the modes) and
// the swept range.
TimeViews ComputeTimeViews(std::span<const float> response, double directIndex, double rate,
                           std::span<const ResponsePoint> points, double sweptLowHz,
                           double sweptHighHz);
