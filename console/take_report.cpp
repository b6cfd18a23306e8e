#include "console/take_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "analysis/acoustics.h"
#include "analysis/distortion.h"
#include "analysis/disturbance.h"
#include "console/acoustics_report.h"
#include "console/calibration_file.h"
#include "console/distortion_report.h"
#include "console/plot.h"
#include "console/run_files.h"
#include "console/run_report.h"

namespace {

constexpr const char* kResultsFile = "sweep_out.txt";
// The impulse response file holds this much before time zero (the loop-back
// reference), for the band-limited ringing ahead of the direct sound, and
// this much after the direct sound. The swept range's lower edge rings
// ahead of time zero, the longer the lower it lies: the file alone, re-read,
// gives the lowest third octave of a sweep from 18 Hz (1 s to 2 min long)
// within 0.04 dB of the response with 1 s, within 0.07 dB with 0.5 s, and
// up to 0.5 dB low with 10 ms.
constexpr double kImpulseLeadSeconds = 1.0;
constexpr double kImpulseTailSeconds = 2.5;
// The acoustics read the response from this much before time zero (and
// to the same end as the file).
constexpr double kAcousticsLeadSeconds = 0.01;

// Appends the table to the results file; says why when it could not.
void AppendResults(const std::string& resultsText) {
    std::FILE* file = std::fopen(kResultsFile, "a");
    if (file == nullptr) {
        std::printf("The results were not saved: %s could not be opened: %s\n", kResultsFile,
                    std::strerror(errno));
        return;
    }
    errno = 0;
    const std::size_t written = std::fwrite(resultsText.data(), 1, resultsText.size(), file);
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (written != resultsText.size() || !closed) {
        const int error = written != resultsText.size() ? writeError : errno;
        std::printf("The results were not fully saved to %s: %s\n", kResultsFile,
                    error != 0 ? std::strerror(error) : "write error");
    }
}

// Says what the checks of input 1 found: clipping and silence only when
// they apply, the signal-to-noise ratio always.
void PrintSignalChecks(const SignalChecks& checks) {
    if (checks.clippedSamples > 0) {
        std::printf(
            "Input 1 clipped: %lld sample(s) reached full scale. Lower the input gain and "
            "repeat the measurement.\n",
            static_cast<long long>(checks.clippedSamples));
    }
    if (checks.silent) {
        std::puts("Input 1 is silent: check the microphone and its cable.");
    } else if (checks.tooLow) {
        std::printf(
            "Input 1 is too low to measure (%.1f dBFS during the sweep): check the "
            "microphone and the input gain.\n",
            checks.signalLevelDb);
    }
    if (!checks.snrKnown) {
        std::puts("Signal-to-noise ratio: not known (no lead-in before the sweep).");
    } else if (std::isinf(checks.snrDb)) {
        std::printf("Signal-to-noise ratio: no noise in the lead-in (sweep %.1f dBFS).\n",
                    checks.signalLevelDb);
    } else {
        std::printf("Signal-to-noise ratio: %.1f dB (sweep %.1f dBFS, lead-in noise %.1f dBFS).\n",
                    checks.snrDb, checks.signalLevelDb, checks.noiseLevelDb);
        if (checks.lowSnr) {
            std::printf(
                "Warning: the signal-to-noise ratio is below %.0f dB: raise the level or "
                "quiet the room, and repeat the measurement.\n",
                kLowestSnrDb);
        }
    }
}

// One line when the take holds more than the room and its noise.
void PrintDisturbance(const DisturbanceCheck& check) {
    if (!check.known || !check.disturbed) return;
    std::printf(
        "Warning: the take was disturbed at %.2f s (input 1 departs from the room's "
        "response by %.0f dB more than its noise allows): repeat the measurement.\n",
        check.seconds, check.excessDb);
}

const char* TransferProblem(TransferStatus status) {
    switch (status) {
        case TransferStatus::Ok:
            return "";
        case TransferStatus::NoSignal:
            return "nothing was played in the swept range";
        case TransferStatus::TooLong:
            return "the take is too long to transform";
        case TransferStatus::NoMemory:
            return "not enough memory";
        case TransferStatus::NoResponse:
            return "the sweep has no energy in the swept range";
    }
    return "";
}

// What a run saves beside its results table.
struct RunOutputs {
    std::string responseText;      // the response file
    std::vector<float> impulse;    // the impulse response
    std::int64_t impulseZero = 0;  // index of time zero in it
    PlotData plot;                 // the picture
    std::string acousticsText;     // the acoustics file
    std::string distortionText;    // the distortion file; empty: none is written
};

// Writes the run's files under one new name and names them in one line;
// says which could not be written and why.
void WriteRunFiles(std::time_t runTime, double rate, const RunOutputs& outputs) {
    std::vector<std::string> endings = {".frd", "_ir.wav", ".png", ".svg", "_acoustics.txt"};
    if (!outputs.distortionText.empty()) endings.push_back("_distortion.txt");
    RunFiles files = CreateRunFiles(runTime, endings);
    if (!files.ok()) {
        std::printf("The run's files were not saved: %s\n", files.error.c_str());
        return;
    }
    // The pictures are written through a file of their own beside the
    // reserved name and renamed onto it when complete.
    close(files.Release(2));
    close(files.Release(3));
    std::vector<std::string> errors = {
        WriteText(files.Release(0), outputs.responseText),
        WriteImpulseWav(files.Release(1), outputs.impulse, outputs.impulseZero,
                        static_cast<int>(rate)),
        WritePlotPng(files.paths[2], outputs.plot),
        WritePlotSvg(files.paths[3], outputs.plot),
        WriteText(files.Release(4), outputs.acousticsText),
    };
    if (endings.size() > 5) errors.push_back(WriteText(files.Release(5), outputs.distortionText));
    std::string saved;
    for (std::size_t i = 0; i < files.paths.size(); ++i) {
        const std::string name = files.base + endings[i];
        if (errors[i].empty()) {
            saved += " " + name;
        } else {
            std::printf("%s was not fully saved: %s\n", name.c_str(), errors[i].c_str());
        }
    }
    if (!saved.empty()) std::printf("Files:%s\n", saved.c_str());
}

PlotCurve CurveOf(const std::vector<ResponsePoint>& points) {
    PlotCurve curve;
    for (const ResponsePoint& point : points) {
        curve.frequencies.push_back(point.frequency);
        curve.levels.push_back(point.magnitudeDb);
    }
    return curve;
}

// The picture of the run `run` describes: the response at 1/12 octave, the table's bands, the noise
// floor and, where measured, the T30 per octave in a corner.
PlotData PlotOf(const ResponseHeader& run, const TransferFunction& h, std::span<const double> lower,
                std::span<const double> upper, const std::vector<double>& levels,
                const AcousticsResult& acoustics) {
    PlotData plot;
    PlotTitleFacts facts;
    facts.when = run.when;
    facts.device = run.device;
    facts.q = run.q;
    facts.bandCount = run.bands;
    facts.startFrequency = run.startFrequency;
    facts.sweepLength = run.sweepLength;
    facts.acousticDelay = run.delay.milliseconds / 1000.0;
    facts.calibration = run.calibration;
    plot.titleLines = PlotTitleLines(facts);
    plot.response = CurveOf(SmoothedResponse(h, 12));
    plot.noiseFloor = CurveOf(SmoothedNoise(h, 12));
    for (std::size_t b = 0; b < levels.size(); ++b) {
        plot.bands.push_back({lower[b], upper[b], levels[b]});
    }
    plot.lowFrequency = h.startFrequency;
    plot.highFrequency = h.endFrequency;
    for (const OctaveAcoustics& band : acoustics.bands) {
        if (!band.t30.value) continue;
        if (plot.cornerLines.empty()) plot.cornerLines.push_back("T30 per octave");
        char line[64];
        std::snprintf(line, sizeof line, "%5d Hz  %.2f s", band.nominalHz, *band.t30.value);
        plot.cornerLines.push_back(line);
    }
    return plot;
}

// The settings of a run as one line, for the files' headers.
std::string SettingsLine(const TestSettings& settings) {
    char line[256];
    std::snprintf(line, sizeof line, "Q %g, %d bands, start %.1f Hz, length %.1f s", settings.q,
                  settings.bandCount, settings.startFrequency, settings.sweepLength);
    std::string text = line;
    if (settings.calibration != nullptr) text += "; " + CalibrationLine(*settings.calibration);
    return text;
}

// The harmonic distortion of an exponential sweep's take, per 1/12 octave
// over the bands and at the summary's frequencies.
struct DistortionFigures {
    std::vector<DistortionPoint> curve;
    std::vector<DistortionPoint> summary;
};

DistortionFigures DistortionOf(const TransferFunction& h, const Delay& delay,
                               const LogSweep& sweep) {
    const HarmonicSpectra spectra =
        ExtractHarmonics(h, delay.samples, {sweep.rateConstant, sweep.low, sweep.high});
    DistortionFigures figures;
    figures.curve = DistortionCurve(spectra, h.startFrequency, h.endFrequency, 12);
    for (const double frequency : kDistortionSummaryFrequencies) {
        if (frequency >= h.startFrequency && frequency <= h.endFrequency) {
            figures.summary.push_back(DistortionAt(spectra, frequency, 12));
        }
    }
    return figures;
}

PlotExtraCurve ThdCurveOf(const std::vector<DistortionPoint>& points) {
    PlotExtraCurve extra;
    extra.label = "THD (2nd to 5th harmonic), exponential sweep";
    extra.scale = PlotScale::kPercent;
    for (const DistortionPoint& point : points) {
        extra.curve.frequencies.push_back(point.frequency);
        extra.curve.levels.push_back(point.thdPercent);
    }
    return extra;
}

}  // namespace

