#include "console/measurement_run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include "analysis/acoustics.h"
#include "analysis/analyze.h"
#include "analysis/distortion.h"
#include "analysis/transfer.h"
#include "console/acoustics_report.h"
#include "console/calibration_file.h"
#include "console/distortion_report.h"
#include "console/plot.h"
#include "console/run_files.h"
#include "console/run_report.h"
#include "samples/packing.h"
#include "signal/log_sweep.h"
#include "signal/sweep.h"
#include "signal/sync_pulse.h"

namespace {

constexpr double kSweepAmplitude = 0.5;
constexpr int kBytesPerSample = 3;
constexpr const char* kResultsFile = "sweep_out.txt";
// The impulse response file holds this much before time zero (the loop-back
// reference), for the band-limited ringing ahead of the direct sound, and
// this much after the direct sound.
constexpr double kImpulseLeadSeconds = 0.01;
constexpr double kImpulseTailSeconds = 2.5;

// A zero-filled array, or null when the memory is not there.
template <typename T>
std::unique_ptr<T[]> Obtain(std::int64_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]());
}

// Frame count of the run for a sweep length, or 0 when the run cannot
// measure it (after saying why). Checked before any conversion to integer.
std::int64_t FrameCountFor(double sweepLength) {
    if (!std::isfinite(sweepLength)) {
        std::puts("The sweep length is not a finite number: nothing was measured.");
        return 0;
    }
    const double sweepFrames = kSampleRate * sweepLength;
    // The frame count is the sweep's frames cut toward zero plus one second.
    if (sweepFrames <= static_cast<double>(kSyncLength - kSampleRate - 1)) {
        std::printf(
            "A sweep length of %g s is too short: a run needs %lld frames at least. "
            "Nothing was measured.\n",
            sweepLength, static_cast<long long>(kSyncLength));
        return 0;
    }
    if (sweepFrames >= static_cast<double>(kMaxFrameCount - kSampleRate + 1)) {
        std::printf(
            "A sweep length of %g s is too long: a run holds %lld frames at most. "
            "Nothing was measured.\n",
            sweepLength, static_cast<long long>(kMaxFrameCount));
        return 0;
    }
    return static_cast<std::int64_t>(sweepFrames) + kSampleRate;
}

// Bytes of memory the system can hand out now without pushing other programs
// out (MemAvailable), or the physical memory when that is not known. Large
// blocks are granted even beyond it and fail only as they are filled, by
// ending the process, so the run has to look before it obtains them.
std::uint64_t AvailableMemory() {
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kiB = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, meminfo) != nullptr) {
            found = std::sscanf(line, "MemAvailable: %llu kB", &kiB) == 1;
        }
        std::fclose(meminfo);
        if (found) return kiB <= UINT64_MAX / 1024 ? kiB * 1024 : UINT64_MAX;
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0) {
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    }
    return UINT64_MAX;
}

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
    std::string responseText;    // the response file
    std::vector<float> impulse;  // the impulse response
    PlotData plot;               // the picture
    std::string acousticsText;   // the acoustics file
    std::string distortionText;  // the distortion file; empty: none is written
};

