#pragma once

// A frequency response saved as text: this program's response files and the
// text exports of other measurement programs.

#include <string_view>
#include <vector>

#include "analysis/calibration.h"
#include "analysis/transfer.h"
#include "base/outcome.h"

struct ResponseText {
    std::vector<ResponsePoint> points;  // at least two, above 0 Hz, frequencies rising strictly
    bool hasPhase = false;              // every point gave a phase; 0 degrees where none did
};

// Reads a response text. A data line is one whose first field (after
// blanks) is a number: a frequency in Hz, a level in dB, optionally a phase
// in degrees, then any further columns (a coherence, say), which must be
// finite numbers and are dropped; fields are parted by blanks, tabs or
// commas. Every other line (blank, a comment or header starting with '*',
// '#' or '"', a title such as "Freq(Hz) SPL(dB)") is ignored. Lines at 0 Hz
// before the first point are dropped; numbers, decimal commas, rising
// frequencies and the phase are read and refused as ParseCalibration does.
Outcome<ResponseText, CalibrationError> ParseResponseText(std::string_view text);
