#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "analysis/analyze.h"
#include "audio/play_rec.h"

// The lines a measurement prints, made from the results of the computations
// and of the device layer. Only the console prints.

// The results table: a title, a header and one row per band (number, lower
// and upper edge, level with one decimal), as printed and as appended to the
// results file.
std::string ResultsText(std::span<const double> levels, std::span<const double> lowerEdges,
                        std::span<const double> upperEdges);

// The lines after the table: each band without data, then channel 1's
// return level.
std::string AnalysisNotes(const AnalysisResult& result);

// The channel-2 return level line.
std::string SyncLevelLine(double returnLevel);

// Prints the message of a device that could not be opened or configured, on
// the stream that message goes to (standard output flushed first).
void PrintDeviceFailure(const DeviceFailure& failure);

// The line of a transfer that was refused, could not start or was abandoned
// because the device stopped responding; empty when it ran.
std::string TransferProblemLine(const TransferReport& report);
