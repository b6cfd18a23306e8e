#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "analysis/transfer.h"

// The files of one run, created together under one base name
// sweep_YYYYMMDD_HHMMSS[_N] (local time) so that no earlier run's file is
// ever replaced. Each file is open for writing and owned here until handed to
// a writer; whatever is still open is closed on destruction.
class RunFiles {
  public:
    RunFiles() = default;
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;
    RunFiles(RunFiles&& other) noexcept;
    RunFiles& operator=(RunFiles&& other) noexcept;
    ~RunFiles();

    bool ok() const { return error.empty(); }

    std::string base;                // e.g. sweep_20261207_130000_2
    std::vector<std::string> paths;  // one per ending, in the order asked
    std::vector<int> descriptors;    // open for writing; -1 once handed over
    std::string error;               // why the files could not be created

    // Hands file i's descriptor over to the caller (who closes it), or -1.
    int Release(std::size_t i);
};

// Creates one new file per ending (e.g. ".frd", "_ir.wav") in directory, all
// under the first base name none of them is taken for: sweep_DATE_TIME, then
// with _2, _3, ... Each is created exclusively, so a file that appears in
// the meantime is never overwritten; the files of a base name that lost such
// a race are removed again and the next number is tried.
RunFiles CreateRunFiles(std::time_t when, std::span<const std::string> endings,
                        const std::string& directory = ".");

// What the response file says about its run.
struct ResponseHeader {
    std::time_t when = 0;
    std::string device;
    double q = 0.0;
    int bands = 0;
    double startFrequency = 0.0;
    double sweepLength = 0.0;  // seconds
    Delay delay;
    std::string calibration;         // the calibration in use, as one line; empty for none
    std::vector<std::string> notes;  // further comment lines, each one line
};

// The response file's text: comment lines beginning with '*', then one line
// per point: frequency (Hz), magnitude (dB), phase (degrees), the points of
// PointResponse (H at that frequency, not smoothed).
std::string FormatResponse(const ResponseHeader& header, std::span<const ResponsePoint> points);

// Writes text to the open file and closes it (always). Returns an empty
// string on success, else the reason.
std::string WriteText(int descriptor, const std::string& text);

// Writes a 32-bit float mono WAV file at rate to the open file and closes it
// (always), with one cue point at sample zeroIndex marking time zero (0 up to
// the number of samples). Returns an empty string on success, else the
// reason.
std::string WriteImpulseWav(int descriptor, std::span<const float> samples, std::int64_t zeroIndex,
                            int rate);
