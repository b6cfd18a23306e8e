#pragma once

#include <cstdint>
#include <span>

// An exponential sweep: its frequency rises by equal ratios in equal times,
// f(t) = low * exp(t / rateConstant), from low at the sweep's first sample to
// high one sample after its last, so every octave gets the same time. The
// tone is cos(2 pi low L exp(t / L)), L the rate constant: its k-th harmonic
// is the sweep itself L ln(k) earlier, in phase. Half cosine fades at both
// ends keep its edges from clicking.
struct LogSweep {
    bool usable = false;
    double rate = 0.0;          // frames per second
    double low = 0.0;           // Hz
    double high = 0.0;          // Hz
    double rateConstant = 0.0;  // seconds: duration / ln(high / low)
    std::int64_t sweepFrames = 0;
    std::int64_t fadeInFrames = 0;   // the sweep's first quarter octave
    std::int64_t fadeOutFrames = 0;  // its last twenty-fourth of an octave

    // The frequency where the fade-out begins: the sweep is at full level
    // below it.
    double FadeOutFrequency() const;
};

// Share of half the rate an exponential sweep stops at, at most.
constexpr double kLogSweepTopShare = 0.95;

// The exponential sweep for bands from startFrequency to endFrequency: from
// half the start to the smaller of twice the end and kLogSweepTopShare of
// half the rate, sweepFrames long, so that the bands at both ends are swept
// completely at full level. Unusable (usable false) unless the rate and both
// frequencies are positive and finite, the range rises and the sweep has at
// least 16 frames.
LogSweep PlanLogSweep(double startFrequency, double endFrequency, double rate,
                      std::int64_t sweepFrames);

// Silence, the exponential sweep, silence, laid out as MakeSweep lays out
// the linear one: samples holds frameCount entries, the sweep begins at
// leadIn and lasts sweep.sweepFrames (cut to what frameCount - 2 * leadIn
// leaves). An unusable sweep leaves the whole of samples silent.
void MakeLogSweep(const LogSweep& sweep, std::span<std::int64_t> samples, std::int64_t frameCount,
                  double amplitude, std::int64_t leadIn);
