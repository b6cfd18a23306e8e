#pragma once

// Runs the real program in a working directory of its own, with scripted
// standard input, and collects everything it leaves behind.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct ProgramRun {
    std::string out;
    std::string err;
    int exitStatus = -1;  // -1 unless the program exited by itself
    bool timedOut = false;
    bool resultsExist = false;
    std::string results;  // sweep_out.txt afterwards
};

// environment: NAME=value settings for the program, on top of the test's own.
// prepare: called with the working directory before the program starts.
ProgramRun RunProgram(const std::string& input, const std::vector<std::string>& environment,
                      int timeoutSeconds = 60,
                      const std::function<void(const std::filesystem::path&)>& prepare = {});

// The commands that select a device, then input, then leave: every run in
// these tests ends with "c" at the continue prompt and "x".
std::string Script(const std::string& device, const std::string& commands);

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
