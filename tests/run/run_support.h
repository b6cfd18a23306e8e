#pragma once

// Helpers for the whole-run tests: the scripted commands and the printed
// results table.

#include <cstddef>
#include <string>
#include <vector>

#include "support/program_run.h"

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
