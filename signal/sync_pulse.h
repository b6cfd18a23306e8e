#pragma once

#include <cstdint>
#include <span>

// Writes silence, one period of a 1 kHz tone from leadIn, silence into the
// first length entries of pulse (at most its size); returns the index of the
// pulse's first largest sample (0 when none is positive).
std::int64_t MakePulse(std::span<std::int64_t> pulse, std::uint32_t rate, std::int32_t length,
                       std::int64_t leadIn);

// Index of the first largest positive sample among the first count entries
// (at most the span's size); 0 when none is positive. Prints nothing.
std::int64_t PeakIndex(std::span<const std::int64_t> samples, std::int64_t count);

// The captured pulse's peak: where it lies and how loud it came back.
struct SyncPeak {
    std::int64_t index = 0;    // as PeakIndex
    double returnLevel = 0.0;  // dB re full scale; -inf when no sample is positive
};

// PeakIndex and the return level of that sample, in one pass.
SyncPeak FindPeak(std::span<const std::int64_t> samples, std::int64_t count);
