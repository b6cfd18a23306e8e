#pragma once

// Room correction: parametric peaking filters (the cookbook peaking biquad
// of signal/biquad, at kCorrectionRate) designed so that the measured
// response, corrected, meets a target over a range, and the same filters as
// they are read back from an equalizer's text.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "analysis/calibration.h"
#include "analysis/transfer.h"
#include "base/outcome.h"
#include "signal/biquad.h"

// The rate every exported filter is designed for.
constexpr double kCorrectionRate = 48000.0;

struct PeakingFilter {
    double frequency = 0.0;  // Hz, above 0 and below half of kCorrectionRate
    double gainDb = 0.0;
    double q = 1.0;
};

// A correction: the filters in series and a preamp gain ahead of them that
// leaves headroom for every boost (0 dB or below).
struct Correction {
    std::vector<PeakingFilter> filters;
    double preampDb = 0.0;
};

// The cookbook coefficients of a filter at kCorrectionRate (a0 = 1); none
// for a filter outside the ranges above.
std::optional<BiquadCoefficients> CorrectionBiquad(const PeakingFilter& filter);

// The level (dB) of the filters in series at a frequency, at
// kCorrectionRate, without the preamp.
double CorrectionGainDb(std::span<const PeakingFilter> filters, double frequency);

// The largest level the filters reach at any frequency (0 for none),
// the basis of the preamp: -max(0, that).
double LargestBoostDb(std::span<const PeakingFilter> filters);

// The limits of a design: filters, the largest boost a user may allow,
// and the deepest cut a filter makes.
constexpr int kMostCorrectionFilters = 20;
constexpr double kLargestCorrectionBoostDb = 6.0;
constexpr double kDeepestCutDb = 24.0;

// What the design is asked for.
struct CorrectionPlan {
    double low = 20.0;  // the range corrected (Hz)
    double high = 300.0;
    int maxFilters = 10;
    double maxBoostDb = 0.0;  // 0 for cuts only, at most 6
    double lowestQ = 0.5;
    double highestQ = 20.0;
    double toleranceDb = 1.0;  // the design stops once every deviation is within it
    // A target shape (dB over frequency, interpolated as a calibration is),
    // flat without one. Its level is matched to the response's.
    const Calibration* target = nullptr;
};

// The largest and RMS deviation of a response from its target over the
// range, at 1/12 octave.
struct Deviation {
    double largestDb = 0.0;
    double rmsDb = 0.0;
    double highestDb = 0.0;  // the largest deviation above the target (0 when none is)
};

struct CorrectionDesign {
    Correction correction;
    // The target's level: the response's power mean over the octave above
    // the range, with the target shape's own level there taken out.
    double targetLevelDb = 0.0;
    Deviation before;
    Deviation after;
    // At 1/48 octave over the response's range: the response the design
    // worked on, and what the filters are predicted to make of it (the
    // preamp left out, so the two can be compared).
    std::vector<ResponsePoint> measured;
    std::vector<ResponsePoint> predicted;
    std::vector<ResponsePoint> target;  // the target over the range
};

// Why no correction is designed.
enum class CorrectionRefusal {
    RangeOutsideResponse,  // the range is not inside what the response covers
    RangeEmpty,            // the range holds no point of the response, or low >= high
    NoReferenceOctave,     // the response does not reach an octave above the range
    BadPlan,               // a filter count, boost or Q outside what is allowed
};

// Designs the correction of a response (H in dB at rising frequencies, a
// run's 1/96-octave points or an average's).
Outcome<CorrectionDesign, CorrectionRefusal> DesignCorrection(
    std::span<const ResponsePoint> response, const CorrectionPlan& plan);

// A design with the plan it was made for.
struct DesignedCorrection {
    CorrectionPlan plan;
    Outcome<CorrectionDesign, CorrectionRefusal> design;
};

// The most filters an equalizer text may hold: each costs the played sweep
// a pass of its own.
constexpr std::size_t kMostEqFilters = 100;

// An equalizer's parametric text: "Preamp: -X dB" lines (added up) and lines
// "Filter N: ON PK Fc F Hz Gain G dB Q Q", keywords in any case, blanks or
// tabs between the words. A filter that is OFF is passed over; one of
// another type, at or above half of kCorrectionRate, or whose biquad is not
// stable, is refused. Lines that begin with neither "Preamp:" nor "Filter"
// (titles, notes, '#' or '*' comments) are passed over, unless they hold
// the words "Fc" and "Gain" (a filter not written as one).
struct EqTextError {
    enum class Kind {
        NotAFilterLine,  // a line that is none of the above and not blank or a comment
        NotPeaking,      // a filter of another type than PK
        BadNumber,       // a value that is not a finite number
        OutOfRange,      // a frequency at or above half the rate, or not above 0; Q not
                         // above 0; a biquad whose poles are not inside the unit circle
        NoFilter,        // neither a filter nor a preamp
        TooMany,         // more than kMostEqFilters filters
    };
    Kind kind = Kind::NoFilter;
    std::size_t line = 0;  // 1-based
};
Outcome<Correction, EqTextError> ParseEqText(std::string_view text);
