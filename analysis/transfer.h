#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "analysis/calibration.h"
#include "analysis/spectrum.h"

// One take: the signal played on output 1 and the capture of input 1.
struct Take {
    std::span<const std::int64_t> played;    // the sweep with its lead-in and tail
    std::span<const std::int64_t> captured;  // input 1, same scale
    std::int64_t playedSweepStart = 0;       // index of the sweep's first sample in played
    std::int64_t capturedSweepStart = 0;     // where the sync pulse says it begins in captured
    double startFrequency = 0.0;             // swept range (Hz)
    double endFrequency = 0.0;
    double rate = 0.0;  // frames per second
};

enum class TransferStatus {
    Ok,
    NoSignal,    // nothing played, or a rate or range that is not a positive finite span
    TooLong,     // the transform would be longer than the transforms can take
    NoMemory,    // the memory for the transforms was not there
    NoResponse,  // the played signal has no energy in the swept range
};

// H(f) = Y X* / (|X|^2 + eps(f)) at bin k, frequency k * rate / size,
// k = 0..size / 2. Time zero of H is the loop-back reference: played sample
// playedSweepStart lines up with captured sample capturedSweepStart. H is 1
// (0 dB, phase 0) for a loop that returns what was played at once and at the
// same level.
struct TransferFunction {
    TransferStatus status = TransferStatus::NoSignal;
    Spectrum bins;
    std::int64_t size = 0;    // transform length
    std::int64_t frames = 0;  // the take's frames, the rest of the length is padding
    double rate = 0.0;
    double startFrequency = 0.0;  // swept range (Hz)
    double endFrequency = 0.0;
    // Per bin: the noise of input 1 in the lead-in, as it shows in |H|^2 over
    // a take of this length. Empty when the lead-in was too short to tell.
    std::vector<double> noisePower;

    double BinSpacing() const { return rate / static_cast<double>(size); }
};

// Takes a measuring microphone's own response out of H: each bin is divided
// by the calibration's gain and phase at the bin's frequency, so that
// everything derived from H afterwards (bands, impulse response, response
// points) describes the room, not the microphone.
void ApplyCalibration(TransferFunction& h, const Calibration& calibration);

// Deconvolves the take: the aligned capture over the played frames, both
// padded with zeros to a length that holds the take and three seconds of
// the room's decay beyond it. Outside the swept range the regularisation drives
// H towards zero.
TransferFunction ComputeTransfer(const Take& take);

// The level of one band in dB relative to the loudest band. A band is missing
// when no bin lies in both the band [lower, upper] and the swept range; its
// level is then -inf. Bands partly outside the swept range are measured over
// the bins inside it.
struct BandLevel {
    double level = 0.0;
    bool missing = true;
    double power = 0.0;  // the band's mean |H|^2 itself, relative to the loop; 0 when missing
};

// One level per band described by both edge spans (the shorter one decides).
// A level is never -0.0; when every band's power is zero, every level is
// -inf.
std::vector<BandLevel> BandLevels(const TransferFunction& h, std::span<const double> lowerEdges,
                                  std::span<const double> upperEdges);

// The functions below take only a transfer function whose status is Ok and
// whose bins and size agree; for any other they return empty results (band
// levels: every band missing).

// The impulse response h(t): the inverse transform of H.
struct ImpulseResponse {
    std::vector<float> samples;
    std::int64_t zeroIndex = 0;  // index of time zero (the loop-back reference)
};

// The direct sound: where |h| peaks, in samples after time zero, refined to a
// fraction of a sample by a parabola through the peak and its neighbours.
// Negative when the peak lies before time zero; 0 for an empty response.
struct Delay {
    double samples = 0.0;
    double milliseconds = 0.0;
    double metres = 0.0;  // at 343 m/s
};

// The whole impulse response in circular order (index 0 = time zero; the
// upper half holds negative times), scaled so a loop that returns what was
// played gives a band-limited unit impulse.
Waveform ImpulseResponseOf(const TransferFunction& h);

// The same of H weighted bin by bin by weight(frequency in Hz).
Waveform ImpulseResponseOf(const TransferFunction& h, const std::function<double(double)>& weight);

// The peak of |response| over the circular response, times between -size/2
// and size/2.
Delay FindDelay(std::span<const double> response, double rate);

// The stretch of the response from preSeconds before time zero to
// afterSeconds after the direct sound (delaySamples), cut to what the
// response holds. Values beyond float's range are clamped, NaN gives 0.
ImpulseResponse CutImpulseResponse(std::span<const double> response, double rate,
                                   double delaySamples, double preSeconds, double afterSeconds);

// A point of the response: magnitude in dB relative to the loop, phase in
// degrees in (-180, 180] relative to time zero.
struct ResponsePoint {
    double frequency = 0.0;
    double magnitudeDb = 0.0;
    double phaseDegrees = 0.0;
};

// Lowest magnitude a point reports; a band of zero power shows this.
constexpr double kFloorDb = -300.0;

// Points at 1/pointsPerOctave octave steps from the swept range's start up to
// its end, each the power mean of |H|^2 over the bins within half a step
// either side inside the swept range (the nearest bin when none is); a
// power mean has no phase, so the phase is 0. For a picture: a dip narrower
// than the step is filled in. Empty unless 1 <= pointsPerOctave <= 1000.
std::vector<ResponsePoint> SmoothedResponse(const TransferFunction& h, int pointsPerOctave);

// H itself at the same frequencies as SmoothedResponse, not smoothed:
// magnitude and phase of one complex value, interpolated linearly between
// the two bins around the point's frequency (bins of the swept range only;
// at its edges the nearest bin inside it). Empty unless
// 1 <= pointsPerOctave <= 1000.
std::vector<ResponsePoint> PointResponse(const TransferFunction& h, int pointsPerOctave);

// The noise floor: the lead-in's noise as it shows in H, smoothed as
// SmoothedResponse smooths H (phase 0). Empty without a noise estimate.
std::vector<ResponsePoint> SmoothedNoise(const TransferFunction& h, int pointsPerOctave);

// Checks of the captured signal of input 1.
struct SignalChecks {
    std::int64_t clippedSamples = 0;  // at full scale (within one 16-bit step)
    bool silent = true;               // every captured sample is zero
    bool tooLow = true;          // the level during the sweep is below kLowestLevelDb (or unknown)
    double signalLevelDb = 0.0;  // RMS during the sweep, dB re full scale
    double noiseLevelDb = 0.0;   // RMS before the sweep arrives, dB re full scale
    double returnLevelDb = -std::numeric_limits<double>::infinity();  // peak during the sweep, dB
                                                                      // re full scale
    bool snrKnown = false;       // both stretches hold samples
    double snrDb = 0.0;          // +inf when the lead-in is exactly zero
    bool lowSnr = false;         // snrKnown and snrDb < kLowestSnrDb
};

constexpr double kLowestLevelDb = -100.0;
constexpr double kLowestSnrDb = 20.0;

// The noise is the capture before captureSweepStart; the signal the
// sweepFrames captured from captureSweepStart on. Stretches are cut to the
// capture.
SignalChecks CheckSignal(std::span<const std::int64_t> captured, std::int64_t captureSweepStart,
                         std::int64_t sweepFrames);
