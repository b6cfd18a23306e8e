#pragma once

// The text files named on the command line (a calibration, saved responses):
// read whole and safely, their problems worded in one line.

#include <cstddef>
#include <string>

#include "base/outcome.h"

// Reads the whole file, at most maxBytes of it. Only a regular file is read:
// anything else (a FIFO, a device, a directory) is refused at once, without
// waiting for a writer or for data. The reason is a short phrase without the
// file's name: "cannot open: ...", "cannot read: ...", "not a regular file"
// or "larger than N bytes".
Outcome<std::string, std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes);

// The console's line about a file: "zembrak: <role> '<path>', line <line>:
// <what>", the line left out when it is 0, control characters in the path
// shown as '?'; without a newline.
std::string FileProblem(const char* role, const std::string& path, std::size_t line,
                        const std::string& what);
