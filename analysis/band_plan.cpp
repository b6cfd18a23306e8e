#include "analysis/band_plan.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

std::int32_t CutToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    // 2^31 and -2^31 - 1 are exact doubles; everything strictly between them
    // truncates into the int32 range.
    if (value >= 2147483648.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value <= -2147483649.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

double FindHighFreq(double q, int bandCount, double startFrequency, std::span<double> lowerEdges,
                    std::span<double> upperEdges) {
    const std::size_t capacity = std::min(lowerEdges.size(), upperEdges.size());
    const std::size_t count =
        bandCount > 0 ? std::min(static_cast<std::size_t>(bandCount), capacity) : 0;

    // Each upper edge grows from the cut edge before it, so the cutting
    // compounds along the plan.
    double x = CutToInt32(startFrequency);
    for (std::size_t i = 0; i < count; ++i) {
        x = CutToInt32(x + x / q);
        upperEdges[i] = x;
    }

    // The first band starts at the start frequency as entered, fraction kept.
    if (!lowerEdges.empty()) {
        lowerEdges[0] = startFrequency;
    }
    for (std::size_t i = 1; i < count; ++i) {
        lowerEdges[i] = upperEdges[i - 1];
    }
    return x;
}
