#pragma once

// The simulated rig's shared numbers: the default interface latency and the
// typical room, which the plugin offers as the preset `room typical` (the
// rig_room and rig_live devices) and which tests use to compute the room's
// response. The room is defined here only.

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
