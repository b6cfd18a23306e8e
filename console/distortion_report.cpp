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

// The header's free text on one line: control characters become '?'.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
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

std::string DistortionFileText(std::span<const DistortionPoint> points,
                               const DistortionHeader& header) {
    std::string text = "* Zembrak 1.00 harmonic distortion\n";
    text += "* Date: " + OneLine(header.date) + "\n";
    text += "* Device: " + OneLine(header.device) + "\n";
    text += "* " + OneLine(header.settings) + "\n";
    char line[160];
    std::snprintf(line, sizeof line, "* Exponential sweep: %.1f Hz to %.1f Hz\n", header.sweepLow,
                  header.sweepHigh);
    text += line;
    text +=
        "* Each harmonic's level at its own frequency (k times the fundamental), in % of the\n"
        "* fundamental's level; THD = sqrt(H2^2 + ... + H5^2). '-': the harmonic lies above\n"
        "* the sweep and is not measured (THD then sums those below it).\n";
    text += "* Frequency (Hz), THD (%), H2 (%), H3 (%), H4 (%), H5 (%)\n";
    for (const DistortionPoint& point : points) {
        std::snprintf(line, sizeof line, "%.4f", point.frequency);
        text += line;
        text.append(" ").append(Percent(point.thdPercent));
        for (const double harmonic : point.harmonicPercent)
            text.append(" ").append(Percent(harmonic));
        text += "\n";
    }
    return text;
}

std::string DistortionSummaryLine(std::span<const DistortionPoint> points) {
    std::string values;
    for (const DistortionPoint& point : points) {
        if (!std::isfinite(point.thdPercent)) continue;
        char text[64];
        std::snprintf(text, sizeof text, "%.4f %% at %s", point.thdPercent,
                      FrequencyName(point.frequency).c_str());
        values += (values.empty() ? "" : ", ") + std::string(text);
    }
    if (values.empty()) return "Harmonic distortion: not measured at 100 Hz, 1 kHz or 10 kHz.\n";
    return "Harmonic distortion (THD): " + values + "\n";
}
