#pragma once

#include <cstdint>
#include <span>

// Writes silence, one period of a 1 kHz tone from leadIn, silence; returns
// the index of the pulse's largest sample (0 when none is positive).
std::int64_t MakePulse(std::span<std::int64_t> pulse, std::uint32_t rate, std::int32_t length,
                       std::int64_t leadIn);

// Index of the first largest positive sample among the first count entries
// (0 when none is positive); prints the channel-2 return level.
std::int64_t FindPeak(std::span<const std::int64_t> samples, std::int64_t count);
