#pragma once

// The evaluation of one take: everything a run reports, computed from what
// the device recorded, the run's bands and sweep, and the microphone's
// calibration. It never prints and never writes a file; the console prints
// and saves its result.

#include <optional>
#include <span>
#include <vector>

#include "analysis/acoustics.h"
#include "analysis/calibration.h"
#include "analysis/correction.h"
#include "analysis/distortion.h"
#include "analysis/disturbance.h"
#include "analysis/time_views.h"
#include "analysis/transfer.h"

// The impulse response a run keeps: from this long before time zero (the
// loop-back reference), for the band-limited ringing ahead of the direct
// sound, to this long after the direct sound. The swept range's lower edge
// rings ahead of time zero, the longer the lower it lies: the file alone,
// re-read, gives the lowest third octave of a sweep from 18 Hz (1 s to
// 2 min long) within 0.04 dB of the response with 1 s, within 0.07 dB with
// 0.5 s, and up to 0.5 dB low with 10 ms.
constexpr double kImpulseLeadSeconds = 1.0;
constexpr double kImpulseTailSeconds = 2.5;
// The acoustics are evaluated from this long before time zero on.
constexpr double kAcousticsLeadSeconds = 0.01;

// Fundamentals the distortion summary gives, where the bands reach them.
constexpr double kDistortionSummaryFrequencies[] = {100.0, 1000.0, 10000.0};

// How the take was measured and what is to be reported of it.
struct TakePlan {
    std::span<const double> lowerEdges;  // the bands (the shorter span decides)
    std::span<const double> upperEdges;
    double lowFrequency = 0.0;  // the range the bands and files report
    double highFrequency = 0.0;
    std::int64_t sweepFrames = 0;              // the sweep's own frames, for the signal checks
    std::optional<SweepShape> exponential;     // the exponential sweep; none for the linear one
    const Calibration* calibration = nullptr;  // the microphone's, or none
};

// The harmonic distortion of an exponential sweep's take: per 1/12 octave
// over the reported range, and at the summary's frequencies inside it.
struct DistortionFigures {
    std::vector<DistortionPoint> curve;
    std::vector<DistortionPoint> summary;
};

struct RunResult {
    std::vector<BandLevel> bands;  // the table: one level per band
    SignalChecks signal;           // input 1: clipping, level, noise, return level
    DisturbanceCheck disturbance;  // something other than the room in the take
    TransferStatus transfer = TransferStatus::NoSignal;  // Ok: everything below is there
    double rate = 0.0;                                   // frames per second of the take
    double lowFrequency = 0.0;                           // the reported range (Hz)
    double highFrequency = 0.0;
    Delay delay;                            // the direct sound after time zero
    ImpulseResponse impulse;                // kImpulseLeadSeconds before time zero on
    std::vector<ResponsePoint> response;    // H at 1/96-octave points, for the response file
    std::vector<ResponsePoint> smoothed;    // 1/12-octave power means, for the picture
    std::vector<ResponsePoint> noiseFloor;  // the lead-in's noise, smoothed alike
    AcousticsResult acoustics;
    std::optional<DistortionFigures> distortion;  // with the exponential sweep
    // The ETC, reflections, waterfall and modes: whenever the response is.
    std::optional<TimeViews> timeViews;
    // A room correction designed on the response, when one is asked for
    // (a stage of its own after the evaluation).
    std::optional<DesignedCorrection> correction;
};

// Deconvolves the take over its swept range, checks it, takes the
// calibration out of H and derives everything else from it. The transform
// is released before the result is returned.
RunResult EvaluateTake(const Take& take, const TakePlan& plan);
