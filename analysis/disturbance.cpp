#include "analysis/disturbance.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/spectrum.h"
#include "samples/packing.h"
#include "signal/taper.h"

namespace {

// The model's impulse response: from a little before time zero (the
// band-limited ringing ahead of the direct sound) to the room's decay after
// the direct sound, with short fades at both ends.
constexpr double kModelLeadSeconds = 0.02;
constexpr double kModelTailSeconds = 2.5;
constexpr double kModelFadeSeconds = 0.01;
// Kept clear at the lead-in's ends: the edges of the capture and the model's
// ringing ahead of the sweep.
constexpr double kNoiseMarginSeconds = 0.01;
// The onset of a disturbance is the first block within this much of the
// worst.
constexpr double kOnsetBelowWorstDb = 15.0;
// Hz kept clear above the swept range's start, beyond twice the start.
constexpr double kEdgeClearance = 100.0;

double PowerDb(double power) {
    return 10.0 * std::log10(power / (kFullScale * kFullScale));
}

// 1 inside the model's stretch [begin, end] of times (samples from time
// zero), fading to 0 over fade samples at both ends.
double ModelWeight(std::int64_t time, std::int64_t begin, std::int64_t end, std::int64_t fade) {
    if (time < begin || time > end) return 0.0;
    const auto edge = static_cast<double>(std::min(time - begin, end - time));
    if (fade <= 0 || edge >= static_cast<double>(fade)) return 1.0;
    return RaisedCosine(edge, static_cast<double>(fade));
}

// The residual is looked at inside the swept range, away from its edges:
// there the measured response is cut off steeply, and its long ringing
// before time zero lies outside the model. The weight rises and falls as a
// raised cosine over a band of frequencies, so the residual's own ringing
// in time stays short.
struct Band {
    double riseBegin = 0.0;
    double riseEnd = 0.0;
    double fallBegin = 0.0;
    double fallEnd = 0.0;
};

Band BandOf(double start, double end) {
    Band band;
    band.riseBegin = 2.0 * start + kEdgeClearance;
    band.riseEnd = 2.0 * band.riseBegin;
    band.fallEnd = end - 2.0 * kEdgeClearance;
    band.fallBegin = band.fallEnd - 5.0 * kEdgeClearance;
    return band;
}

double BandWeight(const Band& band, double frequency) {
    if (!(frequency > band.riseBegin) || !(frequency < band.fallEnd)) return 0.0;
    if (frequency < band.riseEnd) {
        const double phase = (frequency - band.riseBegin) / (band.riseEnd - band.riseBegin);
        return RaisedCosine(phase);
    }
    if (frequency > band.fallBegin) {
        const double phase = (band.fallEnd - frequency) / (band.fallEnd - band.fallBegin);
        return RaisedCosine(phase);
    }
    return 1.0;
}

}  // namespace

