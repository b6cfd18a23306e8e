#include "console/acoustics_report.h"

#include <cstdio>
#include <cstring>

#include "console/formatted.h"

namespace {

// One row of the table.
struct Parameter {
    const char* label;  // in the table
    const char* name;   // in the reasons
    AcousticValue OctaveAcoustics::*value;
    const char* format;  // of a present value
    double needDb;       // decay range it needs, 0 for none
    double bottomDb;     // end of its evaluation range on the decay curve
};

constexpr Parameter kParameters[] = {
    {"EDT s", "EDT", &OctaveAcoustics::edt, "%.2f", kEdtRangeDb, -10.0},
    {"T20 s", "T20", &OctaveAcoustics::t20, "%.2f", kT20RangeDb, -25.0},
    {"T30 s", "T30", &OctaveAcoustics::t30, "%.2f", kT30RangeDb, -35.0},
    {"C50 dB", "C50", &OctaveAcoustics::c50, "%.1f", 0.0, 0.0},
    {"C80 dB", "C80", &OctaveAcoustics::c80, "%.1f", 0.0, 0.0},
    {"D50 %", "D50", &OctaveAcoustics::d50, "%.0f", 0.0, 0.0},
};

// The mark after a value whose decay is curved.
constexpr char kCurvedMark = '*';

// A number's text, short enough to leave a space in its column after mark
// (when there is one); "-" for none.
std::string Cell(std::optional<double> value, const char* format, bool mark = false) {
    if (!value) return "-";
    const std::size_t room = static_cast<std::size_t>(kAcousticsColumnWidth) - (mark ? 1 : 0);
    std::string text = Format(format, *value);
    if (text.size() >= room) text = Format("%.0e", *value);
    // A value that rounds to zero has no sign.
    if (text.find_first_not_of("-0.") == std::string::npos && text[0] == '-') text.erase(0, 1);
    if (mark) text += kCurvedMark;
    return text;
}

std::string Cell(const AcousticValue& value, const char* format) {
    return Cell(value.value, format, value.value && value.curved);
}

// text right-aligned in width (text is never cut).
std::string Right(const std::string& text, int width) {
    const std::size_t w = static_cast<std::size_t>(width);
    return text.size() >= w ? text : std::string(w - text.size(), ' ') + text;
}

std::string Left(const std::string& text, int width) {
    const std::size_t w = static_cast<std::size_t>(width);
    return text.size() >= w ? text : text + std::string(w - text.size(), ' ');
}

bool AnyMissing(const AcousticsResult& result) {
    for (const OctaveAcoustics& band : result.bands) {
        for (const Parameter& p : kParameters) {
            if (!(band.*p.value).value) return true;
        }
    }
    return false;
}

bool AnyCurved(const AcousticsResult& result) {
    for (const OctaveAcoustics& band : result.bands) {
        for (const Parameter& p : kParameters) {
            const AcousticValue& v = band.*p.value;
            if (v.value && v.curved) return true;
        }
    }
    return false;
}

// The table rows (centres and parameters), each ending with '\n'.
std::string Rows(const AcousticsResult& result) {
    std::string out = Left("Hz", kAcousticsLabelWidth);
    for (const OctaveAcoustics& band : result.bands) {
        out += Right(std::to_string(band.nominalHz), kAcousticsColumnWidth);
    }
    out += '\n';
    for (const Parameter& p : kParameters) {
        out += Left(p.label, kAcousticsLabelWidth);
        for (const OctaveAcoustics& band : result.bands) {
            out += Right(Cell(band.*p.value, p.format), kAcousticsColumnWidth);
        }
        out += '\n';
    }
    return out;
}

std::string Hz(double hz) {
    return Format("%.0f", hz);
}

}  // namespace

std::string AcousticsFileName(const std::tm& t) {
    char name[128];
    std::snprintf(name, sizeof name, "sweep_%04lld%02lld%02lld_%02lld%02lld%02lld_acoustics.txt",
                  static_cast<long long>(t.tm_year) + 1900, static_cast<long long>(t.tm_mon) + 1,
                  static_cast<long long>(t.tm_mday), static_cast<long long>(t.tm_hour),
                  static_cast<long long>(t.tm_min), static_cast<long long>(t.tm_sec));
    return name;
}

std::string AcousticsTable(const AcousticsResult& result) {
    std::string out = "Room acoustics per octave:\n" + Rows(result);
    if (AnyMissing(result)) out += "- : not available, the reasons are in the acoustics file\n";
    if (AnyCurved(result)) {
        out += "* : curved decay (non-linearity over 10 per mille), see the acoustics file\n";
    }
    return out;
}

