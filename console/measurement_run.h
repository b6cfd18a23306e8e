#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "console/band_plan.h"
#include "console/settings.h"

// Sizes of the sync region and the lead-in ahead of both test signals.
constexpr std::int64_t kSyncLength = 40384;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::uint32_t kSampleRate = 48000;

// One measurement with the settings and band plan of the current pass.
// Returns true when the loop should then wait for the operator's "c",
// false when the run was refused before anything was played.
bool RunMeasurement(const TestSettings& settings, const BandPlan& plan, double endFrequency,
                    std::span<std::int64_t> syncOut, std::span<std::int64_t> syncIn,
                    std::string& resultsText);
