#include "signal/sync_pulse.h"

#include <algorithm>
#include <cmath>

#include "samples/packing.h"
#include "signal/to_sample.h"

std::int64_t MakePulse(std::span<std::int64_t> pulse, std::uint32_t rate, std::int32_t length,
                       std::int64_t leadIn) {
    const std::int64_t end =
        std::min<std::int64_t>(std::max<std::int32_t>(length, 0), std::ssize(pulse));
    // One period of a nominal 1 kHz tone: rate / 1000 samples, rounded up.
    // 6.28318 rather than 2 pi is deliberate: the pulse's samples are defined
    // with this value, and its peak index (the alignment) depends on it.
    const double w = (6.28318 / static_cast<double>(rate)) * 1000.0;
    const double pulseEnd = static_cast<double>(leadIn) + static_cast<double>(rate) / 1000.0;

    std::int64_t largest = 0;
    std::int64_t peakIndex = 0;
    std::int64_t i = 0;
    for (; i < std::min(leadIn, end); ++i) {
        pulse[i] = 0;
    }
    // The phase follows the buffer index, offset by 500, not the position in
    // the pulse.
    for (; i < end && static_cast<double>(i) < pulseEnd; ++i) {
        const std::int64_t value =
            SampleFromDouble(4194304.0 * std::sin(w * static_cast<double>(i - 500)));
        pulse[i] = value;
        if (value > largest) {
            largest = value;
            peakIndex = i;
        }
    }
    for (; i < end; ++i) {
        pulse[i] = 0;
    }
    return peakIndex;
}

namespace {

struct Peak {
    std::int64_t index = 0;
    std::int64_t value = 0;
};

// The first largest sample among the first count entries, starting from the
// value 0 so that only a positive sample can be the peak.
Peak SearchPeak(std::span<const std::int64_t> samples, std::int64_t count) {
    const std::int64_t end = std::clamp<std::int64_t>(count, 0, std::ssize(samples));
    Peak peak;
    for (std::int64_t i = 0; i < end; ++i) {
        if (samples[i] > peak.value) {
            peak = {i, samples[i]};
        }
    }
    return peak;
}

}  // namespace

std::int64_t PeakIndex(std::span<const std::int64_t> samples, std::int64_t count) {
    return SearchPeak(samples, count).index;
}

SyncPeak FindPeak(std::span<const std::int64_t> samples, std::int64_t count) {
    const Peak peak = SearchPeak(samples, count);
    // With nothing positive the level is that of 0: minus infinity.
    return {peak.index, 20.0 * std::log10(static_cast<double>(peak.value) / kFullScale)};
}
