// Times each stage of one default measurement's signal path (10 s sweep,
// 528000 frames at 48000 Hz, 31 bands at Q 4 from 18 Hz to 16175 Hz) and
// reports it per frame the stage handles, plus the whole path per run frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "analysis/disturbance.h"
#include "analysis/evaluation.h"
#include "analysis/transfer.h"
#include "samples/packing.h"
#include "signal/sweep.h"
#include "signal/sync_pulse.h"

namespace {

constexpr std::int64_t kFrames = 528000;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::int32_t kSyncLength = 40384;
constexpr std::int32_t kBands = 31;

// Buffers of one run, filled once so every stage has realistic input.
struct Run {
    std::vector<std::int64_t> syncOut = std::vector<std::int64_t>(kSyncLength);
    std::vector<std::int64_t> syncIn = std::vector<std::int64_t>(kSyncLength);
    std::vector<std::int64_t> sweep = std::vector<std::int64_t>(kFrames);
    std::vector<std::int64_t> mic = std::vector<std::int64_t>(kFrames);
    std::vector<std::int8_t> bytes = std::vector<std::int8_t>(6 * kFrames);
    std::vector<double> lower;
    std::vector<double> upper;

    Run() {
        double x = 18.0;
        for (int i = 0; i < kBands; ++i) {
            lower.push_back(x);
            x = std::trunc(x + x / 4.0);
            upper.push_back(x);
        }
        MakePulse(syncOut, 48000, kSyncLength, kLeadIn);
        MakeSweep(48000, sweep, 18.0, upper.back(), kFrames, 0.5, kLeadIn);
        NUM24_TO_CHAR(sweep, bytes, kFrames);
        NUM24_TO_CHAR(syncOut, std::span(bytes).subspan(3 * kFrames), kSyncLength);
        CHAR_TO_NUM32(bytes, mic, 3, kFrames);
        CHAR_TO_NUM32(std::span<const std::int8_t>(bytes).subspan(3 * kFrames), syncIn, 3,
                      kSyncLength);
    }
};

Run& TheRun() {
    static Run run;
    return run;
}

void PerFrame(benchmark::State& state, std::int64_t frames) {
    state.counters["per_frame"] = benchmark::Counter(
        static_cast<double>(frames),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_MakePulse(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        benchmark::DoNotOptimize(MakePulse(run.syncOut, 48000, kSyncLength, kLeadIn));
        benchmark::ClobberMemory();
    }
    PerFrame(state, kSyncLength);
}

void BM_MakeSweep(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        MakeSweep(48000, run.sweep, 18.0, run.upper.back(), kFrames, 0.5, kLeadIn);
        benchmark::ClobberMemory();
    }
    PerFrame(state, kFrames);
}

void BM_Pack(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        NUM24_TO_CHAR(run.sweep, run.bytes, kFrames);
        benchmark::ClobberMemory();
    }
    PerFrame(state, kFrames);
}

void BM_Unpack(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        CHAR_TO_NUM32(run.bytes, run.mic, 3, kFrames);
        benchmark::ClobberMemory();
    }
    PerFrame(state, kFrames);
}

void BM_PeakIndex(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        benchmark::DoNotOptimize(PeakIndex(run.syncIn, kSyncLength));
    }
    PerFrame(state, kSyncLength);
}

void BM_FindPeak(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindPeak(run.syncIn, kSyncLength));
    }
    PerFrame(state, kSyncLength);
}

Take TakeOf(const Run& run) {
    return Take{run.sweep, run.mic, kLeadIn, kLeadIn, 18.0, run.upper.back(), 48000.0};
}

// What the evaluation is asked for a default run.
TakePlan PlanOf(const Run& run) {
    TakePlan plan;
    plan.lowerEdges = run.lower;
    plan.upperEdges = run.upper;
    plan.lowFrequency = 18.0;
    plan.highFrequency = run.upper.back();
    plan.sweepFrames = kFrames - 2 * kLeadIn;
    return plan;
}

// The whole evaluation of a take: transfer function, checks, impulse
// response, response points and acoustics.
void BM_Evaluate(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) benchmark::DoNotOptimize(EvaluateTake(TakeOf(run), PlanOf(run)));
    PerFrame(state, kFrames);
}

