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

#include "analysis/evaluation.h"
#include "base/outcome.h"
#include "console/calibration_file.h"
#include "console/correction_report.h"
#include "console/device_list.h"
#include "console/eq_files.h"
#include "console/live_meter.h"
#include "console/options.h"
#include "console/position_session.h"
#include "console/run_description.h"
#include "console/run_report.h"
#include "console/run_save.h"
#include "console/run_summary.h"
#include "samples/packing.h"
#include "signal/biquad.h"
#include "signal/log_sweep.h"
#include "signal/sweep.h"
#include "signal/sync_pulse.h"

namespace {

constexpr double kSweepAmplitude = 0.5;
constexpr int kBytesPerSample = 3;

// A zero-filled array, or null when the memory is not there.
template <typename T>
std::unique_ptr<T[]> Obtain(std::int64_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]());
}

// Why settings cannot be measured.
struct Refusal {
    enum class Kind {
        LengthNotFinite,
        LengthTooShort,
        LengthNotPositive,
        LengthTooLong,
        StartNotFinite,
        StartNotPositive,
        QNotPositive,
        NoBands,
        EndNotAboveStart,
        EndAboveHalfRate,
        SyncBuffers,
        ExponentialRange,
    };
    Kind kind;
};

// What the settings make of a run.
struct RunShape {
    std::int64_t frameCount = 0;  // the sweep's frames cut toward zero plus one second
    LogSweep logSweep;            // usable with the exponential sweep
    bool exponential = false;
    // The range the sweep covers, over which the take is deconvolved, and
    // the part of it the bands and files report: the exponential sweep
    // reaches beyond the bands, and is reported at most up to where it
    // fades.
    double sweptLow = 0.0;
    double sweptHigh = 0.0;
    double reportedHigh = 0.0;
};

// The run the settings ask for, or why it cannot be measured. Every value
// is checked before any conversion to integer.
Outcome<RunShape, Refusal> ShapeRun(const TestSettings& settings, double endFrequency,
                                    std::size_t syncOut, std::size_t syncIn) {
    using Kind = Refusal::Kind;
    if (!std::isfinite(settings.sweepLength)) return Fail(Refusal{Kind::LengthNotFinite});
    const double sweepFrames = kSampleRate * settings.sweepLength;
    if (sweepFrames <= static_cast<double>(kSyncLength - kSampleRate - 1)) {
        return Fail(Refusal{Kind::LengthTooShort});
    }
    if (sweepFrames >= static_cast<double>(kMaxFrameCount - kSampleRate + 1)) {
        return Fail(Refusal{Kind::LengthTooLong});
    }
    if (!(settings.sweepLength > 0.0)) return Fail(Refusal{Kind::LengthNotPositive});
    RunShape shape;
    shape.frameCount = static_cast<std::int64_t>(sweepFrames) + kSampleRate;
    if (!std::isfinite(settings.startFrequency)) return Fail(Refusal{Kind::StartNotFinite});
    // The exponential sweep's own line names both of its limits.
    const bool exponential = settings.sweep == SweepKind::Exponential;
    if (!(settings.startFrequency > 0.0)) {
        return Fail(Refusal{exponential ? Kind::ExponentialRange : Kind::StartNotPositive});
    }
    if (settings.bandCount <= 0) return Fail(Refusal{Kind::NoBands});
    // A Q of 0 or below (or NaN) makes every edge the start or beyond any
    // sample rate: no band has a width.
    if (!(settings.q > 0.0)) return Fail(Refusal{Kind::QNotPositive});
    if (!(endFrequency > settings.startFrequency)) {
        return Fail(Refusal{exponential ? Kind::ExponentialRange : Kind::EndNotAboveStart});
    }
    // Above half the sample rate the sweep would alias into the bands below.
    if (!(endFrequency <= kSampleRate / 2)) return Fail(Refusal{Kind::EndAboveHalfRate});
    if (syncOut < kSyncLength || syncIn < kSyncLength) return Fail(Refusal{Kind::SyncBuffers});
    shape.exponential = exponential;
    shape.sweptLow = settings.startFrequency;
    shape.sweptHigh = endFrequency;
    shape.reportedHigh = endFrequency;
    if (shape.exponential) {
        shape.logSweep = PlanLogSweep(settings.startFrequency, endFrequency, kSampleRate,
                                      shape.frameCount - 2 * kLeadIn);
        if (!shape.logSweep.usable) return Fail(Refusal{Kind::ExponentialRange});
        shape.sweptLow = shape.logSweep.low;
        shape.sweptHigh = shape.logSweep.high;
        shape.reportedHigh = std::min(endFrequency, shape.logSweep.FadeOutFrequency());
    }
    return shape;
}

