#include "console/distortion_report.h"

#include <cmath>
#include <cstdio>

namespace {

// A percentage as the file and the console show it, '-' when not measured.
std::string Percent(double value) {
    if (!std::isfinite(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

// A value of the file: the percentage, '<' and the limit for a harmonic
// (or a THD) below the noise, '-' when not measured.
std::string FileValue(double value, bool belowNoise, double limit) {
    if (!belowNoise) return Percent(value);
    std::string text = "<";
    return text.append(Percent(limit));
}

std::string FrequencyName(double frequency) {
    char text[32];
    if (frequency >= 1000.0) {
        std::snprintf(text, sizeof text, "%g kHz", frequency / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%g Hz", frequency);
    }
    return text;
}

}  // namespace

std::string DistortionFileText(std::span<const DistortionPoint> points, const RunDescription& run) {
    std::string text = "* " + run.program + " harmonic distortion\n";
    text += "* Date: " + run.date + "\n";
    text += "* Device: " + run.device + "\n";
    text += "* " + SettingsLine(run) + "\n";
    text += "* " + SweepLine(run) + "\n";
    char line[160];
    text +=
        "* Each harmonic's level at its own frequency (k times the fundamental), in % of the\n"
        "* fundamental's level; THD = sqrt(H2^2 + ... + H5^2). '-': the harmonic lies above\n"
        "* the sweep and is not measured (THD then sums those below it).\n"
        "* '<x': the harmonic is not 10 dB above the noise of the lead-in (as it shows in that\n"
        "* harmonic's window) and is not counted; x is the level it would need to count. THD\n"
        "* sums only the harmonics above the noise; '<x' in the THD column: none is, and the\n"
        "* THD is below x.\n";
    text += "* Frequency (Hz), THD (%), H2 (%), H3 (%), H4 (%), H5 (%)\n";
    for (const DistortionPoint& point : points) {
        std::snprintf(line, sizeof line, "%.4f", point.frequency);
        text += line;
        text.append(" ").append(
            FileValue(point.thdPercent, point.thdBelowNoise, point.noiseLimitPercent));
        for (std::size_t i = 0; i < point.harmonicPercent.size(); ++i) {
            text.append(" ").append(FileValue(point.harmonicPercent[i], point.belowNoise[i],
                                              point.harmonicLimitPercent[i]));
        }
        text += "\n";
    }
    return text;
}

std::string DistortionSummaryLine(std::span<const DistortionPoint> points) {
    std::string values;
    for (const DistortionPoint& point : points) {
        char text[96];
        if (point.thdBelowNoise && std::isfinite(point.noiseLimitPercent)) {
            std::snprintf(text, sizeof text, "below the noise (< %.4f %%) at %s",
                          point.noiseLimitPercent, FrequencyName(point.frequency).c_str());
        } else if (std::isfinite(point.thdPercent)) {
            std::snprintf(text, sizeof text, "%.4f %% at %s", point.thdPercent,
                          FrequencyName(point.frequency).c_str());
        } else {
            continue;
        }
        values += (values.empty() ? "" : ", ") + std::string(text);
    }
    if (values.empty()) return "Harmonic distortion: not measured at 100 Hz, 1 kHz or 10 kHz.\n";
    return "Harmonic distortion (THD): " + values + "\n";
}

PlotExtraCurve ThdPlotCurve(std::span<const DistortionPoint> points) {
    PlotExtraCurve extra;
    extra.label = "THD (2nd to 5th harmonic), exponential sweep";
    extra.limitLabel = "THD noise limit: below it, distortion is not told from noise";
    extra.scale = PlotScale::kPercent;
    for (const DistortionPoint& point : points) {
        extra.curve.frequencies.push_back(point.frequency);
        extra.curve.levels.push_back(point.thdPercent);
        extra.limit.frequencies.push_back(point.frequency);
        // A limit of 0 (a silent lead-in) says nothing worth drawing.
        extra.limit.levels.push_back(point.noiseLimitPercent > 0.0 ? point.noiseLimitPercent
                                                                   : kPlotNoLevel);
    }
    return extra;
}
