#pragma once

// Rooms the core tests apply themselves, each with its response from its
// formula, and takes of a sweep through them.

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "analysis/transfer.h"
#include "signal/sweep.h"

namespace test_room {

constexpr double kRate = 48000.0;
constexpr std::int64_t kLeadIn = 24000;
constexpr double kPi = std::numbers::pi;

// A room as a filter the test applies itself: gain, a biquad, then sparse
// taps (delay in samples, amplitude); its response comes from its formula.
struct Room {
    double b[3] = {1.0, 0.0, 0.0};
    double a[3] = {1.0, 0.0, 0.0};
    std::vector<std::pair<int, double>> taps = {{0, 1.0}};

    std::complex<double> At(double frequency) const {
        const double w = 2.0 * kPi * frequency / kRate;
        const std::complex<double> z1 = std::polar(1.0, -w);
        const std::complex<double> z2 = z1 * z1;
        std::complex<double> fir = 0.0;
        for (const auto& [delay, amplitude] : taps) fir += amplitude * std::polar(1.0, -w * delay);
        return fir * (b[0] + b[1] * z1 + b[2] * z2) / (a[0] + a[1] * z1 + a[2] * z2);
    }
    double Power(double frequency) const { return std::norm(At(frequency)); }

    // Output for input x (direct form I, then the taps).
    std::vector<double> Apply(const std::vector<std::int64_t>& x) const {
        std::vector<double> filtered(x.size());
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (std::size_t n = 0; n < x.size(); ++n) {
            const auto x0 = static_cast<double>(x[n]);
            const double y0 = (b[0] * x0 + b[1] * x1 + b[2] * x2 - a[1] * y1 - a[2] * y2) / a[0];
            x2 = x1;
            x1 = x0;
            y2 = y1;
            y1 = y0;
            filtered[n] = y0;
        }
        std::vector<double> out(x.size(), 0.0);
        for (const auto& [delay, amplitude] : taps) {
            for (std::size_t n = static_cast<std::size_t>(delay); n < x.size(); ++n) {
                out[n] += amplitude * filtered[n - static_cast<std::size_t>(delay)];
            }
        }
        return out;
    }
};

inline Room Flat() {
    return Room{};
}

// Peaking equaliser (the audio-EQ cookbook formulas).
inline Room Peak(double frequency, double gainDb, double q, double gain) {
    Room room;
    const double big = std::pow(10.0, gainDb / 40.0);
    const double w = 2.0 * kPi * frequency / kRate;
    const double alpha = std::sin(w) / (2.0 * q);
    room.b[0] = 1.0 + alpha * big;
    room.b[1] = -2.0 * std::cos(w);
    room.b[2] = 1.0 - alpha * big;
    room.a[0] = 1.0 + alpha / big;
    room.a[1] = -2.0 * std::cos(w);
    room.a[2] = 1.0 - alpha / big;
    room.taps = {{0, gain}};
    return room;
}

// Second-order high-pass (cookbook), as a small loudspeaker's bass roll-off.
inline Room HighPass(double frequency, double q) {
    Room room;
    const double w = 2.0 * kPi * frequency / kRate;
    const double alpha = std::sin(w) / (2.0 * q);
    room.b[0] = (1.0 + std::cos(w)) / 2.0;
    room.b[1] = -(1.0 + std::cos(w));
    room.b[2] = (1.0 + std::cos(w)) / 2.0;
    room.a[0] = 1.0 + alpha;
    room.a[1] = -2.0 * std::cos(w);
    room.a[2] = 1.0 - alpha;
    return room;
}

// Direct sound after delay samples, then reflections decaying by 60 dB over
// 0.3 s (a reverberant room).
inline Room Reverberant(int delay, int reflections, unsigned seed) {
    Room room;
    room.taps = {{delay, 1.0}};
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> when(delay + 48, delay + 14400);
    std::uniform_real_distribution<double> sign(-1.0, 1.0);
    for (int i = 0; i < reflections; ++i) {
        const int t = when(random);
        const double decay = std::pow(10.0, -3.0 * (t - delay) / 14400.0);
        room.taps.emplace_back(t, 0.5 * decay * sign(random));
    }
    return room;
}

inline Room Delayed(Room room, int delay) {
    for (auto& tap : room.taps) tap.first += delay;
    return room;
}

struct Signals {
    std::vector<std::int64_t> played;
    std::vector<std::int64_t> captured;
    Take take;
};

// A take of a sweep lasting seconds, captured through the room; the capture
// starts syncOffset frames later than the playback (the loop's latency) and
// carries Gaussian noise of noiseDbfs RMS (none when -inf).
inline Signals MakeTake(double seconds, double start, double end, const Room& room,
                        std::int64_t syncOffset = 0,
                        double noiseDbfs = -std::numeric_limits<double>::infinity()) {
    Signals s;
    const auto frames = static_cast<std::int64_t>(seconds * kRate) + 48000;
    s.played.resize(static_cast<std::size_t>(frames));
    MakeSweep(48000, s.played, start, end, frames, 0.5, kLeadIn);
    const std::vector<double> out = room.Apply(s.played);
    s.captured.assign(static_cast<std::size_t>(frames), 0);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 8388608.0 * std::pow(10.0, noiseDbfs / 20.0));
    for (std::int64_t c = 0; c < frames; ++c) {
        const std::int64_t n = c - syncOffset;
        double value = n >= 0 && n < frames ? out[static_cast<std::size_t>(n)] : 0.0;
        if (std::isfinite(noiseDbfs)) value += noise(random);
        s.captured[static_cast<std::size_t>(c)] = static_cast<std::int64_t>(std::lround(value));
    }
    s.take = Take{s.played, s.captured, kLeadIn, kLeadIn + syncOffset, start, end, kRate};
    return s;
}

}  // namespace test_room
