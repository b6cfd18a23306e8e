#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "analysis/acoustics.h"
#include "console/run_description.h"

// Width of the table's label column and of each octave column; a line is
// kAcousticsLabelWidth + kOctaveBandCount * kAcousticsColumnWidth = 79
// characters, so the table fits an 80-column terminal.
constexpr int kAcousticsLabelWidth = 7;
constexpr int kAcousticsColumnWidth = 9;

// sweep_YYYYMMDD_HHMMSS_acoustics.txt for a run started at localTime (fields
// out of their ranges are written as they are, never longer than their sign
// and digits).
std::string AcousticsFileName(const std::tm& localTime);

// The table printed after the run's other lines: a title, a row of octave
// centres and one row per parameter (EDT, T20, T30 in seconds, C50, C80 in
// dB, D50 in percent); `-` where a value is missing, with a closing line
// pointing to the file for the reasons; a T20 or T30 of a curved decay is
// marked `*` (e.g. `0.90*`), with a closing line saying what the mark means
// when one appears. Every line ends with '\n'.
std::string AcousticsTable(const AcousticsResult& result);

// Why one value is missing, in words (for the file).
std::string AcousticsGapText(const OctaveAcoustics& band, AcousticsGap gap, double needDb,
                             double bottomDb);

// One value of an octave, named as the file names it (EDT, T20, T30, C50,
// C80, D50), and why it is missing (empty when present).
struct AcousticsEntry {
    const char* name;
    std::optional<double> value;
    std::string reason;
};
std::vector<AcousticsEntry> AcousticsEntries(const OctaveAcoustics& band);

// The acoustics file: a header (date, device, settings, sweep, program,
// onset, method), the table, each octave's noise floor and decay range, each
// octave's non-linearity of T20 and T30 (marked where curved) and curvature,
// and one line per missing value (or per octave, when all its values miss
// for the same reason) with the reason.
std::string AcousticsFileText(const AcousticsResult& result, const RunDescription& run);
