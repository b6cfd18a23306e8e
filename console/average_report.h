#pragma once

// The lines and files of an average of microphone positions, for the
// session's average and for an average of saved response files alike.

#include <span>
#include <string>
#include <vector>

#include "analysis/position_average.h"
#include "console/plot.h"
#include "console/run_files.h"

// What the average is of, for its headers.
struct AverageDescription {
    std::string program;  // name and version
    // The header lines of its sources, each without '*' or newline: the first
    // run's settings and sweep, or the files averaged.
    std::vector<std::string> sourceLines;
    // The picture's lines under its title: the settings, the sweep.
    std::vector<std::string> pictureLines;
    std::vector<std::string> positionNames;  // a run's base name or a file's path, each
    // Files as they were saved; otherwise the session's positions, which a
    // vector average moves back by each one's acoustic delay.
    bool ofFiles = false;
};

// "power average" or "vector average".
const char* AverageName(AverageKind kind);

// What the average's numbers are, one line without a newline: e.g. "power
// average of 3 positions: the mean of |H|^2 at each frequency, each
// position's level as measured".
std::string AverageMethodLine(const PositionAverage& average, bool ofFiles);

// The band table: a title, the results table's columns (band, edges, level
// relative to the average's loudest band) and the positions' lowest,
// highest and standard deviation in dB; "-inf" and "-" for a band without
// data.
std::string AverageTable(const PositionAverage& average, std::span<const double> lowerEdges,
                         std::span<const double> upperEdges, bool ofFiles);

// The acoustics across positions per octave: for T30, EDT and C80 the mean,
// standard deviation, lowest, highest and the number of positions that gave
// the value; empty when no position gave any.
std::string AverageAcousticsTable(const PositionAverage& average);

// The average's response file: comment lines beginning with '*', then one
// line per point of the grid: frequency (Hz) and level (dB), and for a
// vector average its phase (degrees).
std::string AverageResponseText(const PositionAverage& average,
                                const AverageDescription& description);

// The average's files: its response file, and its picture as PNG and SVG.
constexpr const char* kAverageEndings[] = {"_average.frd", "_average.png", "_average.svg"};
constexpr std::size_t kAverageFileCount = 3;

struct AverageOutput {
    std::string response;  // AverageResponseText
    PlotData picture;      // every position thin, the average thick, the spread shaded
    // Writes file i (of kAverageEndings) to the open descriptor and
    // completes it.
    Written Write(std::size_t file, int descriptor) const;
};
AverageOutput AverageOutputOf(const PositionAverage& average, const AverageDescription& description,
                              std::span<const double> lowerEdges,
                              std::span<const double> upperEdges);

// After the files are written: a line for each that could not be (name, and
// why), then one naming those that were.
void PrintAverageFiles(std::span<const std::string> names, std::span<const Written> results);