void ReportTake(const TestSettings& settings, const BandPlan& plan, const Take& take,
                double returnLevel, std::int64_t sweepFrames, std::time_t runTime,
                const LogSweep* logSweep, double endFrequency) {
    TransferFunction h = ComputeTransfer(take);
    // The take against the loop it was measured through, before the
    // microphone's calibration changes H; without one, the impulse response
    // serves what follows too.
    Waveform loopResponse = ImpulseResponseOf(h);
    const DisturbanceCheck disturbance = CheckDisturbance(take, loopResponse);
    if (h.status == TransferStatus::Ok && settings.calibration != nullptr) {
        ApplyCalibration(h, settings.calibration->calibration);
        loopResponse = Waveform();
    }
    if (logSweep != nullptr) {
        // The exponential sweep reaches beyond the bands; what is reported
        // keeps to the bands' range, at most up to where the sweep fades.
        h.startFrequency = settings.startFrequency;
        h.endFrequency = std::min(endFrequency, logSweep->FadeOutFrequency());
    }

    const int bands = std::clamp(settings.bandCount, 0, kMaxBands);
    const std::span<const double> lower(plan.lowerEdges, static_cast<std::size_t>(bands));
    const std::span<const double> upper(plan.upperEdges, static_cast<std::size_t>(bands));
    std::vector<double> levels;
    std::vector<bool> missing;
    for (const BandLevel& band : BandLevels(h, lower, upper)) {
        levels.push_back(band.missing ? -std::numeric_limits<double>::infinity() : band.level);
        missing.push_back(band.missing);
    }
    const std::string resultsText = ResultsText(levels, lower, upper);
    std::fputs(resultsText.c_str(), stdout);
    std::fputs(MissingDataLines(missing).c_str(), stdout);
    std::fputs(ReturnLevelLine(returnLevel).c_str(), stdout);
    PrintSignalChecks(CheckSignal(take.captured, take.capturedSweepStart, sweepFrames));
    PrintDisturbance(disturbance);
    if (h.status != TransferStatus::Ok) {
        // Every band showed -inf: there is no response to save.
        std::printf(
            "The room's response could not be computed (%s): no response files were "
            "written.\n",
            TransferProblem(h.status));
        AppendResults(resultsText);
        return;
    }

    RunOutputs outputs;
    Delay delay;
    AcousticsResult acoustics;
    DistortionFigures distortion;
    std::vector<float> acousticsResponse;
    {
        const Waveform response =
            loopResponse.empty() ? ImpulseResponseOf(h) : std::move(loopResponse);
        delay = FindDelay(response, take.rate);
        std::printf("Acoustic delay: %.2f ms (%.2f m at 343 m/s)\n", delay.milliseconds,
                    delay.metres);
        ImpulseResponse cut = CutImpulseResponse(response, take.rate, delay.samples,
                                                 kImpulseLeadSeconds, kImpulseTailSeconds);
        outputs.impulse = std::move(cut.samples);
        outputs.impulseZero = cut.zeroIndex;
        acousticsResponse = CutImpulseResponse(response, take.rate, delay.samples,
                                               kAcousticsLeadSeconds, kImpulseTailSeconds)
                                .samples;
    }
    if (logSweep != nullptr) {
        distortion = DistortionOf(h, delay, *logSweep);
        std::fputs(DistortionSummaryLine(distortion.summary).c_str(), stdout);
    }
    acoustics = ComputeAcoustics(acousticsResponse, take.rate, std::nullopt, h.startFrequency,
                                 h.endFrequency);
    acousticsResponse = std::vector<float>();

    ResponseHeader header;
    header.when = runTime;
    header.device = settings.deviceName;
    header.q = settings.q;
    header.bands = settings.bandCount;
    header.startFrequency = settings.startFrequency;
    header.sweepLength = settings.sweepLength;
    header.delay = delay;
    if (settings.calibration != nullptr)
        header.calibration = CalibrationLine(*settings.calibration);
    if (logSweep != nullptr) header.notes.push_back(kDistortionNote);
    outputs.responseText = FormatResponse(header, PointResponse(h, 96));
    outputs.plot = PlotOf(header, h, lower, upper, levels, acoustics);
    if (logSweep != nullptr) outputs.plot.extra = ThdCurveOf(distortion.curve);
    char date[64] = "unknown";
    std::tm local{};
    if (localtime_r(&runTime, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    }
    outputs.acousticsText =
        AcousticsFileText(acoustics, {date, settings.deviceName, SettingsLine(settings)});
    if (logSweep != nullptr) {
        outputs.distortionText = DistortionFileText(
            distortion.curve,
            {date, settings.deviceName, SettingsLine(settings), logSweep->low, logSweep->high});
    }
    h = TransferFunction();  // its memory back before the files are written

    std::fputs(AcousticsTable(acoustics).c_str(), stdout);
    WriteRunFiles(runTime, take.rate, outputs);
    AppendResults(resultsText);
}
