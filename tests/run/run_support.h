#pragma once

// Helpers for the whole-run tests: the scripted commands and the printed
// results table.

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "rig/room.h"
#include "support/program_run.h"

// The commands that select a device, then input, then leave: every run in
// these tests ends with "c" at the continue prompt and "x".
std::string Script(const std::string& device, const std::string& commands);

// The line after a device's fatal setup line that names it and points to
// the list of devices.
std::string DeviceHint(const std::string& device);

// One row of a printed results table.
struct BandRow {
    int band = 0;
    double low = 0;
    double high = 0;
    double level = 0;
};

// The text from "Results:" up to the line after the last table row, and its rows.
std::string TableText(const std::string& out, std::size_t from = 0);
std::vector<BandRow> TableRows(const std::string& table);

// Number of times `needle` occurs in `text`.
int Count(const std::string& text, const std::string& needle);

// Value of a line "prefix<number>..." (the first such line), NaN if absent.
double NumberAfter(const std::string& text, const std::string& prefix);

// The contents of the run file whose name ends in `ending`, or "".
std::string FileEndingIn(const ProgramRun& run, const std::string& ending);

// The (frequency, level) pairs of a response file's data lines.
std::vector<std::pair<double, double>> ResponseFilePoints(const std::string& text);

// A rig room's filters in the rig's configuration syntax: "filters [ ... ]".
std::string RigFiltersField(std::span<const RigFilter> filters);

// Writes samples as a 32-bit float mono WAV file at 48000 Hz, as a rig
// room's impulse response (a failed write fails the test).
void WriteMonoWav(const std::filesystem::path& path, std::span<const float> samples);

// The run's impulse-response file read back through libsndfile: its
// samples and its cue points' sample offsets. read is false, and the test
// has failed, when the run wrote none or it does not open; a file that is
// not 32-bit float mono at 48000 Hz fails the test too.
struct ImpulseFile {
    bool read = false;
    std::vector<float> samples;
    std::vector<std::size_t> cues;
};
ImpulseFile ReadImpulseFile(const ProgramRun& run);
