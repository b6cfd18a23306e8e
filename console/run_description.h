#pragma once

// One run as its files and its picture describe it, made once per run.

#include <ctime>
#include <string>

#include "console/settings.h"

struct RunDescription {
    std::time_t when = 0;
    std::string program;  // name and version, e.g. "Zembrak 1.00"
    std::string date;     // local time, "YYYY-MM-DD HH:MM:SS", or "unknown"
    std::string device;   // the device's name, control characters shown as '?'
    double q = 0.0;
    int bands = 0;
    int bandsMeasured = 0;                  // the bands a run holds at most (kMaxBands)
    double levelDb = kDefaultSweepLevelDb;  // the sweep's level, dBFS
    double startFrequency = 0.0;            // Hz, as set
    double sweepLength = 0.0;               // s, as set
    SweepKind sweep = SweepKind::Linear;
    double sweepLow = 0.0;  // the range the sweep played (Hz)
    double sweepHigh = 0.0;
    std::string calibration;  // the calibration in use, one line; empty for none
    std::string correction;   // the correction the sweep was played through; empty for none
};

// The run of these settings, started at `when`, whose sweep played from
// sweepLow to sweepHigh.
RunDescription DescribeRun(const TestSettings& settings, std::time_t when, double sweepLow,
                           double sweepHigh);

// "Q 4, 31 bands, start 18.0 Hz, length 10.0 s", with "; " and the
// calibration line when there is one.
std::string SettingsLine(const RunDescription& run);

// "Linear sweep: 18.0 Hz to 16175.0 Hz" or "Exponential sweep: ...".
std::string SweepLine(const RunDescription& run);

// "linear sweep" or "exponential sweep".
const char* SweepName(SweepKind sweep);

// A run's text file's first lines: its title, then date, device, settings,
// sweep and program, one line each.
std::string RunFileHeader(const std::string& title, const RunDescription& run);
