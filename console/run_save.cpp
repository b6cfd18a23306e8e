#include "console/run_save.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <optional>
#include <system_error>
#include <vector>

#include "console/acoustics_report.h"
#include "console/correction_report.h"
#include "console/distortion_report.h"
#include "console/plot.h"
#include "console/run_files.h"
#include "console/time_plot.h"
#include "console/time_report.h"

namespace {

// Appends the table to the results file; says why when it could not.
void AppendResults(const std::string& resultsText) {
    const auto appended = AppendText(kResultsFile, resultsText);
    if (appended.ok()) return;
    const AppendFailure& failure = appended.reason();
    if (!failure.opened) {
        std::printf("The results were not saved: %s could not be opened: %s\n", kResultsFile,
                    Words(failure.failure).c_str());
    } else {
        std::printf("The results were not fully saved to %s: %s\n", kResultsFile,
                    Words(failure.failure).c_str());
    }
}

PlotCurve CurveOf(const std::vector<ResponsePoint>& points) {
    PlotCurve curve;
    for (const ResponsePoint& point : points) {
        curve.frequencies.push_back(point.frequency);
        curve.levels.push_back(point.magnitudeDb);
    }
    return curve;
}

// The picture: the response at 1/12 octave, the table's bands, the noise
// floor, the THD of an exponential sweep and, where measured, the T30 per
// octave in a corner.
PlotData PlotOf(const RunDescription& run, const RunResult& result, std::span<const double> lower,
                std::span<const double> upper) {
    PlotData plot;
    plot.titleLines = PlotTitleLines(run, result.delay.milliseconds / 1000.0);
    plot.response = CurveOf(result.smoothed);
    plot.noiseFloor = CurveOf(result.noiseFloor);
    for (std::size_t b = 0; b < result.bands.size() && b < lower.size() && b < upper.size(); ++b) {
        const BandLevel& band = result.bands[b];
        plot.bands.push_back(
            {lower[b], upper[b],
             band.missing ? -std::numeric_limits<double>::infinity() : band.level});
    }
    plot.lowFrequency = result.lowFrequency;
    plot.highFrequency = result.highFrequency;
    for (const OctaveAcoustics& band : result.acoustics.bands) {
        if (!band.t30.value) continue;
        if (plot.cornerLines.empty()) plot.cornerLines.push_back("T30 per octave");
        char line[64];
        // A curved decay's value is marked as in the table.
        std::snprintf(line, sizeof line, "%5d Hz  %.2f s%s", band.nominalHz, *band.t30.value,
                      band.t30.curved ? " *" : "");
        plot.cornerLines.push_back(line);
    }
    if (std::any_of(
            result.acoustics.bands.begin(), result.acoustics.bands.end(),
            [](const OctaveAcoustics& band) { return band.t30.value && band.t30.curved; })) {
        plot.cornerLines.push_back("* curved decay");
    }
    if (result.distortion) plot.extra = ThdPlotCurve(result.distortion->curve);
    if (result.correction && result.correction->design) {
        AddCorrectionCurves(plot, result.correction->design.value());
    }
    return plot;
}

// The time picture drawn and encoded on a thread of its own while the other
// files are written; where no thread can be had, here and now.
std::future<TimePictures> EncodeBeside(const TimePlotData& data) {
    try {
        return std::async(std::launch::async, [&data] { return EncodeTimePlot(data); });
    } catch (const std::system_error&) {
        std::promise<TimePictures> done;
        done.set_value(EncodeTimePlot(data));
        return done.get_future();
    }
}

// One file of the run: its name's ending and how it is written.
struct RunFile {
    const char* ending;
    std::function<Written(int)> write;
};

std::string WriteRunFiles(const RunDescription& run, const RunResult& result,
                          std::span<const double> lower, std::span<const double> upper,
                          const TakeChecks& checks) {
    const PlotData plot = PlotOf(run, result, lower, upper);
    std::vector<std::string> notes;
    if (result.distortion) notes.push_back(kDistortionNote);
    std::vector<RunFile> files = {
        {".frd",
         [&](int fd) {
             return WriteText(fd, FormatResponse(run, result.delay, notes, result.response));
         }},
        {"_ir.wav",
         [&](int fd) {
             return WriteImpulseWav(fd, result.impulse.samples, result.impulse.zeroIndex,
                                    static_cast<int>(result.rate));
         }},
        {".png", [&](int fd) { return WritePlotPng(fd, plot); }},
        {".svg", [&](int fd) { return WritePlotSvg(fd, plot); }},
        {"_acoustics.txt",
         [&](int fd) { return WriteText(fd, AcousticsFileText(result.acoustics, run)); }},
    };
    TimePlotData timePlot;
    std::future<TimePictures> timePictures;
    std::optional<TimePictures> pictures;
    if (result.timeViews) {
        timePlot.titleLines = plot.titleLines;
        timePlot.views = *result.timeViews;
        timePictures = EncodeBeside(timePlot);
        const auto picture = [&]() -> const TimePictures& {
            if (!pictures) pictures = timePictures.get();
            return *pictures;
        };
        files.push_back({"_reflections.txt", [&](int fd) {
                             return WriteText(fd, TimeViewsFileText(*result.timeViews, run));
                         }});
        files.push_back({"_time.png", [=](int fd) { return WriteEncoded(fd, picture().png); }});
        files.push_back({"_time.svg", [=](int fd) { return WriteEncoded(fd, picture().svg); }});
    }
    if (result.distortion) {
        files.push_back({"_distortion.txt", [&](int fd) {
                             return WriteText(fd,
                                              DistortionFileText(result.distortion->curve, run));
                         }});
    }
    const CorrectionDesign* design = result.correction && result.correction->design
                                         ? &result.correction->design.value()
                                         : nullptr;
    // The base name is known once the files are made: the writers read it then.
    std::string base;
    if (design != nullptr) {
        for (std::size_t i = 0; i < kCorrectionFileCount; ++i) {
            files.push_back({kCorrectionEndings[i], [&, i](int fd) {
                                 return WriteCorrectionFile(
                                     i, fd, design->correction, base,
                                     "Correction of " + base + " (" + run.date + ")");
                             }});
        }
    }
    // The summary last: it names the files written before it.
    std::vector<std::string> written;
    std::vector<std::string> listed;
    files.push_back({"_summary.json", [&](int fd) {
                         listed = written;
                         return WriteText(
                             fd, SummaryText(run, result, lower, upper, checks, listed, 2) + "\n");
                     }});
    std::vector<std::string> endings;
    for (const RunFile& file : files) endings.push_back(file.ending);
    auto created = CreateRunFiles(run.when, endings);
    if (!created) {
        std::printf("The run's files were not saved: %s\n", Words(created.reason()).c_str());
        return "";
    }
    RunFiles& reserved = created.value();
    base = reserved.base;
    std::string saved;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string name = reserved.base + files[i].ending;
        const Written done = files[i].write(reserved.Release(i));
        if (done.ok()) {
            saved += " " + name;
            written.push_back(name);
        } else {
            std::printf("%s was not fully saved: %s\n", name.c_str(), Words(done.reason()).c_str());
        }
    }
    if (!saved.empty()) std::printf("Files:%s\n", saved.c_str());
    if (checks.summaryLine != nullptr) {
        // The same summary as the file's.
        std::fprintf(checks.summaryLine, "%s\n",
                     SummaryText(run, result, lower, upper, checks, listed, -1).c_str());
        std::fflush(checks.summaryLine);
    }
    return reserved.base;
}

}  // namespace

std::string SaveRun(const RunDescription& run, const RunResult& result,
                    std::span<const double> lowerEdges, std::span<const double> upperEdges,
                    const std::string& resultsText, const TakeChecks& checks) {
    std::string base;
    if (result.transfer == TransferStatus::Ok) {
        base = WriteRunFiles(run, result, lowerEdges, upperEdges, checks);
    }
    if (base.empty() && checks.summaryLine != nullptr) {
        std::fprintf(checks.summaryLine, "%s\n",
                     SummaryText(run, result, lowerEdges, upperEdges, checks, {}, -1).c_str());
        std::fflush(checks.summaryLine);
    }
    AppendResults(resultsText);
    return base;
}
