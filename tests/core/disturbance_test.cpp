#include "analysis/disturbance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "signal/sweep.h"

namespace {

constexpr double kRate = 48000.0;
constexpr std::int64_t kLeadIn = 24000;
constexpr std::int64_t kFrames = 4 * 48000;  // 0.5 s, a 3 s sweep, 0.5 s
constexpr std::int64_t kLatency = 300;       // the capture lags the playback
constexpr std::int64_t kBlock = 1024;

// A room of a few reflections, as a finite impulse response (delay, gain).
struct Tap {
    std::int64_t delay;
    double gain;
};
constexpr Tap kRoom[] = {{40, 0.5}, {95, -0.2}, {700, 0.12}, {3100, -0.05}};

// burst: half a second of noise at -12 dBFS, a door slamming louder than the
// sweep comes back (about -15 dBFS).
enum class Fault { none, zeroed, cut, repeated, burst };

struct Case {
    const char* name;
    double noiseDbfs;
    Fault fault;
    std::int64_t faultFrame;  // in the capture
    double cubic = 0.0;       // a memoryless third-order distortion (see Record)
    // Where the sweep ends. A harmonic above half the rate would fold back
    // into the band here, which an interface's anti-alias filter prevents:
    // the strongly distorted takes end their sweep low enough.
    double endFrequency = 20000.0;
};

struct Recording {
    std::vector<std::int64_t> played;
    std::vector<std::int64_t> captured;
};

// The sweep through the room and the input's noise, the capture then
// damaged the way a lossy path damages it.
Recording Record(const Case& c) {
    Recording r;
    r.played.resize(kFrames);
    MakeSweep(48000, r.played, 20.0, c.endFrequency, kFrames, 0.5, kLeadIn);
    std::vector<double> room(kFrames, 0.0);
    for (std::int64_t n = 0; n < kFrames; ++n) {
        for (const Tap& tap : kRoom) {
            if (n >= tap.delay) room[n] += tap.gain * static_cast<double>(r.played[n - tap.delay]);
        }
    }
    // y = s (1 + cubic (s / F)^2): a sine of amplitude A gets a third
    // harmonic of cubic A^3 / (4 F^2), 1 % of A at A = F / 4 for cubic 0.64.
    // The room's gain reaches 0.87 (its taps' magnitudes added), so the
    // sweep, at F / 2, reaches A = 0.435 F: 10 % there for cubic 2.1.
    std::vector<double> signal(kFrames, 0.0);
    for (std::int64_t n = kLatency; n < kFrames; ++n) {
        const double s = room[n - kLatency] / 8388608.0;
        signal[n] = room[n - kLatency] * (1.0 + c.cubic * s * s);
    }
    if (c.fault == Fault::cut) {
        signal.erase(signal.begin() + c.faultFrame, signal.begin() + c.faultFrame + kBlock);
        signal.resize(kFrames, 0.0);
    } else if (c.fault == Fault::repeated) {
        std::vector<double> again(signal.begin() + c.faultFrame - kBlock,
                                  signal.begin() + c.faultFrame);
        signal.insert(signal.begin() + c.faultFrame, again.begin(), again.end());
        signal.resize(kFrames);
    } else if (c.fault == Fault::zeroed) {
        std::fill(signal.begin() + c.faultFrame, signal.begin() + c.faultFrame + kBlock, 0.0);
    } else if (c.fault == Fault::burst) {
        std::mt19937 slam(5);
        std::normal_distribution<double> loud(0.0, 8388608.0 * 0.25);
        for (std::int64_t n = c.faultFrame; n < c.faultFrame + 24000; ++n) signal[n] += loud(slam);
    }
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, 8388608.0 * std::pow(10.0, c.noiseDbfs / 20.0));
    r.captured.resize(kFrames);
    for (std::int64_t n = 0; n < kFrames; ++n) {
        r.captured[n] = std::llround(signal[n] + noise(random));
    }
    return r;
}

Take TakeOf(const Recording& r, double endFrequency = 20000.0) {
    return Take{r.played, r.captured, kLeadIn, kLeadIn + kLatency, 20.0, endFrequency, kRate};
}

