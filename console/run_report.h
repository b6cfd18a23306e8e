#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "analysis/evaluation.h"
#include "audio/play_rec.h"

// The lines a measurement prints, made from the results of the computations
// and of the device layer. Only the console prints.

// A band level as the results table shows it: one decimal, "-inf" for a
// band without a level, and 0.0 for any level that rounds to zero.
std::string FormatLevel(double level);

// value with `decimals` decimals ("%.*f"), without a sign when it rounds to
// zero.
std::string FormatFixed(double value, int decimals);

// The results table: a title, a header and one row per band (number, lower
// and upper edge in whole hertz, level as FormatLevel shows it), as printed
// and as appended to the results file. Only bands all three spans describe.
std::string ResultsText(std::span<const double> levels, std::span<const double> lowerEdges,
                        std::span<const double> upperEdges);

// The results table of a run's bands (a missing band shows -inf).
std::string ResultsText(const RunResult& result, std::span<const double> lowerEdges,
                        std::span<const double> upperEdges);

// Prints every line of an evaluated take, from the table (resultsText, as
// ResultsText makes it) to the acoustics; the files line follows when the
// run is saved.
void PrintRunResult(const RunResult& result, const std::string& resultsText);

// One line for each band without data.
std::string MissingDataLines(const std::vector<bool>& missing);

// Channel 1's return level line.
std::string ReturnLevelLine(double returnLevel);

// The channel-2 return level line.
std::string SyncLevelLine(double returnLevel);

// Prints the message of a device that could not be opened or configured, on
// the stream that message goes to (standard output flushed first), then
// DeviceDiagnosticLines on standard error.
void PrintDeviceFailure(const DeviceFailure& failure);

// One line for each message alsa-lib wrote while the device was set up,
// "  alsa-lib: " and the message with control characters shown as '?', at
// most kMaxDeviceDiagnostics lines of at most kMaxDeviceDiagnosticLength
// bytes of message, then one line counting the messages not shown.
std::string DeviceDiagnosticLines(const DeviceFailure& failure);

// The line of a transfer that was refused, could not start or was abandoned
// because the device stopped responding; empty when it ran.
std::string TransferProblemLine(const TransferReport& report);