// Writes the run's files under one new name and names them in one line;
// says which could not be written and why.
void WriteRunFiles(std::time_t runTime, const RunOutputs& outputs) {
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
        WriteImpulseWav(files.Release(1), outputs.impulse, kSampleRate),
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

// The picture: the response at 1/12 octave, the table's bands, the noise
// floor and, where measured, the T30 per octave in a corner.
PlotData PlotOf(const TestSettings& settings, std::time_t runTime, const TransferFunction& h,
                std::span<const double> lower, std::span<const double> upper,
                const std::vector<double>& levels, const Delay& delay,
                const AcousticsResult& acoustics) {
    PlotData plot;
    PlotTitleFacts facts;
    facts.when = runTime;
    facts.device = settings.deviceName;
    facts.q = settings.q;
    facts.bandCount = settings.bandCount;
    facts.startFrequency = settings.startFrequency;
    facts.sweepLength = settings.sweepLength;
    facts.acousticDelay = delay.milliseconds / 1000.0;
    if (settings.calibration != nullptr) facts.calibration = CalibrationLine(*settings.calibration);
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

// Everything that follows from an aligned take: the transfer function, the
// table from it, the checks of input 1, the acoustic delay, the room's
// acoustics, the harmonic distortion of an exponential sweep (logSweep, null
// for the linear one), the run's files and the results file.
void ReportTake(const TestSettings& settings, const BandPlan& plan, const Take& take,
                double returnLevel, std::int64_t sweepFrames, std::time_t runTime,
                const LogSweep* logSweep, double endFrequency) {
    TransferFunction h = ComputeTransfer(take);
    if (h.status == TransferStatus::Ok && settings.calibration != nullptr) {
        ApplyCalibration(h, settings.calibration->calibration);
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
    {
        const Waveform response = ImpulseResponseOf(h);
        delay = FindDelay(response, kSampleRate);
        std::printf("Acoustic delay: %.2f ms (%.2f m at 343 m/s)\n", delay.milliseconds,
                    delay.metres);
        outputs.impulse = CutImpulseResponse(response, kSampleRate, delay.samples,
                                             kImpulseLeadSeconds, kImpulseTailSeconds)
                              .samples;
    }
    if (logSweep != nullptr) {
        distortion = DistortionOf(h, delay, *logSweep);
        std::fputs(DistortionSummaryLine(distortion.summary).c_str(), stdout);
    }
    acoustics = ComputeAcoustics(outputs.impulse, kSampleRate, std::nullopt, h.startFrequency,
                                 h.endFrequency);

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
    outputs.responseText = FormatResponse(header, SmoothedResponse(h, 96));
    outputs.plot = PlotOf(settings, runTime, h, lower, upper, levels, delay, acoustics);
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
    WriteRunFiles(runTime, outputs);
    AppendResults(resultsText);
}

}  // namespace

void KeepRunMemory() {
    // Blocks up to this size come from the heap, and freed heap memory is
    // kept: a default run's buffers and transforms stay with the process.
    constexpr int kLargestKeptBlock = 256 << 20;
    mallopt(M_MMAP_THRESHOLD, kLargestKeptBlock);
    mallopt(M_TRIM_THRESHOLD, kLargestKeptBlock);
}

std::int64_t CountDamagingFaults(const TransferReport& report, std::int64_t capturedPulseStart) {
    std::int64_t damaging = report.total - static_cast<std::int64_t>(report.stored);
    for (std::size_t i = 0; i < report.stored; ++i) {
        const TransferEvent& event = report.events[i];
        const bool playback = event.fault == TransferFault::PlaybackUnderrun ||
                              event.fault == TransferFault::PlaybackShort ||
                              event.fault == TransferFault::PlaybackFailed;
        const std::int64_t pulseStart = playback ? kLeadIn : capturedPulseStart;
        if (event.end > pulseStart) ++damaging;
    }
    return damaging;
}

RunOutcome RunMeasurement(const TestSettings& settings, const BandPlan& plan, double endFrequency,
                          std::span<std::int64_t> syncOut, std::span<std::int64_t> syncIn) {
    const std::int64_t frameCount = FrameCountFor(settings.sweepLength);
    if (frameCount == 0) return RunOutcome::Refused;
    if (!std::isfinite(settings.startFrequency)) {
        std::puts("The start frequency is not a finite number: nothing was measured.");
        return RunOutcome::Refused;
    }
    // Above half the sample rate the sweep would alias into the bands below.
    if (!(endFrequency <= kSampleRate / 2)) {
        std::printf(
            "The end frequency %.1f Hz is above %u Hz, half the sample rate: "
            "nothing was measured.\n",
            endFrequency, kSampleRate / 2);
        return RunOutcome::Refused;
    }
    if (syncOut.size() < kSyncLength || syncIn.size() < kSyncLength) {
        std::puts("The sync buffers are too short: nothing was measured.");
        return RunOutcome::Refused;
    }

    const std::int64_t blockBytes = frameCount * kBytesPerSample;
    const auto noMemory = [frameCount] {
        std::printf("Not enough memory for a run of %lld frames: nothing was measured.\n",
                    static_cast<long long>(frameCount));
        return RunOutcome::Refused;
    };
    // The frequency track, two sample arrays and two packed buffers, and
    // what the analysis of the take holds at most at once: two transforms'
    // worth of doubles and FFTW's plan memory (about 33 bytes a frame).
    constexpr std::uint64_t kRunBytesPerFrame = 3 * 8 + 2 * 2 * kBytesPerSample + 40;
    if (static_cast<std::uint64_t>(frameCount) * kRunBytesPerFrame > AvailableMemory()) {
        return noMemory();
    }

    // The device is opened and configured before the run's buffers are
    // obtained and its signals made, so that a device that cannot run is
    // known at once.
    DeviceSetup setup = OpenDuplex(settings.deviceName.c_str(), 2, kSampleRate);
    if (setup.playbackConfigured && setup.periodDiffers) {
        std::puts("Driver did not return requested period size.");
    }
    if (setup.failure) {
        PrintDeviceFailure(*setup.failure);
        return setup.failure->stage == SetupStage::Channels ? RunOutcome::Refused
                                                            : RunOutcome::DeviceFailed;
    }

    auto track = Obtain<double>(frameCount);
    auto sweepSamples = Obtain<std::int64_t>(frameCount);
    auto micSamples = Obtain<std::int64_t>(frameCount);
    auto playBytes = Obtain<std::int8_t>(2 * blockBytes);
    auto recordBytes = Obtain<std::int8_t>(2 * blockBytes);
    if (!track || !sweepSamples || !micSamples || !playBytes || !recordBytes) {
        return noMemory();
    }
    const auto frames = static_cast<std::size_t>(frameCount);
    const auto block = static_cast<std::size_t>(blockBytes);
    const std::span<double> trackSpan(track.get(), frames);
    const std::span<std::int64_t> sweepSpan(sweepSamples.get(), frames);
    const std::span<std::int64_t> micSpan(micSamples.get(), frames);
    const std::span<std::int8_t> playSpan(playBytes.get(), 2 * block);
    const std::span<std::int8_t> recordSpan(recordBytes.get(), 2 * block);

    const std::int64_t syncOutPeak =
        MakePulse(syncOut, kSampleRate, static_cast<std::int32_t>(kSyncLength), kLeadIn);
    NUM24_TO_CHAR(syncOut, playSpan.subspan(block), kSyncLength);
    std::fill(syncIn.begin(), syncIn.end(), 0);
    const bool exponential = settings.sweep == SweepKind::Exponential;
    const LogSweep logSweep =
        PlanLogSweep(settings.startFrequency, endFrequency, kSampleRate, frameCount - 2 * kLeadIn);
    if (exponential && !logSweep.usable) {
        std::puts(
            "An exponential sweep needs a start frequency above 0 Hz and below the end "
            "frequency: nothing was measured.");
        return RunOutcome::Refused;
    }
    if (exponential) {
        MakeLogSweep(logSweep, sweepSpan, trackSpan, frameCount, kSweepAmplitude, kLeadIn);
    } else {
        MakeSweep(kSampleRate, sweepSpan, trackSpan, settings.startFrequency, endFrequency,
                  frameCount, kSweepAmplitude, kLeadIn);
    }
    NUM24_TO_CHAR(sweepSpan, playSpan.first(block), frameCount);

    const std::time_t runTime = std::time(nullptr);
    std::puts("Running Test...");
    std::fflush(stdout);
    TransferReport report;
    PLAY_REC(setup.device, kSampleRate, frameCount, playSpan, recordSpan, kBytesPerSample,
             blockBytes, report);
    std::fputs(TransferProblemLine(report).c_str(), stdout);
    if (report.refusal != TransferRefusal::None) return RunOutcome::Refused;

    CHAR_TO_NUM32(recordSpan.first(block), micSpan, kBytesPerSample, frameCount);
    CHAR_TO_NUM32(recordSpan.subspan(block), syncIn, kBytesPerSample, kSyncLength);

    // The pulse and the sweep start together, so the captured pulse's first
    // frame is where the sweep starts in the capture.
    const SyncPeak syncPeak = FindPeak(syncIn, kSyncLength);
    const std::int64_t syncOffset = syncPeak.index - syncOutPeak;
    const std::int64_t sweepStart = kLeadIn + syncOffset;
    const std::int64_t damaging = CountDamagingFaults(report, sweepStart);
    if (damaging > 0) {
        std::printf(
            "Warning: %lld dropout(s) in the measured signal (playback underrun, "
            "capture overrun or short transfer): repeat the measurement.\n",
            static_cast<long long>(damaging));
    }

    std::fputs(SyncLevelLine(syncPeak.returnLevel).c_str(), stdout);
    std::printf("Sync Out = %i \t Sync In = %i samples\n", static_cast<int>(syncOutPeak),
                static_cast<int>(syncPeak.index));
    if (sweepStart < 0) {
        std::puts(
            "The sync pulse was not found on input 2: check the cable from output 2 to "
            "input 2. Nothing was analyzed or saved.");
        return RunOutcome::Completed;
    }

    std::puts("Analyzing data...");
    const AnalysisResult analysis = Analyze(frameCount, settings.bandCount, trackSpan, micSpan,
                                            syncOffset, plan.lowerEdges, plan.upperEdges, kLeadIn);
    // The exponential sweep is deconvolved over the whole range it covers.
    const Take take{sweepSpan,
                    micSpan,
                    kLeadIn,
                    sweepStart,
                    exponential ? logSweep.low : settings.startFrequency,
                    exponential ? logSweep.high : endFrequency,
                    kSampleRate};
    ReportTake(settings, plan, take, analysis.returnLevel, frameCount - 2 * kLeadIn, runTime,
               exponential ? &logSweep : nullptr, endFrequency);
    return RunOutcome::Completed;
}
