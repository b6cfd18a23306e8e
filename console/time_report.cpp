#include "console/time_report.h"

#include <cstdio>

#include "console/formatted.h"

namespace {

std::string Reflections(const TimeViews& views) {
    if (views.reflectionsGap != TimeGap::kNone) {
        return "  none: " + TimeGapText(views.reflectionsGap) + '\n';
    }
    std::string out = "      ms       m      dB\n";
    for (const Reflection& r : views.reflections) {
        out += Format("%8.2f", r.seconds * 1000.0) + Format("%8.2f", r.metres) +
               Format("%8.1f", r.levelDb) + '\n';
    }
    if (views.reflections.empty())
        out += "  none at or above " + Format("%.1f", views.reflectionFloorDb) + " dB\n";
    return out;
}

std::string InitialGap(const TimeViews& views) {
    if (views.initialGapSeconds) return Format("%.2f ms", *views.initialGapSeconds * 1000.0);
    return "- (" + TimeGapText(views.initialGapGap) + ")";
}

std::string Modes(const TimeViews& views) {
    if (views.modesGap != TimeGap::kNone) return "  none: " + TimeGapText(views.modesGap) + '\n';
    if (views.modes.empty()) return "  no peak below 300 Hz\n";
    std::string out = "      Hz      dB   T60 s\n";
    for (const RoomMode& m : views.modes) {
        out += Format("%8.1f", m.frequency) + Format("%+8.1f", m.levelDb);
        out += m.t60 ? Format("%8.2f", *m.t60) : "       -  " + TimeGapText(m.gap);
        out += '\n';
    }
    return out;
}

std::string NoiseFloor(const TimeViews& views) {
    return views.noiseFloorDb ? Format("%.1f dB", *views.noiseFloorDb)
                              : std::string("unknown (the response has no tail to measure it)");
}

}  // namespace

std::string TimeGapText(TimeGap gap) {
    switch (gap) {
        case TimeGap::kNone:
            return "present";
        case TimeGap::kBadInput:
            return "the impulse response or its sample rate is unusable";
        case TimeGap::kTooShort:
            return "the impulse response is too short";
        case TimeGap::kTooNoisy:
            return "too noisy: the noise floor leaves nothing above the threshold";
        case TimeGap::kNoReflection:
            return "no reflection above the threshold";
        case TimeGap::kBelowNoise:
            return "below the noise";
        case TimeGap::kTooFast:
            return "decays faster than the waterfall's slices resolve";
        case TimeGap::kNoDecay:
            return "no decay";
        case TimeGap::kNotSwept:
            return "the sweep did not cover the range";
    }
    return "unknown";
}

std::string TimeViewsTable(const TimeViews& views) {
    std::string out =
        "Early reflections within 50 ms (ETC noise floor " + NoiseFloor(views) + "):\n";
    out += Reflections(views);
    out += "Initial time gap: " + InitialGap(views) + '\n';
    out += "Room modes below 300 Hz (level re the mean, T60 from the waterfall):\n";
    out += Modes(views);
    return out;
}

std::string TimeViewsFileText(const TimeViews& views, const RunDescription& run) {
    std::string out = RunFileHeader("Reflections and room modes from the impulse response", run);
    out += "ETC: envelope of the analytic signal, Hann-weighted from " +
           Format("%.0f", views.etcLowHz) + " to " + Format("%.0f", views.etcHighHz) +
           " Hz, dB relative to the direct sound\n";
    out += "ETC noise floor: " + NoiseFloor(views) + " (mean over the last 0.5 s)\n";
    out += "Reflections: peaks within 50 ms after the direct sound, at or above " +
           Format("%.1f", views.reflectionFloorDb) + " dB,\nstanding " +
           Format("%.0f", kProminenceDb) + " dB above the dips to either side and " +
           Format("%.0f", kAboveDiffuseDb) +
           " dB above the diffuse sound\naround them (the ETC's median over " +
           Format("%.1f", kDiffuseSeconds * 1000.0) +
           " ms before or after); extra path at 343 m/s\n";
    out += Reflections(views);
    out += "Initial time gap: " + InitialGap(views) + '\n';
    out +=
        "\nModes: peaks of the response below 300 Hz, strongest first, level relative to\n"
        "the response's mean (" +
        Format("%.1f", views.meanLevelDb) +
        " dB); T60 from the slope of the waterfall's slice at the\n"
        "mode's frequency, from 5 dB below its highest level down to 35 dB below it\n"
        "or 20 dB above the noise (its power taken out)\n";
    out += Modes(views);
    return out;
}
