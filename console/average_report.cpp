#include "console/average_report.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

#include "console/acoustics_report.h"
#include "console/formatted.h"
#include "console/options.h"
#include "console/plot.h"
#include "console/run_report.h"

namespace {

std::string Right(const std::string& text, int width) {
    const auto w = static_cast<std::size_t>(width);
    return text.size() >= w ? text : std::string(w - text.size(), ' ') + text;
}

std::string Left(const std::string& text, int width) {
    const auto w = static_cast<std::size_t>(width);
    return text.size() >= w ? text : text + std::string(w - text.size(), ' ');
}

// The rows of one acoustic value in the table across positions.
struct Row {
    const char* label;
    AveragedValue value;
    int decimals;
};
constexpr Row kRows[] = {
    {"T30 s", AveragedValue::T30, 2},
    {"EDT s", AveragedValue::EDT, 2},
    {"C80 dB", AveragedValue::C80, 1},
};

// One column of a row: the spread's member, or "-" without a value.
std::string Cell(const ValueSpread& spread, double ValueSpread::*member, int decimals) {
    if (spread.count == 0) return "-";
    // One value has no deviation to speak of.
    if (member == &ValueSpread::deviation && spread.count < 2) return "-";
    return FormatFixed(spread.*member, decimals);
}

const char* Sources(bool ofFiles) {
    return ofFiles ? "files" : "positions";
}

PlotCurve CurveOf(const std::vector<SpreadPoint>& points, double SpreadPoint::*member) {
    PlotCurve curve;
    for (const SpreadPoint& point : points) {
        curve.frequencies.push_back(point.frequency);
        curve.levels.push_back(point.*member);
    }
    return curve;
}

PlotData PictureOf(const PositionAverage& average, const AverageDescription& description,
                   std::span<const double> lower, std::span<const double> upper) {
    PlotData plot;
    plot.titleLines.push_back("Average of " + std::to_string(average.positions) + " " +
                              Sources(description.ofFiles) + " (" + AverageName(average.kind) +
                              ")");
    for (const std::string& line : description.pictureLines) plot.titleLines.push_back(line);
    plot.response = CurveOf(average.smoothed, &SpreadPoint::levelDb);
    plot.responseLabel =
        std::string("Average (") + AverageName(average.kind) + "), 1/12-octave smoothing";
    for (const std::vector<ResponsePoint>& position : average.smoothedPositions) {
        PlotCurve curve;
        for (const ResponsePoint& point : position) {
            curve.frequencies.push_back(point.frequency);
            curve.levels.push_back(point.magnitudeDb);
        }
        plot.backgroundCurves.push_back(std::move(curve));
    }
    plot.backgroundLabel = description.ofFiles ? "Each file" : "Each position";
    plot.spreadLow = CurveOf(average.smoothed, &SpreadPoint::lowestDb);
    plot.spreadHigh = CurveOf(average.smoothed, &SpreadPoint::highestDb);
    plot.spreadLabel =
        description.ofFiles ? "Lowest to highest file" : "Lowest to highest position";
    for (std::size_t b = 0; b < average.bands.size() && b < lower.size() && b < upper.size(); ++b) {
        const BandSpread& band = average.bands[b];
        plot.bands.push_back(
            {lower[b], upper[b],
             band.missing ? -std::numeric_limits<double>::infinity() : band.level});
    }
    if (!average.response.empty()) {
        plot.lowFrequency = average.response.front().frequency;
        plot.highFrequency = average.response.back().frequency;
    }
    for (std::size_t o = 0; o < kOctaveBandCount; ++o) {
        const ValueSpread& t30 = average.acoustics[o][static_cast<int>(AveragedValue::T30)];
        if (t30.count == 0) continue;
        if (plot.cornerLines.empty()) plot.cornerLines.push_back("T30 per octave, mean (SD)");
        std::string line = Format("%5d Hz  %.2f s", kOctaveNominalHz[o], t30.mean);
        if (t30.count > 1) line += Format(" (%.2f)", t30.deviation);
        plot.cornerLines.push_back(line);
    }
    return plot;
}

}  // namespace

const char* AverageName(AverageKind kind) {
    return kind == AverageKind::Vector ? "vector average" : "power average";
}

std::string AverageMethodLine(const PositionAverage& average, bool ofFiles) {
    const std::string what = std::string(AverageName(average.kind)) + " of " +
                             std::to_string(average.positions) + " " + Sources(ofFiles);
    if (average.kind == AverageKind::Power) {
        return what + ": the mean of |H|^2 at each frequency, each " +
               (ofFiles ? "file's" : "position's") + " level as measured";
    }
    return what + (ofFiles ? ": the mean of H at each frequency, magnitude and phase as the "
                             "files give them"
                           : ": the mean of H at each frequency, each position moved back by "
                             "its own acoustic delay (phase relative to the direct sound)");
}

