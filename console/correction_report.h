#pragma once

// The room correction as the console asks for it, prints it and writes its
// files.

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "analysis/correction.h"
#include "base/outcome.h"
#include "console/plot.h"
#include "console/run_files.h"

// What the options ask of every design.
struct CorrectionRequest {
    std::optional<double> low;   // the range (Hz); by default from the sweep's start (at
    std::optional<double> high;  // least 20 Hz) to 300 Hz
    int filters = 10;
    double maxBoostDb = 0.0;
    const Calibration* target = nullptr;  // a target shape, or flat
    std::string targetPath;
};

// Default range of a correction: up to where room modes make the response.
constexpr double kCorrectionLowest = 20.0;
constexpr double kCorrectionHighest = 300.0;

// The plan for a response reported from sweepLow to sweepHigh with these
// bands, or the line that says why none can be designed (without a newline):
// a range outside the sweep (which must also reach 1/12 octave above it, for
// the target's level), or one that holds no band.
Outcome<CorrectionPlan, std::string> PlanCorrection(const CorrectionRequest& request,
                                                    double sweepLow, double sweepHigh,
                                                    std::span<const double> lowerEdges,
                                                    std::span<const double> upperEdges);

// The lines of a design: what was asked, the filters as a table, the
// preamp and the deviation from the target before and after; or why there
// is none. Every line ends with '\n'.
std::string CorrectionText(const DesignedCorrection& designed);

// The files of a design, each ending the run's or the average's base name.
constexpr const char* kCorrectionEndings[] = {"_eq.txt", "_eq_camilladsp.yml", "_eq_pipewire.conf",
                                              "_eq_biquads.txt"};
constexpr std::size_t kCorrectionFileCount = 4;

// Writes file i of kCorrectionEndings for the correction designed on the
// run or average named base, and completes it. title: the comment line
// that says what it corrects.
Written WriteCorrectionFile(std::size_t file, int descriptor, const Correction& correction,
                            const std::string& base, const std::string& title);

// The picture's further curves: the predicted corrected response and the
// target.
void AddCorrectionCurves(PlotData& plot, const CorrectionDesign& design);

// One line naming a correction that is played, e.g. "Played through the
// correction in room_eq.txt: 3 filters, preamp -1.5 dB", without a newline.
std::string AppliedCorrectionLine(const std::string& path, const Correction& correction);
