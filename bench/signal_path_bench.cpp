// Times each stage of one default measurement's signal path (10 s sweep,
// 528000 frames at 48000 Hz, 31 bands at Q 4 from 18 Hz to 16175 Hz) and
// reports it per frame the stage handles, plus the whole path per run frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/analyze.h"
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
    std::vector<double> track = std::vector<double>(kFrames);
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
        MakeSweep(48000, sweep, track, 18.0, upper.back(), kFrames, 0.5, kLeadIn);
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
        MakeSweep(48000, run.sweep, run.track, 18.0, run.upper.back(), kFrames, 0.5, kLeadIn);
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

void BM_Analyze(benchmark::State& state) {
    Run& run = TheRun();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Analyze(kFrames, kBands, run.track, run.mic, 0, run.lower, run.upper, kLeadIn));
    }
    PerFrame(state, kFrames);
}

// Everything one run does with its samples, per frame of the run: packing
// and unpacking cover both channels' blocks as the run uses them.
void BM_WholePath(benchmark::State& state) {
    Run& run = TheRun();
    const std::span<std::int8_t> channel2 = std::span(run.bytes).subspan(3 * kFrames);
    for (auto _ : state) {
        const std::int64_t played = MakePulse(run.syncOut, 48000, kSyncLength, kLeadIn);
        NUM24_TO_CHAR(run.syncOut, channel2, kSyncLength);
        MakeSweep(48000, run.sweep, run.track, 18.0, run.upper.back(), kFrames, 0.5, kLeadIn);
        NUM24_TO_CHAR(run.sweep, run.bytes, kFrames);
        CHAR_TO_NUM32(run.bytes, run.mic, 3, kFrames);
        CHAR_TO_NUM32(channel2, run.syncIn, 3, kSyncLength);
        const std::int64_t captured = FindPeak(run.syncIn, kSyncLength).index;
        benchmark::DoNotOptimize(Analyze(kFrames, kBands, run.track, run.mic, captured - played,
                                         run.lower, run.upper, kLeadIn));
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
BENCHMARK(BM_Analyze)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholePath)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
