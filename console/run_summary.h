#pragma once

// The summary of a run that other programs read: _summary.json, and with
// --json the same as one line on standard output.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "analysis/evaluation.h"
#include "console/run_description.h"

// What the run knows of a take beside its evaluation.
struct TakeChecks {
    std::int64_t dropouts = 0;         // transfer faults that lost measured frames
    double syncReturnLevelDb = 0.0;    // input 2's peak, dB re full scale
    std::FILE* summaryLine = nullptr;  // where the summary goes as one line, or nowhere
};

// A take is clean when it was analyzed and is neither disturbed, clipped,
// too low (or silent) nor broken by a dropout.
bool CleanTake(const RunResult& result, std::int64_t dropouts);

// The summary as JSON text, on one line (indent < 0) or indented: the run's
// settings, device, date and sweep, the band table (a missing band's level
// null), the signal checks, the disturbance, the delay, the acoustics per
// octave (a missing value null with its reason), the distortion summary and
// the files written. A number that is not finite is null, with a reason.
std::string SummaryText(const RunDescription& run, const RunResult& result,
                        std::span<const double> lowerEdges, std::span<const double> upperEdges,
                        const TakeChecks& checks, const std::vector<std::string>& files,
                        int indent);

// The summary of a take that was not analyzed: the settings and why.
std::string VoidTakeSummaryText(const RunDescription& run, const std::string& why);
