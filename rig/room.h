#pragma once

// The simulated rig's shared numbers: the default interface latency and the
// typical room of the rig_room and rig_live devices.
//
// rig/CMakeLists.txt reads this file when it writes rig.conf, and tests use it
// to compute the room's response, so the room is defined here only. Keep one
// value per `constexpr` line and one filter per line of rigRoomFilters, in the
// form {RigFilterType::kind, freq, gain, q},

enum class RigFilterType { peaking, lowshelf, highshelf, highpass, lowpass };

// One RBJ-cookbook biquad: frequency in Hz, gain in dB (used by peaking and
// the shelves), quality factor Q.
struct RigFilter {
    RigFilterType type;
    double freq;
    double gain;
    double q;
};

// Frames from a played sample to the captured one on the cable (channel 2).
constexpr int rigDefaultLatency = 300;

// The typical room: acoustic delay in frames, noise level in dBFS (RMS), and
// its filters: a high-pass near 35 Hz, two low-frequency modes and a treble
// roll-off.
constexpr int rigRoomDelay = 420;
constexpr double rigRoomNoise = -90.0;
constexpr RigFilter rigRoomFilters[] = {
    {RigFilterType::highpass, 35.0, 0.0, 0.707},
    {RigFilterType::peaking, 52.0, 8.0, 5.0},
    {RigFilterType::peaking, 118.0, 6.0, 4.0},
    {RigFilterType::highshelf, 8000.0, -6.0, 0.707},
};