DisturbanceCheck CheckDisturbance(const Take& take, std::span<const double> response) {
    DisturbanceCheck check;
    const auto frames = static_cast<std::int64_t>(take.played.size());
    const auto capturedFrames = static_cast<std::int64_t>(take.captured.size());
    const auto size = static_cast<std::int64_t>(response.size());
    if (size < frames || size < 2 || size > kLongestTransform || !(take.rate > 0.0) ||
        !std::isfinite(take.rate) || frames == 0 || take.playedSweepStart < 0 ||
        take.playedSweepStart >= frames || !(take.startFrequency < take.endFrequency)) {
        return check;
    }
    // Residual sample n lines up with played frame n and captured frame
    // n + offset; a take whose capture lies wholly elsewhere is not checked.
    std::int64_t offset = 0;
    if (__builtin_sub_overflow(take.capturedSweepStart, take.playedSweepStart, &offset) ||
        offset <= -frames || offset >= capturedFrames) {
        return check;
    }
    std::int64_t sweepEnd = frames;
    while (sweepEnd > take.playedSweepStart &&
           take.played[static_cast<std::size_t>(sweepEnd - 1)] == 0) {
        --sweepEnd;
    }
    // The sweep as far as the capture holds it.
    const std::int64_t sweepBegin = std::max(take.playedSweepStart, -offset);
    sweepEnd = std::min(sweepEnd, capturedFrames - offset);
    const auto block = static_cast<std::int64_t>(std::ceil(kDisturbanceBlockSeconds * take.rate));
    const Band band = BandOf(take.startFrequency, take.endFrequency);
    if (sweepEnd - sweepBegin < block || !(band.riseBegin < band.fallEnd)) return check;

    const auto binCount = static_cast<std::size_t>(size / 2 + 1);
    Spectrum model;
    Spectrum played;
    {
        // What the windowed model leaves out of the response: the residual
        // is the played signal through it (inside the swept range, where
        // the played signal through H is the capture).
        const Delay delay = FindDelay(response, take.rate);
        const auto seconds = [&take](double value) {
            return static_cast<std::int64_t>(std::ceil(value * take.rate));
        };
        const std::int64_t half = size / 2;
        const std::int64_t begin = std::max(-seconds(kModelLeadSeconds), 1 - half);
        const std::int64_t end = std::clamp(
            static_cast<std::int64_t>(std::max(delay.samples, 0.0)) + seconds(kModelTailSeconds),
            std::int64_t{0}, half - 1);
        const std::int64_t fade = seconds(kModelFadeSeconds);
        try {
            model.resize(binCount);
            played.resize(binCount);
        } catch (const std::bad_alloc&) {
            return check;
        }
        double* left = RealView(model);
        for (std::int64_t n = 0; n < size; ++n) {
            const std::int64_t time = n <= half ? n : n - size;
            left[n] =
                response[static_cast<std::size_t>(n)] * (1.0 - ModelWeight(time, begin, end, fade));
        }
    }
    double* x = RealView(played);
    for (std::int64_t n = 0; n < frames; ++n) {
        x[n] = static_cast<double>(take.played[static_cast<std::size_t>(n)]);
    }
    {
        auto forward = ForwardTransform::Design(size, RealView(model), model.data());
        if (!forward) return check;
        forward.value().Run();
        // Same length, in place, same alignment (both from the transform
        // memory).
        forward.value().Run(x, played.data());
    }

    const double spacing = take.rate / static_cast<double>(size);
    const double scale = 1.0 / static_cast<double>(size);
    for (std::size_t k = 0; k < binCount; ++k) {
        const double weight = BandWeight(band, spacing * static_cast<double>(k));
        played[k] = weight > 0.0 ? played[k] * model[k] * (weight * scale) : 0.0;
    }
    model = Spectrum();
    {
        auto inverse = InverseTransform::Design(size, played.data(), x);
        if (!inverse) return check;
        inverse.value().Run();
    }
    const double* residual = x;

    const auto meanSquare = [](const double* values, std::int64_t begin, std::int64_t end) {
        double sum = 0.0;
        for (std::int64_t n = begin; n < end; ++n) sum += values[n] * values[n];
        return sum / static_cast<double>(end - begin);
    };
    // The lead-in: the residual there is the input's noise alone.
    const auto margin = static_cast<std::int64_t>(std::ceil(kNoiseMarginSeconds * take.rate));
    const std::int64_t noiseBegin = std::max<std::int64_t>(0, -offset) + margin;
    const std::int64_t noiseEnd = take.playedSweepStart - margin;
    const double noise =
        noiseEnd - noiseBegin >= block ? meanSquare(residual, noiseBegin, noiseEnd) : 0.0;
    // The capture's level during the sweep.
    double level = 0.0;
    for (std::int64_t n = sweepBegin; n < sweepEnd; ++n) {
        const auto value = static_cast<double>(take.captured[static_cast<std::size_t>(n + offset)]);
        level += value * value;
    }
    level /= static_cast<double>(sweepEnd - sweepBegin);
    const double floor = level * std::pow(10.0, -kDisturbanceFloorDb / 10.0);
    const double reference = std::max(noise, floor);
    check.noiseDb = noise > 0.0 ? PowerDb(noise) : -std::numeric_limits<double>::infinity();
    check.floorDb = floor > 0.0 ? PowerDb(floor) : -std::numeric_limits<double>::infinity();
    if (!(reference > 0.0)) return check;  // nothing came back

    // Half-overlapping blocks: a short event falls whole into one of them.
    const std::int64_t hop = std::max<std::int64_t>(block / 2, 1);
    std::vector<double> residuals;
    std::vector<double> captures;
    for (std::int64_t begin = sweepBegin; begin + block <= sweepEnd; begin += hop) {
        residuals.push_back(meanSquare(residual, begin, begin + block));
        double power = 0.0;
        for (std::int64_t n = begin; n < begin + block; ++n) {
            const auto value =
                static_cast<double>(take.captured[static_cast<std::size_t>(n + offset)]);
            power += value * value;
        }
        captures.push_back(power / static_cast<double>(block));
    }
    // What the model leaves of each block's capture, as a fraction. A
    // loudspeaker's harmonics leave a share that rises and falls smoothly
    // with the sweep (and steps where a harmonic leaves the band); a lost or
    // repeated block leaves a share far above the blocks on both sides. So
    // each block is held to the largest share of its neighbours, the blocks
    // next to it left out.
    const auto count = static_cast<std::ptrdiff_t>(residuals.size());
    std::vector<double> shares(residuals.size());
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        shares[i] = captures[i] > 0.0 ? residuals[i] / captures[i] : 0.0;
    }
    const auto largestOf = [&shares, count](std::ptrdiff_t from, std::ptrdiff_t to) {
        from = std::max<std::ptrdiff_t>(from, 0);
        to = std::min(to, count);
        if (from >= to) return -1.0;  // no block on that side
        return *std::max_element(shares.begin() + from, shares.begin() + to);
    };
    const double largestShare = std::pow(10.0, -kDisturbanceShareDb / 10.0);
    const double limit = std::pow(10.0, kDisturbanceLimitDb / 10.0);
    std::vector<double> excesses(residuals.size());
    double worst = 0.0;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const double before = largestOf(i - kDisturbanceNeighbours, i - kDisturbanceGap + 1);
        const double after = largestOf(i + kDisturbanceGap, i + kDisturbanceNeighbours + 1);
        const double share = std::min(std::max({before, after, 0.0}), largestShare);
        excesses[i] = residuals[i] / std::max(reference, captures[i] * share);
        worst = std::max(worst, excesses[i]);
    }
    check.disturbed = worst > limit;
    if (check.disturbed) {
        // The event's onset: the first block that comes near the worst (the
        // model's ringing spreads a little of it ahead), at its middle.
        const double onset = std::max(limit, worst * std::pow(10.0, -kOnsetBelowWorstDb / 10.0));
        std::size_t first = 0;
        while (first + 1 < excesses.size() && excesses[first] < onset) ++first;
        const auto begin = sweepBegin + static_cast<std::int64_t>(first) * hop;
        check.seconds =
            (static_cast<double>(begin + offset) + 0.5 * static_cast<double>(block)) / take.rate;
    }
    check.excessDb =
        worst > 0.0 ? 10.0 * std::log10(worst) : -std::numeric_limits<double>::infinity();
    check.known = true;
    return check;
}
