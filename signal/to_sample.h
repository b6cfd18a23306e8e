#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Truncates a synthesised value toward zero to an integer sample. NaN and
// infinities give 0 and finite values beyond the signed 64-bit range
// saturate at its bounds, so an absurd amplitude, frequency or rate never
// makes the conversion undefined.
inline std::int64_t SampleFromDouble(double value) {
    if (!std::isfinite(value)) {
        return 0;
    }
    // 2^63 is exactly representable; every double below it truncates into range.
    constexpr double kLimit = 9223372036854775808.0;
    if (value >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value <= -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}
