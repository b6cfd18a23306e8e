#pragma once

// The rig's loop: what one device name plays comes back on its capture.
// Channel 2 returns after `latency` frames (the cable); channel 1 passes the
// room (gain, biquads, impulse response) and returns after latency + delay
// frames, plus noise. Nothing here knows ALSA; rig_plugin.cpp drives it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rig/rig_convolver.h"
#include "rig/room.h"
#include "signal/biquad.h"

// Limits of the configuration fields, checked when a device is opened.
constexpr long rigMaxLatency = 1L << 20;  // frames, for latency and for delay
constexpr unsigned rigMinRate = 1000;
constexpr unsigned rigMaxRate = 768000;
constexpr std::size_t rigMaxIrLength = 480000;  // taps: 10 s at 48000 Hz

// The room and cable of one device, as configured.
struct RigRoom {
    long latency = rigDefaultLatency;
    long delay = 0;
    double gainDb = 0.0;
    // A memoryless nonlinearity ahead of the room on channel 1:
    // y = x + distortion2 * x^2 + distortion3 * x^3, x in full-scale units.
    double distortion2 = 0.0;
    double distortion3 = 0.0;
    std::vector<RigFilter> filters;
    std::vector<double> ir;  // empty: no impulse response
    int irRate = 0;          // the response's sample rate, Hz
    std::string irPath;
    bool noise = false;
    double noiseDb = 0.0;  // RMS level in dBFS of the white noise
    std::uint64_t seed = 1;
    bool cable = true;
};

// One biquad with its transposed direct form II state.
struct RigBiquad {
    BiquadCoefficients c;
    double z1 = 0, z2 = 0;
};

struct RigLoop {
    std::mutex lock;
    std::string name;
    RigRoom room;
    bool realtime = false;
    bool hasPlayback = false;
    bool hasCapture = false;
    unsigned rate = 0;          // 0 until a stream installs its parameters
    std::int64_t originNs = 0;  // CLOCK_MONOTONIC time of loop frame 0

    // Room state.
    double gain = 1.0;
    std::vector<RigBiquad> chain;
    std::unique_ptr<RigConvolver> convolver;  // null: no impulse response
    std::vector<double> scratch;              // one chunk of channel 1 in the room
    double noiseAmp = 0.0;

    // Played history, indexed by loop frame modulo its size (a power of two):
    // channel 1 after the room, channel 2 as played. Frames [head - size, head)
    // are held; anything else reads as silence.
    std::vector<double> wet;
    std::vector<double> dry;
    std::int64_t head = 0;
};

// Finds or creates the loop of `name` and registers one stream on it. The
// room and the mode are taken from the first opener. Returns null with
// *err = -EBUSY when that direction is already open on this loop.
RigLoop* rigLoopAcquire(const std::string& name, const RigRoom& room, bool realtime, bool playback,
                        int* err);
void rigLoopRelease(RigLoop* loop, bool playback);

// Designs the room for `rate`. Returns -EINVAL if the other open stream runs
// at another rate or a filter's frequency is not below rate / 2.
int rigLoopSetRate(RigLoop& loop, unsigned rate);

// Frames of the loop clock elapsed at CLOCK_MONOTONIC time nowNs.
std::int64_t rigLoopFrameAt(const RigLoop& loop, std::int64_t nowNs);
// CLOCK_MONOTONIC time at which loop frame `frame` begins.
std::int64_t rigLoopTimeOf(const RigLoop& loop, std::int64_t frame);
std::int64_t rigNowNs();

// With loop.lock held: plays `count` frames from loop frame `pos` on
// (frames before head are the past and are dropped; a gap before them is
// played as silence); ch2 may be null for silence on channel 2. Allocates
// nothing.
void rigLoopPlay(RigLoop& loop, std::int64_t pos, const double* ch1, const double* ch2,
                 std::size_t count);
// With loop.lock held: reads one captured frame at loop frame `pos`.
void rigLoopCapture(const RigLoop& loop, std::int64_t pos, double* ch1, double* ch2);

// Reads the first channel of any audio file libsndfile reads, scaled to full
// scale 1, and its sample rate. False with a reason in *why when the file is
// unreadable, empty, longer than rigMaxIrLength frames or holds a sample that
// is not a finite number.
bool rigReadIr(const char* path, std::vector<double>& out, int* rate, std::string* why);
