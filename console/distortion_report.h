#pragma once

// What a run with the exponential sweep says about harmonic distortion: the
// distortion file and the summary line on the console.

#include <span>
#include <string>

#include "analysis/distortion.h"
#include "console/plot.h"
#include "console/run_description.h"

// The distortion file: comment lines beginning with '*' (the run, the
// sweep, what the columns are), then one line per point: frequency (Hz),
// THD, H2, H3, H4 and H5 in % of the fundamental, '-' for a value not
// measured, '<' and the limit for one below the noise.
std::string DistortionFileText(std::span<const DistortionPoint> points, const RunDescription& run);

// "Harmonic distortion (THD): 0.012 % at 100 Hz, 0.003 % at 1 kHz, ...",
// from the points given (those not measured are left out; one below the
// noise reads "below the noise (< 0.0800 %) at 100 Hz"), or a line saying
// that none was measured. Ends with '\n'.
std::string DistortionSummaryLine(std::span<const DistortionPoint> points);

// The picture's THD curve on the percent axis: THD where it stands above
// the noise (broken elsewhere), and the noise limit beside it.
PlotExtraCurve ThdPlotCurve(std::span<const DistortionPoint> points);

// The comment line of the response file that points to the distortion file.
constexpr const char* kDistortionNote =
    "Harmonic distortion (THD, 2nd to 5th harmonic) of this run: its _distortion.txt file";