TEST(Disturbance, FaultsAreFoundWhereTheyHappenAndCleanTakesPass) {
    const Case cases[] = {
        {"clean -100 dBFS", -100, Fault::none, 0},
        {"clean -80 dBFS", -80, Fault::none, 0},
        {"clean -60 dBFS", -60, Fault::none, 0},
        {"clean -50 dBFS", -50, Fault::none, 0},
        {"clean -30 dBFS", -30, Fault::none, 0},
        {"clean, 1 % third harmonic", -100, Fault::none, 0, 0.64},
        {"clean, up to 10 % third harmonic", -100, Fault::none, 0, 2.1, 7000.0},
        {"clean, up to 20 % third harmonic", -80, Fault::none, 0, 4.2, 7000.0},
        {"zeroed block, -100 dBFS", -100, Fault::zeroed, 60000},
        {"zeroed block, -50 dBFS", -50, Fault::zeroed, 150000},
        {"cut block, -80 dBFS", -80, Fault::cut, 100000},
        {"cut block, -50 dBFS", -50, Fault::cut, 40000},
        {"repeated block, -100 dBFS", -100, Fault::repeated, 120000},
        {"repeated block, -50 dBFS", -50, Fault::repeated, 160000},
        {"zeroed block, up to 10 % third harmonic", -80, Fault::zeroed, 100000, 2.1, 7000.0},
        {"cut block, up to 20 % third harmonic", -100, Fault::cut, 50000, 4.2, 7000.0},
        {"repeated block, up to 20 % third harmonic", -80, Fault::repeated, 140000, 4.2, 7000.0},
        {"half a second of noise, -80 dBFS", -80, Fault::burst, 90000},
        {"half a second of noise, up to 20 % third harmonic", -80, Fault::burst, 110000, 4.2,
         7000.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Recording r = Record(c);
        const Take take = TakeOf(r, c.endFrequency);
        const TransferFunction h = ComputeTransfer(take);
        ASSERT_EQ(h.status, TransferStatus::Ok);
        const DisturbanceCheck check = CheckDisturbance(take, ImpulseResponseOf(h));
        ASSERT_TRUE(check.known);
        if (c.fault == Fault::none) {
            EXPECT_FALSE(check.disturbed) << "excess " << check.excessDb << " dB";
            EXPECT_LT(check.excessDb, kDisturbanceLimitDb);
        } else {
            EXPECT_TRUE(check.disturbed) << "excess " << check.excessDb << " dB";
            EXPECT_GT(check.excessDb, kDisturbanceLimitDb);
            // The first block over the limit holds the fault's start.
            const double faultSeconds = static_cast<double>(c.faultFrame) / kRate;
            EXPECT_NEAR(check.seconds, faultSeconds, 0.06);
        }
    }
}

// The lead-in's noise is the reference: its level comes back from the
// residual within a decibel; without noise the floor under the sweep's level
// is the reference instead.
TEST(Disturbance, TheReferenceIsTheLeadInsNoiseOrTheFloor) {
    for (const double noiseDbfs : {-90.0, -60.0, -40.0}) {
        SCOPED_TRACE(noiseDbfs);
        const Recording r = Record({"clean", noiseDbfs, Fault::none, 0});
        const Take take = TakeOf(r);
        const DisturbanceCheck check =
            CheckDisturbance(take, ImpulseResponseOf(ComputeTransfer(take)));
        ASSERT_TRUE(check.known);
        // White noise keeps the band's share of its power: the band runs
        // from 240 Hz to 19.8 kHz of the 24 kHz.
        const double share = 10.0 * std::log10((19800.0 - 240.0) / 24000.0);
        EXPECT_NEAR(check.noiseDb, noiseDbfs + share, 1.0);
    }
    // The sweep of amplitude 0.5 through the room: its mean power is the
    // sum of the taps' powers times the sine's 0.125 (the taps' delays are
    // far apart next to a sweep's period at most frequencies).
    double gains = 0.0;
    for (const Tap& tap : kRoom) gains += tap.gain * tap.gain;
    const double level = 10.0 * std::log10(0.125 * gains);
    const Recording r = Record({"quiet", -200, Fault::none, 0});
    const Take take = TakeOf(r);
    const DisturbanceCheck check = CheckDisturbance(take, ImpulseResponseOf(ComputeTransfer(take)));
    ASSERT_TRUE(check.known);
    EXPECT_NEAR(check.floorDb, level - kDisturbanceFloorDb, 0.5);
    EXPECT_FALSE(check.disturbed);
}

// Takes that cannot be checked say so instead of warning.
TEST(Disturbance, UncheckableTakesAreNotKnown) {
    const Recording r = Record({"clean", -80, Fault::none, 0});
    const Take take = TakeOf(r);
    const Waveform h = ImpulseResponseOf(ComputeTransfer(take));
    EXPECT_FALSE(CheckDisturbance(take, Waveform{}).known);
    Take empty = take;
    empty.played = {};
    EXPECT_FALSE(CheckDisturbance(empty, h).known);
    Take far = take;
    far.capturedSweepStart = std::numeric_limits<std::int64_t>::max();
    EXPECT_FALSE(CheckDisturbance(far, h).known);
    far.capturedSweepStart = std::numeric_limits<std::int64_t>::min();
    EXPECT_FALSE(CheckDisturbance(far, h).known);
    Take otherRate = take;
    otherRate.rate = std::nan("");
    EXPECT_FALSE(CheckDisturbance(otherRate, h).known);
    // A range too narrow to leave a band clear of its edges.
    Take narrow = take;
    narrow.startFrequency = 300.0;
    narrow.endFrequency = 400.0;
    EXPECT_FALSE(CheckDisturbance(narrow, h).known);
    // A capture said to begin before its lead-in: the response then lies
    // half a second after time zero, a delay the model holds, and only the
    // captured frames are read.
    Take early = take;
    early.capturedSweepStart = -5;
    const DisturbanceCheck delayed =
        CheckDisturbance(early, ImpulseResponseOf(ComputeTransfer(early)));
    EXPECT_TRUE(delayed.known);
    EXPECT_FALSE(delayed.disturbed) << delayed.excessDb;
    // A response shorter than the take.
    EXPECT_FALSE(CheckDisturbance(take, std::span(h).first(1000)).known);
    // Silence captured: no reference, nothing to compare.
    std::vector<std::int64_t> silence(r.captured.size(), 0);
    Take silent = take;
    silent.captured = silence;
    EXPECT_FALSE(CheckDisturbance(silent, h).disturbed);
}

}  // namespace