// The deconvolution alone: both transforms and the division.
void BM_Deconvolution(benchmark::State& state) {
    Run& run = TheRun();
    const Take take = TakeOf(run);
    for (auto _ : state) {
        TransferFunction h = ComputeTransfer(take);
        benchmark::DoNotOptimize(h.bins.data());
    }
    PerFrame(state, kFrames);
}

// The check for a disturbed take on a transfer function already computed:
// the model's two transforms and the inverse of the residual.
void BM_DisturbanceCheck(benchmark::State& state) {
    Run& run = TheRun();
    const Take take = TakeOf(run);
    const Waveform response = ImpulseResponseOf(ComputeTransfer(take));
    for (auto _ : state) {
        const DisturbanceCheck check = CheckDisturbance(take, response);
        benchmark::DoNotOptimize(check.excessDb);
    }
    PerFrame(state, kFrames);
}

// Everything the transfer function gives a run: deconvolution, the check for
// a disturbed take, band levels, impulse response and its cut, delay,
// 1/96-octave points, signal checks.
void TransferChain(const Run& run) {
    const Take take = TakeOf(run);
    const TransferFunction h = ComputeTransfer(take);
    benchmark::DoNotOptimize(BandLevels(h, run.lower, run.upper).data());
    {
        const Waveform response = ImpulseResponseOf(h);
        benchmark::DoNotOptimize(CheckDisturbance(take, response).excessDb);
        const Delay delay = FindDelay(response, 48000.0);
        benchmark::DoNotOptimize(
            CutImpulseResponse(response, 48000.0, delay.samples, 0.01, 1.0).samples.data());
    }
    benchmark::DoNotOptimize(SmoothedResponse(h, 96).data());
    benchmark::DoNotOptimize(CheckSignal(run.mic, kLeadIn, kFrames - 2 * kLeadIn).snrDb);
}

void BM_TransferChain(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        TransferChain(run);
        benchmark::ClobberMemory();
    }
    PerFrame(state, kFrames);
}

// A field of /proc/self/status in bytes, or -1.
long long StatusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoll(line.substr(field.size() + 1)) * 1024;
        }
    }
    return -1;
}

// Peak memory the transfer chain adds to a run, from the process's peak
// resident size (reset just before) against its size before the chain.
void ReportTransferMemory() {
    const Run& run = TheRun();
    const long long before = StatusBytes("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";
    TransferChain(run);
    const long long peak = StatusBytes("VmHWM");
    if (before < 0 || peak < 0) {
        std::cerr << "transfer chain peak memory: not measurable here\n";
        return;
    }
    std::cerr << "transfer chain peak memory beyond the run's buffers: " << (peak - before)
              << " bytes, " << static_cast<double>(peak - before) / kFrames << " bytes per frame ("
              << kFrames << " frames)\n";
}

// Everything one run does with its samples, per frame of the run: packing
// and unpacking cover both channels' blocks as the run uses them.
void BM_WholePath(benchmark::State& state) {
    Run& run = TheRun();
    const std::span<std::int8_t> channel2 = std::span(run.bytes).subspan(3 * kFrames);
    for (auto _ : state) {
        const std::int64_t played = MakePulse(run.syncOut, 48000, kSyncLength, kLeadIn);
        NUM24_TO_CHAR(run.syncOut, channel2, kSyncLength);
        MakeSweep(48000, run.sweep, 18.0, run.upper.back(), kFrames, 0.5, kLeadIn);
        NUM24_TO_CHAR(run.sweep, run.bytes, kFrames);
        CHAR_TO_NUM32(run.bytes, run.mic, 3, kFrames);
        CHAR_TO_NUM32(channel2, run.syncIn, 3, kSyncLength);
        const std::int64_t captured = FindPeak(run.syncIn, kSyncLength).index;
        Take take = TakeOf(run);
        take.capturedSweepStart = kLeadIn + captured - played;
        benchmark::DoNotOptimize(EvaluateTake(take, PlanOf(run)));
    }
    PerFrame(state, kFrames);
}

}  // namespace

BENCHMARK(BM_MakePulse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MakeSweep)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unpack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakIndex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindPeak)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Evaluate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholePath)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Deconvolution)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransferChain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisturbanceCheck)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ReportTransferMemory();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