void PrintRefusal(const Refusal& refusal, const TestSettings& settings, double endFrequency) {
    switch (refusal.kind) {
        case Refusal::Kind::LengthNotFinite:
            std::puts("The sweep length is not a finite number: nothing was measured.");
            return;
        case Refusal::Kind::LengthTooShort:
            std::printf(
                "A sweep length of %g s is too short: a run needs %lld frames at least. "
                "Nothing was measured.\n",
                settings.sweepLength, static_cast<long long>(kSyncLength));
            return;
        case Refusal::Kind::LengthNotPositive:
            std::printf("A sweep length of %g s is not above 0 s: nothing was measured.\n",
                        settings.sweepLength);
            return;
        case Refusal::Kind::LengthTooLong:
            std::printf(
                "A sweep length of %g s is too long: a run holds %lld frames at most. "
                "Nothing was measured.\n",
                settings.sweepLength, static_cast<long long>(kMaxFrameCount));
            return;
        case Refusal::Kind::StartNotFinite:
            std::puts("The start frequency is not a finite number: nothing was measured.");
            return;
        case Refusal::Kind::StartNotPositive:
            std::printf("A start frequency of %g Hz is not above 0 Hz: nothing was measured.\n",
                        settings.startFrequency);
            return;
        case Refusal::Kind::QNotPositive:
            std::printf("A Q of %g makes no band: the Q must be above 0. Nothing was measured.\n",
                        settings.q);
            return;
        case Refusal::Kind::NoBands:
            std::printf(
                "A band count of %d makes no band: a run needs 1 band at least. Nothing was "
                "measured.\n",
                settings.bandCount);
            return;
        case Refusal::Kind::EndNotAboveStart:
            std::printf(
                "The end frequency %.1f Hz is not above the start frequency %.1f Hz: nothing "
                "was measured.\n",
                endFrequency, settings.startFrequency);
            return;
        case Refusal::Kind::EndAboveHalfRate:
            std::printf(
                "The end frequency %.1f Hz is above %u Hz, half the sample rate: "
                "nothing was measured.\n",
                endFrequency, kSampleRate / 2);
            return;
        case Refusal::Kind::SyncBuffers:
            std::puts("The sync buffers are too short: nothing was measured.");
            return;
        case Refusal::Kind::ExponentialRange:
            std::puts(
                "An exponential sweep needs a start frequency above 0 Hz and below the end "
                "frequency: nothing was measured.");
            return;
    }
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

// With --json, the one line of a take that was not analyzed.
void PrintTakeSummaryLine(const TestSettings& settings, std::time_t when, const RunShape& shape,
                          const char* why) {
    if (settings.summaryLine == nullptr) return;
    const RunDescription run = DescribeRun(settings, when, shape.sweptLow, shape.sweptHigh);
    std::fprintf(settings.summaryLine, "%s\n", VoidTakeSummaryText(run, why).c_str());
    std::fflush(settings.summaryLine);
}

}  // namespace

