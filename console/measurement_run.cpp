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

#include "analysis/analyze.h"
#include "console/live_meter.h"
#include "console/run_report.h"
#include "console/take_report.h"
#include "samples/packing.h"
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
    Outcome<OpenedDevice, DeviceFailure> opened =
        OpenDuplex(settings.deviceName.c_str(), 2, kSampleRate);
    if (opened ? opened.value().periodDiffers : opened.reason().periodDiffers) {
        std::puts("Driver did not return requested period size.");
    }
    if (!opened) {
        PrintDeviceFailure(opened.reason());
        return opened.reason().stage == SetupStage::Channels ? RunOutcome::Refused
                                                             : RunOutcome::DeviceFailed;
    }
    OpenedDevice& setup = opened.value();

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
    {
        // The live line, on a terminal only; gone before the next line.
        LiveMeter meter(stdout, isatty(STDOUT_FILENO) == 1, kSampleRate);
        PLAY_REC(setup.device, kSampleRate, frameCount, playSpan, recordSpan, kBytesPerSample,
                 blockBytes, report, [&meter](const ChunkLevels& levels) { meter.Update(levels); });
    }
    std::fputs(TransferProblemLine(report).c_str(), stdout);
    if (report.refusal != TransferRefusal::None) return RunOutcome::Refused;
    // A device that stopped responding leaves a void take: back to the loop.
    if (report.stall != TransferStall::None) return RunOutcome::Completed;

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
