#pragma once

#include <cstdint>
#include <span>

// Silence, a linear sine sweep, silence. samples holds frameCount entries.
// The sweep's frequency at sweep sample j is startFrequency + j (endFrequency
// - startFrequency) / sweepCount, sweepCount = frameCount - 2 leadIn: it
// reaches endFrequency one sample after the sweep's last one.
void MakeSweep(std::uint64_t rate, std::span<std::int64_t> samples, double startFrequency,
               double endFrequency, std::int64_t frameCount, double amplitude,
               std::int64_t leadIn);
