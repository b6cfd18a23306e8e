#include "console/correction_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "console/eq_export.h"
#include "console/formatted.h"
#include "console/options.h"
#include "console/run_report.h"

namespace {

std::string Hz(double f) {
    return FormatFixed(f, 1) + " Hz";
}

const char* RefusalText(CorrectionRefusal refusal) {
    switch (refusal) {
        case CorrectionRefusal::RangeOutsideResponse:
            return "the range is not inside the measured response";
        case CorrectionRefusal::RangeEmpty:
            return "the range holds no point of the response";
        case CorrectionRefusal::NoReferenceOctave:
            return "the response does not reach above the range, where the target's level is "
                   "taken";
        case CorrectionRefusal::BadPlan:
            return "the number of filters, the boost or the Q is outside what is allowed";
    }
    return "unknown";
}

}  // namespace

Outcome<CorrectionPlan, std::string> PlanCorrection(const CorrectionRequest& request,
                                                    double sweepLow, double sweepHigh,
                                                    std::span<const double> lowerEdges,
                                                    std::span<const double> upperEdges) {
    CorrectionPlan plan;
    plan.low = request.low.value_or(std::max(kCorrectionLowest, sweepLow));
    plan.high = request.high.value_or(kCorrectionHighest);
    plan.maxFilters = request.filters;
    plan.maxBoostDb = request.maxBoostDb;
    plan.target = request.target;
    // The target's level is the response's mean above the range: the sweep
    // has to reach a little beyond it.
    const double above = std::exp2(1.0 / 12.0);
    if (!(plan.low >= sweepLow) || !(plan.high * above <= sweepHigh) || !(plan.low < plan.high)) {
        return Fail("The correction's range " + Hz(plan.low) + " to " + Hz(plan.high) +
                    " does not lie inside the sweep (" + Hz(sweepLow) + " to " + Hz(sweepHigh) +
                    ", which must reach 1/12 octave beyond the range)");
    }
    bool band = false;
    for (std::size_t b = 0; b < lowerEdges.size() && b < upperEdges.size(); ++b) {
        band = band || (std::min(upperEdges[b], plan.high) > std::max(lowerEdges[b], plan.low));
    }
    if (!band) {
        return Fail("The correction's range " + Hz(plan.low) + " to " + Hz(plan.high) +
                    " holds no band of the table");
    }
    return plan;
}

std::string CorrectionText(const DesignedCorrection& designed) {
    const CorrectionPlan& plan = designed.plan;
    std::string text =
        "Correction, " + Hz(plan.low) + " to " + Hz(plan.high) + ", " +
        (plan.maxBoostDb > 0.0 ? "boosts up to " + FormatFixed(plan.maxBoostDb, 1) + " dB"
                               : std::string("cuts only")) +
        ", at most " + std::to_string(plan.maxFilters) + " filters";
    if (!designed.design) {
        return text + ": none was designed (" + RefusalText(designed.design.reason()) + ").\n";
    }
    const CorrectionDesign& design = designed.design.value();
    text += ", target " + std::string(plan.target != nullptr ? "curve" : "flat") + " at " +
            FormatFixed(design.targetLevelDb, 1) + " dB:\n";
    if (design.correction.filters.empty()) {
        text += "No filter is needed: the response is within 1 dB of the target.\n";
    } else {
        text += "Filter\tFc (Hz)\tGain (dB)\tQ\n";
        for (std::size_t i = 0; i < design.correction.filters.size(); ++i) {
            const PeakingFilter& f = design.correction.filters[i];
            text += std::to_string(i + 1) + "\t" + FormatFixed(f.frequency, 1) + "\t" +
                    FormatFixed(f.gainDb, 1) + "\t" + FormatFixed(f.q, 2) + "\n";
        }
    }
    text += "Preamp: " + FormatFixed(design.correction.preampDb, 1) + " dB\n";
    text += "Deviation from the target at 1/12 octave: largest " +
            FormatFixed(design.before.largestDb, 1) + " dB, RMS " +
            FormatFixed(design.before.rmsDb, 1) + " dB before; largest " +
            FormatFixed(design.after.largestDb, 1) + " dB, RMS " +
            FormatFixed(design.after.rmsDb, 1) + " dB predicted after.\n";
    if (designed.plan.maxBoostDb == 0.0 && design.after.largestDb > designed.plan.toleranceDb &&
        design.after.highestDb <= designed.plan.toleranceDb) {
        text += "Beyond 1 dB there remain only dips, which cuts do not fill (peaks at most +" +
                FormatFixed(design.after.highestDb, 1) + " dB).\n";
    }
    return text;
}

Written WriteCorrectionFile(std::size_t file, int descriptor, const Correction& correction,
                            const std::string& base, const std::string& title) {
    switch (file) {
        case 0:
            return WriteText(descriptor, EqText(correction, title));
        case 1:
            return WriteText(descriptor, CamillaDspYaml(correction, title));
        case 2:
            return WriteText(descriptor, PipeWireConf(correction, "zembrak_" + base, title));
        case 3:
            return WriteText(descriptor, BiquadText(correction, title));
    }
    return Complete(descriptor, Fail(WriteFailure{EINVAL, {}}));
}

void AddCorrectionCurves(PlotData& plot, const CorrectionDesign& design) {
    PlotLine predicted{
        "Predicted with the correction, 1/48-octave smoothing", {}, 0.0, 0.55, 0.25, false};
    for (const ResponsePoint& point : design.predicted) {
        predicted.curve.frequencies.push_back(point.frequency);
        predicted.curve.levels.push_back(point.magnitudeDb);
    }
    PlotLine target{"Target of the correction", {}, 0.1, 0.1, 0.1, true};
    for (const ResponsePoint& point : design.target) {
        target.curve.frequencies.push_back(point.frequency);
        target.curve.levels.push_back(point.magnitudeDb);
    }
    plot.lines.push_back(std::move(predicted));
    plot.lines.push_back(std::move(target));
}

std::string AppliedCorrectionLine(const std::string& path, const Correction& correction) {
    return "Played through the correction in " + Printable(path) + ": " +
           std::to_string(correction.filters.size()) +
           (correction.filters.size() == 1 ? " filter" : " filters") + ", preamp " +
           FormatFixed(correction.preampDb, 1) + " dB";
}
