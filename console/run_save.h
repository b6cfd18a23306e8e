#pragma once

#include <span>
#include <string>

#include "analysis/evaluation.h"
#include "console/run_description.h"
#include "console/run_summary.h"

// The file the results tables are appended to, in the working directory.
constexpr const char* kResultsFile = "sweep_out.txt";

// Saves a run: its files under one new name (response, impulse response,
// pictures, acoustics and, with the exponential sweep, distortion), each
// completed before one line names them, and the results table (resultsText)
// appended to the results file. The summary (_summary.json) comes last and
// names the files written before it; with checks.summaryLine it is also
// written there as one line, also for a take whose files were not made.
// Says what could not be saved and why. Returns the files' base name, empty
// when they were not created.
std::string SaveRun(const RunDescription& run, const RunResult& result,
                    std::span<const double> lowerEdges, std::span<const double> upperEdges,
                    const std::string& resultsText, const TakeChecks& checks = {});
