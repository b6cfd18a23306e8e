#pragma once

// The simulated rig's shared numbers: the default interface latency, the
// typical room, which the plugin offers as the preset `room typical` (the
// rig_room and rig_live devices), and the living room (`room living`), which
// tests use to compute the rooms' responses. The rooms are defined here only.

#include <cmath>
#include <cstdint>
#include <vector>

#include "signal/biquad.h"

// The rig's filters are the cookbook biquads: type, frequency in Hz, gain in
// dB (used by peaking and the shelves), quality factor Q.
using RigFilterType = BiquadType;
using RigFilter = BiquadSpec;

// Frames from a played sample to the captured one on the cable (channel 2).
constexpr int rigDefaultLatency = 300;

// The typical room: acoustic delay in frames, gain in dB, noise level in
// dBFS (RMS), and its filters: a high-pass near 35 Hz, two low-frequency
// modes and a treble roll-off. The gain keeps the loudest mode (+8 dB) of a
// sweep at -6 dBFS below full scale, as a microphone a few metres from the
// loudspeaker would.
constexpr int rigRoomDelay = 420;
constexpr double rigRoomGain = -6.0;
constexpr double rigRoomNoise = -90.0;
constexpr RigFilter rigRoomFilters[] = {
    {RigFilterType::highpass, 35.0, 0.0, 0.707},
    {RigFilterType::peaking, 52.0, 8.0, 5.0},
    {RigFilterType::peaking, 118.0, 6.0, 4.0},
    {RigFilterType::highshelf, 8000.0, -6.0, 0.707},
};

// The living room: the typical room's delay, noise and filters, with the
// reverberation of a furnished living room convolved in (the preset `room
// living`, the rig_living and rig_living_live devices). Its impulse response
// at rigLivingRate is the direct sound (1 at tap 0), the early reflections
// below (delay after the direct sound in samples, amplitude) and from
// rigLivingTailStart on a diffuse tail: white noise whose level falls by 60 dB
// in rigLivingRt60 seconds, rigLivingTailDb below the direct sound's level at
// its start (as RMS), up to rigLivingLength samples. The gain is 8 dB lower
// than the typical room's, since the reflections add up with the direct sound
// at low frequencies.
constexpr int rigLivingRate = 48000;
constexpr double rigLivingGain = rigRoomGain - 8.0;
constexpr double rigLivingRt60 = 0.45;  // s, every octave alike
struct RigReflection {
    int delay;  // samples after the direct sound
    double amplitude;
};
constexpr RigReflection rigLivingReflections[] = {
    {163, 0.50},  // 3.4 ms: the floor
    {298, 0.40},  // 6.2 ms: the ceiling
    {451, 0.32},  // 9.4 ms: a side wall
    {634, 0.25},  // 13.2 ms: the wall behind the listener
};
constexpr int rigLivingTailStart = 720;  // 15 ms
constexpr double rigLivingTailDb = -28.0;
constexpr int rigLivingLength = 28800;  // 0.6 s: the tail 80 dB down at its end
constexpr std::uint64_t rigLivingSeed = 0x5eed1d1e5ULL;

// The living room's impulse response, the same on every call.
inline std::vector<double> RigLivingResponse() {
    std::vector<double> ir(rigLivingLength, 0.0);
    ir[0] = 1.0;
    for (const RigReflection& r : rigLivingReflections) ir[r.delay] += r.amplitude;
    // xorshift64*: uniform in [-1, 1), whose RMS is 1/sqrt(3).
    std::uint64_t state = rigLivingSeed;
    const double start = std::sqrt(3.0) * std::pow(10.0, rigLivingTailDb / 20.0);
    const double perSample = std::log(1000.0) / (rigLivingRt60 * rigLivingRate);
    for (int n = rigLivingTailStart; n < rigLivingLength; ++n) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t bits = (state * 0x2545F4914F6CDD1DULL) >> 11;
        const double uniform = static_cast<double>(bits) / 4503599627370496.0 - 1.0;  // 2^52
        ir[static_cast<std::size_t>(n)] +=
            start * uniform * std::exp(-perSample * (n - rigLivingTailStart));
    }
    return ir;
}