std::string AcousticsGapText(const OctaveAcoustics& band, AcousticsGap gap, double needDb,
                             double bottomDb) {
    switch (gap) {
        case AcousticsGap::kNone:
            return "present";
        case AcousticsGap::kBadInput:
            return "the impulse response, its sample rate or the swept range is unusable";
        case AcousticsGap::kNoOnset:
            return "no direct sound in the impulse response";
        case AcousticsGap::kNotSwept:
            return "the sweep did not cover the whole octave (" + Hz(band.lowerHz) + " to " +
                   Hz(band.upperHz) + " Hz)";
        case AcousticsGap::kAboveNyquist:
            return "the octave (up to " + Hz(band.upperHz) + " Hz) reaches half the sample rate";
        case AcousticsGap::kNoSignal:
            return "no energy in the octave after the direct sound";
        case AcousticsGap::kNoDecay:
            return "no decay above the noise floor";
        case AcousticsGap::kShortRange:
            return "decay range " + Format("%.1f", band.decayRangeDb) + " dB above the noise, " +
                   Format("%.0f", needDb) + " dB needed";
        case AcousticsGap::kCurveEnds:
            return "the decay meets the noise before reaching " + Format("%.0f", bottomDb) + " dB";
        case AcousticsGap::kNoLine:
            return "the decay curve is too far from a straight line to give a decay time "
                   "(non-linearity above " +
                   Format("%.0f", kMaxFitNonLinearityPermille) + " per mille)";
        case AcousticsGap::kLateBelowNoise:
            return "the decay meets the noise before the early period ends, so there is no late "
                   "energy to measure";
        case AcousticsGap::kBelowResolution:
            return "the decay is faster than the octave filter resolves (" +
                   Format("%.3f", ShortestResolvedSeconds(band.lowerHz, band.upperHz)) +
                   " s at least)";
    }
    return "unknown";
}

std::vector<AcousticsEntry> AcousticsEntries(const OctaveAcoustics& band) {
    std::vector<AcousticsEntry> entries;
    for (const Parameter& p : kParameters) {
        const AcousticValue& v = band.*p.value;
        entries.push_back(
            {p.name, v.value, v.value ? "" : AcousticsGapText(band, v.gap, p.needDb, p.bottomDb)});
    }
    return entries;
}

std::string AcousticsFileText(const AcousticsResult& result, const RunDescription& run) {
    std::string out = RunFileHeader("Room acoustics from the impulse response", run);
    if (result.onset) {
        out += "Direct sound: sample " + std::to_string(*result.onset) +
               (result.onsetFound ? " (first sample within 20 dB of the peak)\n"
                                  : " (given by the run)\n");
    } else {
        out += "Direct sound: none\n";
    }
    out +=
        "Octave filters: sixth-order Butterworth band-passes, run over the time-reversed\n"
        "response. Noise floor: Lundeby's iterative method; Schroeder integral with the\n"
        "tail compensated. EDT 0 to -10 dB, T20 -5 to -25 dB, T30 -5 to -35 dB, each\n"
        "extrapolated to 60 dB. C50, C80, D50: energy before and after 50 and 80 ms\n"
        "from the direct sound.\n\n";
    out += Rows(result);

    out += "\nNoise floor per octave: decay range above it, time the decay meets it\n";
    out += Left("Hz", kAcousticsLabelWidth) + Right("range dB", 12) + Right("meets noise s", 16) +
           '\n';
    for (const OctaveAcoustics& band : result.bands) {
        out += Left(std::to_string(band.nominalHz), kAcousticsLabelWidth);
        if (band.decayFound) {
            out += Right(Format("%.1f", band.decayRangeDb), 12) +
                   Right(Format("%.3f", band.crossSeconds), 16);
        } else {
            out += Right("-", 12) + Right("-", 16);
        }
        out += '\n';
    }

    out +=
        "\nDecay shape per octave: non-linearity 1000 (1 - r^2) of the T20 and T30 fits\n"
        "(per mille; * : over 10, the decay is curved and its T20 or T30 is marked), and\n"
        "curvature C = 100 (T30 / T20 - 1) (percent; near 0 for a single decay)\n";
    out += Left("Hz", kAcousticsLabelWidth) + Right("T20 xi", 12) + Right("T30 xi", 12) +
           Right("C %", 12) + '\n';
    for (const OctaveAcoustics& band : result.bands) {
        out += Left(std::to_string(band.nominalHz), kAcousticsLabelWidth);
        for (const AcousticValue* v : {&band.t20, &band.t30}) {
            // The non-linearity of a fit whose value is not given says nothing.
            out +=
                Right(Cell(v->value ? std::optional<double>(v->nonlinearityPermille) : std::nullopt,
                           "%.1f", v->value && v->curved),
                      12);
        }
        out += Right(Cell(band.curvaturePercent, "%.1f"), 12) + '\n';
    }

    out += "\nMissing values\n";
    bool none = true;
    for (const OctaveAcoustics& band : result.bands) {
        const AcousticsGap first = (band.*kParameters[0].value).gap;
        bool alike = first != AcousticsGap::kNone;
        for (const Parameter& p : kParameters) {
            alike = alike && !(band.*p.value).value && (band.*p.value).gap == first;
        }
        const std::string octave = std::to_string(band.nominalHz) + " Hz";
        if (alike) {
            out += octave + ", all values: " + AcousticsGapText(band, first, 0.0, 0.0) + '\n';
            none = false;
            continue;
        }
        for (const Parameter& p : kParameters) {
            const AcousticValue& v = band.*p.value;
            if (v.value) continue;
            out += octave + ", " + p.name + ": " +
                   AcousticsGapText(band, v.gap, p.needDb, p.bottomDb) + '\n';
            none = false;
        }
    }
    if (none) out += "none\n";
    return out;
}
