#pragma once

// The program's command line.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/position_average.h"

#include "base/version.h"
#include "console/settings.h"

enum class OptionsAction { Run, Help, Version, ListDevices, Error };

struct ProgramOptions {
    OptionsAction action = OptionsAction::Run;
    std::optional<std::string> device;           // -D, --device
    std::optional<std::string> calibrationPath;  // -C, --calibration
    std::optional<SweepKind> sweep;              // --sweep log|linear
    std::optional<AverageKind> average;          // --average [power|vector]
    // --average-files FILE...: the files to average, instead of measuring.
    bool averageFiles = false;
    std::vector<std::string> files;
    // A correction designed after every run (--eq, or any --eq-* option).
    bool eq = false;
    std::optional<double> eqLow;  // --eq-range LOW-HIGH (Hz)
    std::optional<double> eqHigh;
    int eqFilters = 10;                       // --eq-filters N
    double eqBoost = 0.0;                     // --eq-boost DB
    std::optional<std::string> eqTargetPath;  // --eq-target FILE
    std::optional<std::string> applyEqPath;   // --apply-eq FILE
    // --measure N: N runs with these settings, then exit; no command is read.
    std::optional<int> measure;
    // The run's settings (--q, --bands, --start, --length, --preset): a
    // preset first, then any of the others over it, whatever their order.
    std::optional<double> q;
    std::optional<int> bands;
    std::optional<double> start;
    std::optional<double> length;
    std::optional<int> preset;
    double levelDb = kDefaultSweepLevelDb;  // --level DB
    // --json: each run's summary as one line on standard output, every
    // other line on standard error.
    bool json = false;
    // Error: what is wrong, one line without the program name or the hint.
    std::string error;
    // Run: a warning about an option that was not taken (a device name
    // too long), one line, or empty.
    std::string warning;
};

// Reads the options left to right with getopt_long; the first of --help,
// --version, --list-devices or an error decides, and so does a stray argument after the
// options. A later -D, -C, --sweep or --average replaces an earlier
// one. --average's kind may follow as the next argument ("--average vector")
// or after '=' ("--average=vector"). Every argument after --average-files is
// a file to average (at least two). argv[argc] is nullptr.
ProgramOptions ParseOptions(int argc, char* argv[]);

// Most runs one --measure makes.
constexpr int kMostMeasurements = 1000;

// The text --help prints, ending in a newline.
std::string UsageText();

// The line printed after an error: what is wrong and the hint to try --help.
std::string OptionsErrorLine(const ProgramOptions& options);

// The text with every control character shown as '?', so that it stays on
// one line.
std::string Printable(std::string_view text);

constexpr const char* kVersionText = kProgramName;