void KeepRunMemory() {
    // Blocks up to this size come from the heap, and freed heap memory is
    // kept: a default run's buffers and transforms stay with the process.
    constexpr int kLargestKeptBlock = 256 << 20;
    mallopt(M_MMAP_THRESHOLD, kLargestKeptBlock);
    mallopt(M_TRIM_THRESHOLD, kLargestKeptBlock);
    // One heap for every thread, so that the evaluation's helper thread
    // reuses what the run freed instead of growing a heap of its own.
    mallopt(M_ARENA_MAX, 1);
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
                          std::span<std::int64_t> syncOut, std::span<std::int64_t> syncIn,
                          PositionSession* session) {
    const auto shaped = ShapeRun(settings, endFrequency, syncOut.size(), syncIn.size());
    if (!shaped) {
        PrintRefusal(shaped.reason(), settings, endFrequency);
        return RunOutcome::Refused;
    }
    const RunShape& shape = shaped.value();
    const std::int64_t frameCount = shape.frameCount;
    const std::int64_t blockBytes = frameCount * kBytesPerSample;
    const auto noMemory = [frameCount] {
        std::printf("Not enough memory for a run of %lld frames: nothing was measured.\n",
                    static_cast<long long>(frameCount));
        return RunOutcome::Refused;
    };
    if (static_cast<std::uint64_t>(frameCount) * kRunBytesPerFrame > AvailableMemory()) {
        return noMemory();
    }
    const int bands = std::clamp(settings.bandCount, 0, kMaxBands);
    if (settings.bandCount > kMaxBands) {
        std::printf("%d bands asked for: a run measures %d bands at most, the first %d.\n",
                    settings.bandCount, kMaxBands, kMaxBands);
    }
    const std::span<const double> lower(plan.lowerEdges, static_cast<std::size_t>(bands));
    const std::span<const double> upper(plan.upperEdges, static_cast<std::size_t>(bands));
    // A correction that cannot be designed on this sweep is known before
    // anything is played.
    std::optional<CorrectionPlan> correctionPlan;
    if (settings.correction != nullptr) {
        auto planned = PlanCorrection(*settings.correction, settings.startFrequency,
                                      shape.reportedHigh, lower, upper);
        if (!planned) {
            std::printf("%s: nothing was measured.\n", planned.reason().c_str());
            return RunOutcome::Refused;
        }
        correctionPlan = planned.value();
    }

    // The device is opened and configured before the run's buffers are
    // obtained and its signals made, so that a device that cannot run is
    // known at once.
    Outcome<OpenedDevice, DeviceFailure> opened =
        OpenDuplex(settings.deviceName.c_str(), 2, kSampleRate);
    if (opened ? opened.value().periodDiffers : opened.reason().periodDiffers) {
        std::puts("Driver did not return requested period size.");
    }
    if (!opened) {
        PrintDeviceFailure(opened.reason());
        // Which device that was, as typed, and where to find one that works.
        std::fputs(DeviceHintLine(settings.deviceName, opened.reason()).c_str(), stderr);
        std::fflush(stderr);
        return opened.reason().stage == SetupStage::Channels ? RunOutcome::DeviceRefused
                                                             : RunOutcome::DeviceFailed;
    }
    OpenedDevice& setup = opened.value();

    // What is played: the sync pulse on channel 2 and the sweep on channel
    // 1, both after the same lead-in.
    auto sweepSamples = Obtain<std::int64_t>(frameCount);
    auto micSamples = Obtain<std::int64_t>(frameCount);
    auto playBytes = Obtain<std::int8_t>(2 * blockBytes);
    auto recordBytes = Obtain<std::int8_t>(2 * blockBytes);
    if (!sweepSamples || !micSamples || !playBytes || !recordBytes) return noMemory();
    const auto frames = static_cast<std::size_t>(frameCount);
    const auto block = static_cast<std::size_t>(blockBytes);
    const std::span<std::int64_t> sweepSpan(sweepSamples.get(), frames);
    const std::span<std::int64_t> micSpan(micSamples.get(), frames);
    const std::span<std::int8_t> playSpan(playBytes.get(), 2 * block);
    const std::span<std::int8_t> recordSpan(recordBytes.get(), 2 * block);

    const std::int64_t syncOutPeak =
        MakePulse(syncOut, kSampleRate, static_cast<std::int32_t>(kSyncLength), kLeadIn);
    NUM24_TO_CHAR(syncOut, playSpan.subspan(block), kSyncLength);
    std::fill(syncIn.begin(), syncIn.end(), 0);
    // kSweepAmplitude is the default level; the sync pulse keeps its own.
    const double amplitude =
        kSweepAmplitude * std::pow(10.0, (settings.levelDb - kDefaultSweepLevelDb) / 20.0);
    if (shape.exponential) {
        MakeLogSweep(shape.logSweep, sweepSpan, frameCount, amplitude, kLeadIn);
    } else {
        MakeSweep(kSampleRate, sweepSpan, settings.startFrequency, endFrequency, frameCount,
                  amplitude, kLeadIn);
    }
    if (settings.appliedEq != nullptr) {
        // The sweep through the correction is played; the sweep itself
        // stays the reference of the deconvolution. The capture's buffer
        // holds the filtered sweep until the capture is unpacked into it.
        const Correction& eq = settings.appliedEq->correction;
        std::vector<BiquadCoefficients> sections;
        for (const PeakingFilter& filter : eq.filters) {
            if (const auto c = CorrectionBiquad(filter)) sections.push_back(*c);
        }
        const double peak = FilterSamples(sections, std::pow(10.0, eq.preampDb / 20.0), sweepSpan,
                                          micSpan, kFullScale - 1.0);
        if (peak > kFullScale - 1.0) {
            std::printf(
                "The correction in %s would make the sweep clip (its peak at %s dBFS): "
                "nothing was played. Lower its preamp.\n",
                Printable(settings.appliedEq->path).c_str(),
                FormatFixed(20.0 * std::log10(peak / kFullScale), 1).c_str());
            return RunOutcome::Refused;
        }
        NUM24_TO_CHAR(micSpan, playSpan.first(block), frameCount);
        std::fill(micSpan.begin(), micSpan.end(), 0);
    } else {
        NUM24_TO_CHAR(sweepSpan, playSpan.first(block), frameCount);
    }

    // The transfer.
    const std::time_t runTime = std::time(nullptr);
    std::puts("Running Test...");
    std::fflush(stdout);
    TransferReport report;
    {
        // The live line, on a terminal only; gone before the next line.
        LiveMeter meter(stdout, isatty(STDOUT_FILENO) == 1, kSampleRate);
        PLAY_REC(setup.device, kSampleRate, frameCount, playSpan, recordSpan, kBytesPerSample,
                 blockBytes, report, [&meter](const ChunkLevels& levels) { meter.Update(levels); });
    }
    std::fputs(TransferProblemLine(report).c_str(), stdout);
    if (report.refusal != TransferRefusal::None) return RunOutcome::DeviceRefused;
    // A device that stopped responding leaves a void take: back to the loop.
    if (report.stall != TransferStall::None) {
        if (session != nullptr) session->Skip("the device stopped responding");
        PrintTakeSummaryLine(settings, runTime, shape, "the device stopped responding");
        return RunOutcome::Flawed;
    }

    // The take: input 1, aligned by the pulse on input 2. The pulse and the
    // sweep start together, so the captured pulse's first frame is where
    // the sweep starts in the capture.
    CHAR_TO_NUM32(recordSpan.first(block), micSpan, kBytesPerSample, frameCount);
    CHAR_TO_NUM32(recordSpan.subspan(block), syncIn, kBytesPerSample, kSyncLength);
    const SyncPeak syncPeak = FindPeak(syncIn, kSyncLength);
    const std::int64_t sweepStart = kLeadIn + (syncPeak.index - syncOutPeak);
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
        if (session != nullptr) session->Skip("the sync pulse was not found");
        PrintTakeSummaryLine(settings, runTime, shape, "the sync pulse was not found");
        return RunOutcome::Flawed;
    }

    // The evaluation, then every line and every file of the run.
    std::puts("Analyzing data...");
    const Take take{sweepSpan,      micSpan,         kLeadIn,    sweepStart,
                    shape.sweptLow, shape.sweptHigh, kSampleRate};
    TakePlan takePlan;
    takePlan.lowerEdges = lower;
    takePlan.upperEdges = upper;
    takePlan.lowFrequency = settings.startFrequency;
    takePlan.highFrequency = shape.reportedHigh;
    takePlan.sweepFrames = frameCount - 2 * kLeadIn;
    if (shape.exponential) {
        takePlan.exponential =
            SweepShape{shape.logSweep.rateConstant, shape.logSweep.low, shape.logSweep.high};
    }
    if (settings.calibration != nullptr) takePlan.calibration = &settings.calibration->calibration;
    RunResult result = EvaluateTake(take, takePlan);
    if (correctionPlan && result.transfer == TransferStatus::Ok) {
        result.correction =
            DesignedCorrection{*correctionPlan, DesignCorrection(result.response, *correctionPlan)};
    }

    const RunDescription run = DescribeRun(settings, runTime, shape.sweptLow, shape.sweptHigh);
    const std::string table = ResultsText(result, lower, upper);
    if (settings.appliedEq != nullptr) {
        std::printf("%s; the results are the room's response through it.\n",
                    AppliedCorrectionLine(settings.appliedEq->path, settings.appliedEq->correction)
                        .c_str());
    }
    PrintRunResult(result, table);
    const TakeChecks checks{damaging, syncPeak.returnLevel, settings.summaryLine};
    const std::string base = SaveRun(run, result, lower, upper, table, checks);
    if (session != nullptr) session->Offer(run, base, result, damaging, lower, upper);
    return CleanTake(result, damaging) ? RunOutcome::Completed : RunOutcome::Flawed;
}
