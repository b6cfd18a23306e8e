#pragma once

#include <cstdint>
#include <span>

// Silence, a linear sine sweep, silence. samples holds frameCount entries;
// track receives the sweep's nominal frequency per sweep sample.
void MakeSweep(std::uint64_t rate, std::span<std::int64_t> samples, std::span<double> track,
               double startFrequency, double endFrequency, std::int64_t frameCount,
               double amplitude, std::int64_t leadIn);
