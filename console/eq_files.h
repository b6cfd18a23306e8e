#pragma once

// The equalizer file named on the command line (--apply-eq).

#include <cstddef>
#include <string>

#include "analysis/correction.h"
#include "base/outcome.h"

struct LoadedEq {
    std::string path;  // as named on the command line
    Correction correction;
};

// Largest equalizer file read, in bytes.
constexpr std::size_t kMaxEqFileSize = 1 << 20;

// What is wrong with an equalizer text, in words, without the line or file.
std::string Words(const EqTextError& error);

// Reads and parses the file (see ParseEqText); only a regular file is read.
// The reason is the console's one line naming the file, the line (where
// there is one) and what is wrong, without a newline.
Outcome<LoadedEq, std::string> LoadEqFile(const std::string& path);
