#include "signal/sweep.h"

#include <algorithm>
#include <cmath>

#include "samples/packing.h"
#include "signal/to_sample.h"

void MakeSweep(std::uint64_t rate, std::span<std::int64_t> samples, std::span<double> track,
               double startFrequency, double endFrequency, std::int64_t frameCount,
               double amplitude, std::int64_t leadIn) {
    // Keep 0 <= leadIn <= frameCount so the stretches below are well ordered
    // and frameCount - 2 * leadIn cannot overflow.
    frameCount = std::max<std::int64_t>(frameCount, 0);
    leadIn = std::clamp<std::int64_t>(leadIn, 0, frameCount);
    const std::int64_t sweepCount = (frameCount - leadIn) - leadIn;

    // Never write past either array, whatever the counts claim.
    const std::int64_t sampleEnd = std::min(frameCount, static_cast<std::int64_t>(samples.size()));
    const std::int64_t trackSize = static_cast<std::int64_t>(track.size());

    // 6.28318 for a full turn is deliberate: the sweep's samples are defined
    // with it (its frequencies lie 0.4 ppm below the track's).
    const double w = 6.28318 / static_cast<double>(rate);
    const double peak = amplitude * kFullScale;
    // The track reaches endFrequency one sample after the sweep's last one.
    const double slope =
        sweepCount > 0 ? (endFrequency - startFrequency) / static_cast<double>(sweepCount) : 0.0;

    if (trackSize > 0) {
        track[0] = startFrequency;
    }

    for (std::int64_t i = 0; i < std::min(leadIn, sampleEnd); ++i) {
        samples[i] = 0;
    }
    // Only the sweep samples that land in one of the arrays are computed.
    const std::int64_t sweepEnd = std::min(sweepCount, std::max(trackSize, sampleEnd - leadIn));
    for (std::int64_t j = 0; j < sweepEnd; ++j) {
        const double x = static_cast<double>(j);
        if (j < trackSize) {
            track[j] = slope * x + startFrequency;
        }
        if (leadIn + j < sampleEnd) {
            // The phase is the running integral of the track: the mean
            // frequency over samples 0..j times j, so the tone's
            // instantaneous frequency is the track's value.
            const double meanFrequency = startFrequency + slope * x / 2.0;
            const double phase = (meanFrequency * w) * x;
            samples[leadIn + j] = SampleFromDouble(std::sin(phase) * peak);
        }
    }
    for (std::int64_t i = leadIn + std::max<std::int64_t>(sweepCount, 0); i < sampleEnd; ++i) {
        samples[i] = 0;
    }
}
