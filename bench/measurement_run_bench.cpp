// One whole default measurement on the instant simulated rig: how long the
// program works outside the device, and how much memory the run takes.
//
// The run's own work (synthesis, packing, unpacking, pulse search, analysis,
// append) is the whole run's time less the time of the transfer alone, timed
// on buffers of the same size on the same device.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/band_plan.h"
#include "audio/play_rec.h"
#include "console/measurement_run.h"
#include "console/settings.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Sends standard output to /dev/null while it lives: the run's console
// text is not what is measured here.
struct Quiet {
    int saved = -1;
    Quiet() {
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~Quiet() {
        std::fflush(stdout);
        if (saved >= 0) {
            dup2(saved, STDOUT_FILENO);
            close(saved);
        }
    }
};

}  // namespace

int main() {
    KeepRunMemory();  // as the program does
    setenv("ALSA_CONFIG_PATH", RIG_CONFIG, 1);
    char dir[] = "/tmp/zembrak_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;

    TestSettings settings;
    settings.deviceName = "rig";
    BandPlan plan;
    const double endFrequency = FindHighFreq(
        settings.q, settings.bandCount, settings.startFrequency, plan.lowerEdges, plan.upperEdges);
    std::vector<std::int64_t> syncOut(kSyncLength), syncIn(kSyncLength);
    const std::int64_t frames =
        static_cast<std::int64_t>(kSampleRate * settings.sweepLength) + kSampleRate;

    constexpr int kRounds = 5;
    double bestRun = 1e9, bestTransfer = 1e9, firstRun = 0;
    long baseKb = 0, runPeakKb = 0;
    {  // the runs, with their console text silenced
        const Quiet quiet;
        // Warm up alsa-lib's configuration and the rig's loop once.
        {
            std::vector<std::int8_t> play(6 * 2048), record(6 * 2048);
            TransferReport report;
            Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex("rig", 2, kSampleRate);
            DuplexDevice device;
            if (opened) device = std::move(opened.value().device);
            PLAY_REC(device, kSampleRate, 2048, play, record, 3, 3 * 2048, report);
        }
        baseKb = PeakKilobytes();
        for (int round = 0; round < kRounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            RunMeasurement(settings, plan, endFrequency, syncOut, syncIn);
            const double seconds = Seconds(std::chrono::steady_clock::now() - start);
            bestRun = std::min(bestRun, seconds);
            if (round == 0) runPeakKb = PeakKilobytes(), firstRun = seconds;
        }
        for (int round = 0; round < kRounds; ++round) {
            std::vector<std::int8_t> play(static_cast<std::size_t>(6 * frames));
            std::vector<std::int8_t> record(static_cast<std::size_t>(6 * frames));
            TransferReport report;
            const auto start = std::chrono::steady_clock::now();
            Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex("rig", 2, kSampleRate);
            DuplexDevice device;
            if (opened) device = std::move(opened.value().device);
            PLAY_REC(device, kSampleRate, frames, play, record, 3, 3 * frames, report);
            bestTransfer =
                std::min(bestTransfer, Seconds(std::chrono::steady_clock::now() - start));
        }
    }
    std::remove("sweep_out.txt");
    if (chdir("/") == 0) rmdir(dir);

    const double played = static_cast<double>(frames) / kSampleRate;
    const double outside = bestRun - bestTransfer;
    std::printf("default run: %lld frames, %.1f s of sound\n", static_cast<long long>(frames),
                played);
    std::printf("whole run on the instant rig: %.1f ms (best of %d)\n", bestRun * 1e3, kRounds);
    std::printf("the first run of the process:  %.1f ms (its memory still untouched)\n",
                firstRun * 1e3);
    std::printf("transfer alone:               %.1f ms\n", bestTransfer * 1e3);
    std::printf("outside the device:           %.1f ms = %.3f %% of the %.1f s played\n",
                outside * 1e3, 100.0 * outside / played, played);
    std::printf("peak memory: %ld kB before, %ld kB after the first run: %.1f bytes per frame\n",
                baseKb, runPeakKb,
                1024.0 * static_cast<double>(runPeakKb - baseKb) / static_cast<double>(frames));
    std::printf("the memory check before a run asks for %llu bytes per frame\n",
                static_cast<unsigned long long>(kRunBytesPerFrame));
    return 0;
}
