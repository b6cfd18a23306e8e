#pragma once

// The saved frequency-response files named on the command line: this
// program's .frd files and the text exports of other measurement programs.

#include <cstddef>
#include <string>

#include "analysis/response_text.h"
#include "base/outcome.h"

struct LoadedResponse {
    std::string path;  // as named on the command line
    ResponseText response;
};

// Largest response file read, in bytes.
constexpr std::size_t kMaxResponseFileSize = 16 << 20;

// Reads and parses the file (see ParseResponseText). Only a regular file is
// read: anything else (a FIFO, a device, a directory) is refused at once.
// The reason is the console's one line naming the file, the line (where
// there is one) and what is wrong, without a newline.
Outcome<LoadedResponse, std::string> LoadResponseFile(const std::string& path);
