#pragma once

#include <cstdint>
#include <span>

#include "analysis/band_plan.h"
#include "audio/play_rec.h"
#include "console/settings.h"

class PositionSession;

// Sizes of the sync region and the lead-in ahead of both test signals.
constexpr std::int64_t kSyncLength = 40384;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::uint32_t kSampleRate = 48000;

// Longest run: the bytes of one channel block stay within 2147483647.
constexpr std::int64_t kMaxFrameCount = 2147483647 / 3;

// Memory a run takes at its peak, per frame: its signals, the packed
// buffers both ways and what the evaluation of the take holds at once (the
// transforms and FFTW's plans), as measurement_run_bench measures it, with
// a margin. A run is refused when the system cannot hand out that much.
constexpr std::uint64_t kRunBytesPerFrame = 104;

enum class RunOutcome {
    Refused,        // refused before anything was played (one line said why)
    DeviceRefused,  // the device refused the run's channels or its start: back to the loop
    Completed,      // played and recorded, a clean take; the loop waits for the operator's "c"
    Flawed,         // played, but disturbed, clipped, too low, with a dropout, without the
                    // sync pulse or void
    DeviceFailed,   // the device could not be opened or configured: the program ends
};

// Lets the process keep the memory of one run for the next instead of
// handing it back to the system after every run: touching fresh memory
// costs more than the analysis itself on some machines. Called once, before
// the first run.
void KeepRunMemory();

// One measurement with the settings and band plan of the current pass. A
// session (--average) is offered every take that was played and recorded.
RunOutcome RunMeasurement(const TestSettings& settings, const BandPlan& plan, double endFrequency,
                          std::span<std::int64_t> syncOut, std::span<std::int64_t> syncIn,
                          PositionSession* session = nullptr);

// How many transfer faults lost frames that matter: a playback fault whose
// lost frames do not all lie before the lead-in's end (where the pulse and the
// sweep begin), or a capture fault whose lost frames do not all lie before
// capturedPulseStart, the captured pulse's first frame. Before those points
// the pulse itself measures the alignment of what follows. Faults past the
// report's capacity count as damaging.
std::int64_t CountDamagingFaults(const TransferReport& report, std::int64_t capturedPulseStart);