std::string AverageTable(const PositionAverage& average, std::span<const double> lowerEdges,
                         std::span<const double> upperEdges, bool ofFiles) {
    std::string text = "Average of " + std::to_string(average.positions) + " " + Sources(ofFiles) +
                       " (" + AverageName(average.kind) + "):\n";
    text += "Band\tRange (Hz)\tdB\tLowest\tHighest\tSD\n";
    const std::size_t bands =
        std::min({average.bands.size(), lowerEdges.size(), upperEdges.size()});
    for (std::size_t b = 0; b < bands; ++b) {
        const BandSpread& band = average.bands[b];
        text += Format("%zu\t%.0f\t%.0f\t", b + 1, lowerEdges[b], upperEdges[b]);
        if (band.missing) {
            text += "-inf\t-\t-\t-\n";
            continue;
        }
        text += FormatLevel(band.level) + "\t" + FormatLevel(band.lowest) + "\t" +
                FormatLevel(band.highest) + "\t" +
                (std::isfinite(band.deviationDb) ? FormatFixed(band.deviationDb, 1) : "-") + "\n";
    }
    text += std::string("Lowest, Highest: the ") + Sources(ofFiles) +
            "' levels on the average's scale; SD: their standard deviation in dB.\n";
    return text;
}

std::string AverageAcousticsTable(const PositionAverage& average) {
    bool any = false;
    for (const auto& octave : average.acoustics) {
        for (const ValueSpread& value : octave) any = any || value.count > 0;
    }
    if (!any) return "";
    std::string text = "Room acoustics per octave across " + std::to_string(average.positions) +
                       " positions (mean, standard deviation, lowest, highest, positions):\n";
    text += Left("Hz", kAcousticsLabelWidth);
    for (const int hz : kOctaveNominalHz) {
        text += Right(std::to_string(hz), kAcousticsColumnWidth);
    }
    text += '\n';
    struct Line {
        const char* label;
        double ValueSpread::*member;
    };
    constexpr Line kLines[] = {{nullptr, &ValueSpread::mean},
                               {"  SD", &ValueSpread::deviation},
                               {"  low", &ValueSpread::lowest},
                               {"  high", &ValueSpread::highest}};
    for (const Row& row : kRows) {
        const int v = static_cast<int>(row.value);
        for (const Line& line : kLines) {
            text += Left(line.label != nullptr ? line.label : row.label, kAcousticsLabelWidth);
            for (const auto& octave : average.acoustics) {
                text += Right(Cell(octave[v], line.member, row.decimals), kAcousticsColumnWidth);
            }
            text += '\n';
        }
        text += Left("  n", kAcousticsLabelWidth);
        for (const auto& octave : average.acoustics) {
            text += Right(std::to_string(octave[v].count), kAcousticsColumnWidth);
        }
        text += '\n';
    }
    return text;
}

std::string AverageResponseText(const PositionAverage& average,
                                const AverageDescription& description) {
    std::string text = "* " + description.program + "\n";
    text += "* Average: " + AverageMethodLine(average, description.ofFiles) + "\n";
    for (const std::string& line : description.sourceLines) text += "* " + Printable(line) + "\n";
    for (const std::string& name : description.positionNames) {
        text += "* Position: " + Printable(name) + "\n";
    }
    const bool phase = average.kind == AverageKind::Vector;
    text += phase ? "* Frequency (Hz), magnitude (dB) and phase (degrees) of the average at "
                    "1/96-octave points\n"
                  : "* Frequency (Hz) and magnitude (dB) of the average at 1/96-octave points "
                    "(a power average has no phase)\n";
    for (const SpreadPoint& point : average.response) {
        text += phase
                    ? Format("%.4f %.3f %.2f\n", point.frequency, point.levelDb, point.phaseDegrees)
                    : Format("%.4f %.3f\n", point.frequency, point.levelDb);
    }
    return text;
}

AverageOutput AverageOutputOf(const PositionAverage& average, const AverageDescription& description,
                              std::span<const double> lowerEdges,
                              std::span<const double> upperEdges) {
    return {AverageResponseText(average, description),
            PictureOf(average, description, lowerEdges, upperEdges)};
}

Written AverageOutput::Write(std::size_t file, int descriptor) const {
    switch (file) {
        case 0:
            return WriteText(descriptor, response);
        case 1:
            return WritePlotPng(descriptor, picture);
        case 2:
            return WritePlotSvg(descriptor, picture);
    }
    return Complete(descriptor, Fail(WriteFailure{EINVAL, {}}));
}

void PrintAverageFiles(std::span<const std::string> names, std::span<const Written> results) {
    std::string saved;
    for (std::size_t i = 0; i < names.size() && i < results.size(); ++i) {
        if (results[i].ok()) {
            saved += " " + Printable(names[i]);
        } else {
            std::printf("%s was not saved: %s\n", Printable(names[i]).c_str(),
                        Words(results[i].reason()).c_str());
        }
    }
    if (!saved.empty()) std::printf("Average files:%s\n", saved.c_str());
}
