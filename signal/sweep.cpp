#include "signal/sweep.h"

#include <algorithm>
#include <cmath>

#include "samples/packing.h"
#include "signal/to_sample.h"

void MakeSweep(std::uint64_t rate, std::span<std::int64_t> samples, double startFrequency,
               double endFrequency, std::int64_t frameCount, double amplitude,
               std::int64_t leadIn) {
    // Keep 0 <= leadIn <= frameCount so the stretches below are well ordered
    // and frameCount - 2 * leadIn cannot overflow.
    frameCount = std::max<std::int64_t>(frameCount, 0);
    leadIn = std::clamp<std::int64_t>(leadIn, 0, frameCount);
    const std::int64_t sweepCount = (frameCount - leadIn) - leadIn;

    // Never write past the array, whatever the counts claim.
    const std::int64_t sampleEnd = std::min(frameCount, static_cast<std::int64_t>(samples.size()));

    // 6.28318 for a full turn is deliberate: the sweep's samples are defined
    // with it (its frequencies lie 0.4 ppm below the nominal ones).
    const double w = 6.28318 / static_cast<double>(rate);
    const double peak = amplitude * kFullScale;
    // The frequency reaches endFrequency one sample after the sweep's last one.
    const double slope =
        sweepCount > 0 ? (endFrequency - startFrequency) / static_cast<double>(sweepCount) : 0.0;

    for (std::int64_t i = 0; i < std::min(leadIn, sampleEnd); ++i) {
        samples[i] = 0;
    }
    // Only the sweep samples that land in the array are computed.
    const std::int64_t sweepEnd = std::min(sweepCount, sampleEnd - leadIn);
    for (std::int64_t j = 0; j < sweepEnd; ++j) {
        const double x = static_cast<double>(j);
        // The phase is the running integral of the frequency: the mean
        // frequency over samples 0..j times j, so the tone's instantaneous
        // frequency is startFrequency + slope j.
        const double meanFrequency = startFrequency + slope * x / 2.0;
        const double phase = (meanFrequency * w) * x;
        samples[leadIn + j] = SampleFromDouble(std::sin(phase) * peak);
    }
    for (std::int64_t i = leadIn + std::max<std::int64_t>(sweepCount, 0); i < sampleEnd; ++i) {
        samples[i] = 0;
    }
}
