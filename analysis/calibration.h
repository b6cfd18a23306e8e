#pragma once

// A microphone's calibration: its deviation from flat, in dB (and degrees),
// at a list of frequencies. The measured response is corrected by
// subtracting it.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/outcome.h"

struct CalibrationPoint {
    double frequency = 0.0;  // Hz, finite and above 0
    double gainDb = 0.0;
    double phaseDeg = 0.0;  // 0 when the calibration has no phase
};

struct Calibration {
    std::vector<CalibrationPoint> points;  // at least two, frequencies rising strictly
    bool hasPhase = false;                 // every point gave a phase
};

// What a text that is no calibration (or no response, see
// analysis/response_text.h) has wrong, and where.
struct CalibrationError {
    enum class Kind {
        DecimalComma,    // a number written with a decimal comma
        NoGain,          // a frequency alone
        TooManyFields,   // more than frequency, gain and phase
        NotANumber,      // field is no decimal number
        FirstFieldTypo,  // the first field is no number but the others are ("l00 -9.2")
        NotFinite,       // field is not finite
        NotAbove0Hz,     // the frequency is 0 Hz or below
        Below0Hz,        // the frequency is below 0 Hz, where a table drops 0 Hz
        NotRising,       // the frequency does not rise above otherLine's
        PhaseUnlike,     // a phase where otherLine had none, or none where it had one
        NoDataLines,     // no data line at all
        OneDataLine,     // a single data line
    };
    Kind kind = Kind::NoDataLines;
    std::size_t line = 0;  // 1-based
    int field = 0;  // NotANumber, NotFinite: 0 frequency, 1 gain, 2 phase, 3 and up further columns
    std::size_t otherLine = 0;  // NotRising, PhaseUnlike
    bool hasPhase = false;      // PhaseUnlike: this line has a phase
};

// Reads a calibration text. Every line whose first field (after blanks) is a
// number holds a frequency in Hz, a gain in dB and optionally a phase in
// degrees, separated by blanks, tabs or commas; every other line is ignored,
// but for a line that would be a data line if its first field were a number
// (a letter, point or sign first and a digit in it, then numbers only):
// that is refused as a typo.
// Either every data line has a phase or none has. Numbers are decimal
// ("20", "-0.5", "1.5e3"); the decimal point is always '.', and a line
// parted by blanks or tabs with a comma between two digits in it is refused
// as written with decimal commas.
Outcome<Calibration, CalibrationError> ParseCalibration(std::string_view text);

// What a table of frequencies allows beyond a calibration.
struct FrequencyTableRules {
    // Fields after the phase must be finite numbers too, and are dropped;
    // otherwise a line of more than three fields is refused.
    bool furtherColumns = false;
    // Lines at 0 Hz before the first point are dropped and a frequency below
    // 0 Hz is refused as Below0Hz; otherwise 0 Hz and below are NotAbove0Hz.
    bool zeroHzDropped = false;
};

// Reads a text as ParseCalibration does, under the rules; the second value
// of a line (a gain or a level) goes into gainDb. ParseCalibration is this
// with the rules' defaults.
Outcome<Calibration, CalibrationError> ParseFrequencyTable(std::string_view text,
                                                           const FrequencyTableRules& rules);

// The gain at a frequency: linear over log frequency between the points, the
// first or last point's value beyond them (0 Hz, negative and infinite
// frequencies included). NaN for a NaN frequency.
double GainAt(const Calibration& calibration, double frequency);

// The phase in degrees, interpolated as the gain is; 0 everywhere when the
// calibration has no phase. The values are used as given (not unwrapped).
double PhaseAt(const Calibration& calibration, double frequency);
