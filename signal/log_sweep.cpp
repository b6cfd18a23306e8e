#include "signal/log_sweep.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "samples/packing.h"
#include "signal/taper.h"
#include "signal/to_sample.h"

namespace {

// Fades in octaves of the sweep: long at the bottom, where a quarter octave
// is still only a few cycles, short at the top.
constexpr double kFadeInOctaves = 0.25;
constexpr double kFadeOutOctaves = 1.0 / 24.0;
constexpr std::int64_t kShortestSweep = 16;

// Frames the sweep takes to rise by the given octaves, at most a quarter of
// the sweep and at least one frame.
std::int64_t FramesFor(double octaves, const LogSweep& sweep) {
    const double frames = octaves * std::numbers::ln2 * sweep.rateConstant * sweep.rate;
    const double longest = static_cast<double>(sweep.sweepFrames / 4);
    return static_cast<std::int64_t>(std::clamp(std::ceil(frames), 1.0, longest));
}

}  // namespace

double LogSweep::FadeOutFrequency() const {
    if (!usable) return 0.0;
    const double seconds = static_cast<double>(sweepFrames - fadeOutFrames) / rate;
    return low * std::exp(seconds / rateConstant);
}

LogSweep PlanLogSweep(double startFrequency, double endFrequency, double rate,
                      std::int64_t sweepFrames) {
    LogSweep sweep;
    const bool finite =
        std::isfinite(startFrequency) && std::isfinite(endFrequency) && std::isfinite(rate);
    if (!finite || !(startFrequency > 0.0) || !(rate > 0.0) || sweepFrames < kShortestSweep) {
        return sweep;
    }
    sweep.rate = rate;
    sweep.low = startFrequency / 2.0;
    sweep.high = std::min(2.0 * endFrequency, kLogSweepTopShare * rate / 2.0);
    sweep.sweepFrames = sweepFrames;
    if (!(sweep.high > sweep.low)) return LogSweep{};
    sweep.rateConstant = static_cast<double>(sweepFrames) / rate / std::log(sweep.high / sweep.low);
    if (!std::isfinite(sweep.rateConstant) || !(sweep.rateConstant > 0.0)) return LogSweep{};
    sweep.fadeInFrames = FramesFor(kFadeInOctaves, sweep);
    sweep.fadeOutFrames = FramesFor(kFadeOutOctaves, sweep);
    sweep.usable = true;
    return sweep;
}

void MakeLogSweep(const LogSweep& sweep, std::span<std::int64_t> samples, std::int64_t frameCount,
                  double amplitude, std::int64_t leadIn) {
    // The same bounds as the linear sweep: 0 <= leadIn <= frameCount, and
    // nothing written past the array.
    frameCount = std::max<std::int64_t>(frameCount, 0);
    leadIn = std::clamp<std::int64_t>(leadIn, 0, frameCount);
    const std::int64_t sampleEnd = std::min(frameCount, static_cast<std::int64_t>(samples.size()));
    std::fill(samples.begin(), samples.begin() + sampleEnd, 0);
    if (!sweep.usable) return;
    const std::int64_t sweepCount = std::min(sweep.sweepFrames, (frameCount - leadIn) - leadIn);

    // Frames for the frequency to grow by the factor e.
    const double growthFrames = sweep.rateConstant * sweep.rate;
    // The phase is an integral of the frequency, 2 pi low L exp(t / L) at
    // t = j / rate, and the tone its cosine: k times the phase at t is the
    // phase at t + L ln(k), so the k-th harmonic of a polynomial's output is
    // the sweep itself L ln(k) earlier, without a phase turn, and
    // deconvolves to a compact impulse.
    const double phaseScale = 2.0 * std::numbers::pi * sweep.low * sweep.rateConstant;
    const double peak = amplitude * kFullScale;
    const std::int64_t fadeOutBegin = sweep.sweepFrames - sweep.fadeOutFrames;
    const std::int64_t sweepEnd = std::min(sweepCount, sampleEnd - leadIn);
    for (std::int64_t j = 0; j < sweepEnd; ++j) {
        const double x = static_cast<double>(j) / growthFrames;
        double gain = 1.0;
        if (j < sweep.fadeInFrames) {
            const double share = static_cast<double>(j) / static_cast<double>(sweep.fadeInFrames);
            gain = RaisedCosine(share);
        } else if (j > fadeOutBegin) {
            const double share = static_cast<double>(sweep.sweepFrames - j) /
                                 static_cast<double>(sweep.fadeOutFrames);
            gain = RaisedCosine(share);
        }
        const double phase = phaseScale * std::exp(x);
        samples[static_cast<std::size_t>(leadIn + j)] =
            SampleFromDouble(std::cos(phase) * gain * peak);
    }
}
