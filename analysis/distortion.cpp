#include "analysis/distortion.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "analysis/spectrum.h"
#include "signal/taper.h"

namespace {

constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

// The windows fill this share of the gap between the 5th and the 6th
// harmonic, the narrowest gap they have to keep apart (the 6th and above
// are not reported, but a nonlinearity makes them all the same).
constexpr double kWindowShare = 0.9;
constexpr std::int64_t kShortestWindow = 64;
// A window resolves a 1/12-octave step (0.058 f wide at f) when it holds
// this many cycles of f.
constexpr double kCyclesPerWindow = 24.0;
constexpr int kMostPointsPerOctave = 1000;
// Far more than any audible range needs at the finest step.
constexpr double kMostPoints = 100000.0;

bool PositiveFinite(double value) {
    return std::isfinite(value) && value > 0.0;
}

// The window: a half-cosine rise over `rise` samples, flat, and a
// half-cosine fall over the last `fall` samples.
double WindowAt(std::int64_t i, std::int64_t length, std::int64_t rise, std::int64_t fall) {
    if (i < rise) {
        return RaisedCosine(static_cast<double>(i), static_cast<double>(rise));
    }
    if (i >= length - fall) {
        return RaisedCosine(static_cast<double>(length - i), static_cast<double>(fall));
    }
    return 1.0;
}

// Mean of power over the bins with frequency in [low, high], or the bin
// nearest centre when none lies there.
double MeanPowerWithin(const std::vector<double>& power, double spacing, double centre, double low,
                       double high) {
    const auto last = static_cast<double>(power.size() - 1);
    const double first = std::ceil(low / spacing);
    const double end = std::floor(high / spacing);
    if (first <= end && first <= last && end >= 0.0) {
        const auto from = static_cast<std::size_t>(std::max(first, 0.0));
        const auto to = static_cast<std::size_t>(std::min(end, last));
        double sum = 0.0;
        for (std::size_t m = from; m <= to; ++m) sum += power[m];
        return sum / static_cast<double>(to - from + 1);
    }
    const double nearest = std::clamp(std::round(centre / spacing), 0.0, last);
    return power[static_cast<std::size_t>(nearest)];
}

// The taper at the ends of the sweep's range: the regularised division ends
// H abruptly there, and the ringing of that edge in time, decaying only as
// 1 / t, would reach the harmonics' windows. A raised cosine over the
// lowest three quarters of an octave and the highest twelfth (in the
// logarithm of frequency) rings out within milliseconds at the top and well
// within the first harmonic's gap at the bottom.
constexpr double kLowTaperOctaves = 0.75;
constexpr double kHighTaperOctaves = 1.0 / 12.0;

double TaperAt(double frequency, const SweepShape& sweep) {
    if (!(frequency > sweep.lowFrequency) || !(frequency < sweep.highFrequency)) return 0.0;
    const double fromLow = std::log2(frequency / sweep.lowFrequency) / kLowTaperOctaves;
    const double fromHigh = std::log2(sweep.highFrequency / frequency) / kHighTaperOctaves;
    const double share = std::min({fromLow, fromHigh, 1.0});
    return RaisedCosine(share);
}

// The impulse response of H times the taper, in circular order (index 0 =
// time zero), or empty when H is not usable or the memory is not there.
Waveform TaperedResponse(const TransferFunction& h, const SweepShape& sweep) {
    const bool usable =
        h.status == TransferStatus::Ok && h.size > 1 && h.size <= kLongestTransform &&
        h.bins.size() == static_cast<std::size_t>(h.size / 2 + 1) && PositiveFinite(h.rate);
    if (!usable) return {};
    return ImpulseResponseOf(h, [&sweep](double frequency) { return TaperAt(frequency, sweep); });
}

// The power spectra of the linear response and each harmonic's, cut out
// with windows `window` samples long; empty spectra when the memory or the
// transform is not there.
HarmonicWindow TransformWindows(std::span<const double> response, double delaySamples,
                                double growth, std::int64_t window, double rate) {
    HarmonicWindow level;
    const auto size = static_cast<std::int64_t>(response.size());
    const std::int64_t lead = window / 4;
    const std::int64_t rise = std::max<std::int64_t>(lead / 2, 1);
    const std::int64_t fall = window / 4;
    const std::int64_t length = FastTransformLength(2 * window, kLongestTransform);
    if (length == 0) return level;
    const auto binCount = static_cast<std::size_t>(length / 2 + 1);

    Waveform segment;
    Spectrum transformed;
    try {
        segment.resize(static_cast<std::size_t>(length));
        transformed.resize(binCount);
        for (auto& power : level.power) power.resize(binCount);
    } catch (const std::bad_alloc&) {
        return HarmonicWindow{};
    }
    auto transform = ForwardTransform::Design(length, segment.data(), transformed.data());
    if (!transform) return HarmonicWindow{};

    for (int k = 1; k <= kHighestHarmonic; ++k) {
        // |delaySamples| and the offset are below size / 2 (checked by the
        // caller), so the start fits the integers and wraps once at most.
        const double own = delaySamples - growth * std::log(static_cast<double>(k));
        const auto start = static_cast<std::int64_t>(std::floor(own)) - lead;
        std::fill(segment.begin(), segment.end(), 0.0);
        for (std::int64_t i = 0; i < window; ++i) {
            const std::int64_t n = ((start + i) % size + size) % size;
            segment[static_cast<std::size_t>(i)] =
                response[static_cast<std::size_t>(n)] * WindowAt(i, window, rise, fall);
        }
        transform.value().Run();
        std::vector<double>& power = level.power[static_cast<std::size_t>(k - 1)];
        for (std::size_t m = 0; m < binCount; ++m) power[m] = std::norm(transformed[m]);
    }
    level.binSpacing = rate / static_cast<double>(length);
    level.windowFrames = window;
    return level;
}

// The noise a window of the response carries. The capture's noise reaches H
// as N(f) G(f), G = X* / (|X|^2 + eps) the division by the sweep: in time,
// the noise through the filter g, whose part at each frequency is the noise
// captured while the sweep passed that frequency (for the k-th harmonic's
// window at k f, while it passed f), so every window lies where the noise is
// present at its full density, sigma^2(f) |G(f)|^2 per sample (sigma^2 the
// noise's own density). noisePower holds that over the take's frames,
// frames sigma^2 |G|^2 per bin. A window w over a noise of that density has,
// in each bin of its own transform of whatever length L, the expected power
// sum(w^2) sigma^2 |G|^2 = sum(w^2) T^2 noisePower / frames (T the taper on
// H; the noise's spectrum smooth over the window's resolution): L only sets
// which frequency a bin stands for.
//
// noisePower comes from one short lead-in: a single estimate per
// rate / lead-in Hz, each as uncertain as it is large. Where the sweep is at
// full level |X|^2 falls as 1 / f, so noisePower / f follows the lead-in's
// own spectrum; that is averaged over a band of at least kNoiseBandHz (and
// a sixth of an octave), which holds enough independent estimates to place
// the noise within some 20 %, then turned back by f.
constexpr double kNoiseBandHz = 64.0;
constexpr double kNoiseBandOctaves = 1.0 / 6.0;

// The take's frames; a transfer function that does not say holds no
// padding.
double TakeFramesOf(const TransferFunction& h) {
    return static_cast<double>(h.frames > 0 && h.frames <= h.size ? h.frames : h.size);
}

// Running sums of noisePower / (frames f) over the bins of H (index m: the
// sum over the bins below m); empty without a noise estimate or the memory
// for it.
std::vector<double> NoiseSums(const TransferFunction& h) {
    std::vector<double> sums;
    if (h.noisePower.size() != h.bins.size()) return sums;
    try {
        sums.resize(h.noisePower.size() + 1);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const double spacing = h.BinSpacing();
    const double frames = TakeFramesOf(h);
    for (std::size_t m = 1; m < h.noisePower.size(); ++m) {
        sums[m + 1] = sums[m] + h.noisePower[m] / (frames * spacing * static_cast<double>(m));
    }
    return sums;
}

// The expected noise in each bin of a window's spectra (the window as
// TransformWindows cuts it), from NoiseSums over H's bins of spacing
// hSpacing, averaged inside [low, high], the sweep's full-level range; empty
// when sums is.
std::vector<double> WindowNoise(const std::vector<double>& sums, double hSpacing,
                                const HarmonicWindow& level, const SweepShape& sweep, double low,
                                double high) {
    std::vector<double> noise;
    if (sums.size() < 3 || level.power[0].empty() || !(low < high)) return noise;
    const std::int64_t window = level.windowFrames;
    const std::int64_t rise = std::max<std::int64_t>(window / 4 / 2, 1);
    const std::int64_t fall = window / 4;
    double energy = 0.0;
    for (std::int64_t i = 0; i < window; ++i) {
        const double w = WindowAt(i, window, rise, fall);
        energy += w * w;
    }
    try {
        noise.resize(level.power[0].size());
    } catch (const std::bad_alloc&) {
        return {};
    }
    const auto last = static_cast<double>(sums.size() - 2);
    const double halfBand = std::exp2(0.5 * kNoiseBandOctaves);
    for (std::size_t m = 1; m < noise.size(); ++m) {
        const double f = level.binSpacing * static_cast<double>(m);
        const double centre = std::clamp(f, low, high);
        const double bandLow =
            std::max(std::min(centre / halfBand, centre - 0.5 * kNoiseBandHz), low);
        const double bandHigh =
            std::min(std::max(centre * halfBand, centre + 0.5 * kNoiseBandHz), high);
        const double from = std::clamp(std::ceil(bandLow / hSpacing), 1.0, last);
        const double to = std::clamp(std::floor(bandHigh / hSpacing), from, last);
        const auto a = static_cast<std::size_t>(from);
        const auto b = static_cast<std::size_t>(to);
        const double taper = TaperAt(f, sweep);
        noise[m] =
            energy * taper * taper * f * (sums[b + 1] - sums[a]) / static_cast<double>(b - a + 1);
    }
    return noise;
}

}  // namespace

HarmonicSpectra ExtractHarmonics(const TransferFunction& h, double delaySamples,
                                 const SweepShape& sweep) {
    HarmonicSpectra spectra;
    if (!PositiveFinite(sweep.rateConstant) || !PositiveFinite(sweep.lowFrequency) ||
        !std::isfinite(sweep.highFrequency) || !(sweep.highFrequency > sweep.lowFrequency) ||
        !std::isfinite(delaySamples)) {
        return spectra;
    }
    const Waveform response = TaperedResponse(h, sweep);
    if (response.empty()) return spectra;
    const double rate = h.rate;
    const auto size = static_cast<std::int64_t>(response.size());
    // Time constant of the sweep in samples; the harmonic k lies
    // growth * ln(k) ahead of the linear response.
    const double growth = sweep.rateConstant * rate;
    const double windowValue =
        std::floor(kWindowShare * growth *
                   std::log(static_cast<double>(kHighestHarmonic + 1) / kHighestHarmonic));
    // The earliest window must stay in the half of the response that holds
    // negative times, clear of the linear response's decay.
    const double earliest = growth * std::log(kHighestHarmonic + 1.0) + std::fabs(delaySamples);
    if (!(windowValue >= static_cast<double>(kShortestWindow)) ||
        !(earliest + windowValue < static_cast<double>(size / 2))) {
        return spectra;
    }
    // Windows halving in length down to the shortest: each frequency takes
    // the shortest that still resolves its smoothing step, so the noise
    // that falls into a window stays small where the harmonics are short.
    spectra.rate = rate;
    spectra.lowFrequency = sweep.lowFrequency * std::exp2(kLowTaperOctaves);
    spectra.highFrequency =
        std::min(sweep.highFrequency * std::exp2(-kHighTaperOctaves), rate / 2.0);
    const std::vector<double> noiseSums = NoiseSums(h);
    for (auto window = static_cast<std::int64_t>(windowValue); window >= kShortestWindow;
         window /= 2) {
        HarmonicWindow level = TransformWindows(response, delaySamples, growth, window, rate);
        if (level.power[0].empty()) return HarmonicSpectra{};
        level.noise = WindowNoise(noiseSums, h.BinSpacing(), level, sweep, spectra.lowFrequency,
                                  spectra.highFrequency);
        spectra.windows.push_back(std::move(level));
    }
    return spectra;
}

DistortionPoint DistortionAt(const HarmonicSpectra& spectra, double frequency,
                             int pointsPerOctave) {
    DistortionPoint point;
    point.frequency = frequency;
    point.thdPercent = kNotMeasured;
    point.harmonicPercent.fill(kNotMeasured);
    if (spectra.empty() || pointsPerOctave < 1 || pointsPerOctave > kMostPointsPerOctave ||
        !PositiveFinite(frequency) || frequency < spectra.lowFrequency ||
        frequency > spectra.highFrequency) {
        return point;
    }
    // The shortest window that holds kCyclesPerWindow cycles of the
    // fundamental, or the longest there is.
    const HarmonicWindow* level = &spectra.windows.front();
    for (const HarmonicWindow& shorter : spectra.windows) {
        if (static_cast<double>(shorter.windowFrames) * frequency >=
            kCyclesPerWindow * spectra.rate) {
            level = &shorter;
        }
    }
    for (const auto& power : level->power) {
        if (power.empty() || power.size() != level->power[0].size()) return point;
    }
    const bool haveNoise = level->noise.size() == level->power[0].size();
    const double halfStep = std::exp2(0.5 / pointsPerOctave);
    const auto meanAround = [&spectra, level, halfStep](const std::vector<double>& power,
                                                        double centre) {
        return MeanPowerWithin(power, level->binSpacing, centre,
                               std::max(centre / halfStep, spectra.lowFrequency),
                               std::min(centre * halfStep, spectra.highFrequency));
    };
    const double fundamental = meanAround(level->power[0], frequency);
    if (!(fundamental > 0.0) || !std::isfinite(fundamental)) return point;
    double sum = 0.0;
    bool any = false;
    bool anyBelowNoise = false;
    double limitSum = 0.0;
    for (int k = 2; k <= kHighestHarmonic; ++k) {
        const double harmonicFrequency = k * frequency;
        if (harmonicFrequency > spectra.highFrequency) break;
        const auto index = static_cast<std::size_t>(k - 2);
        const double power = meanAround(level->power[index + 1], harmonicFrequency);
        if (haveNoise) {
            const double threshold = kNoiseMargin * meanAround(level->noise, harmonicFrequency);
            point.harmonicLimitPercent[index] = 100.0 * std::sqrt(threshold / fundamental);
            limitSum += threshold;
            if (power < threshold) {
                point.belowNoise[index] = true;
                anyBelowNoise = true;
                continue;
            }
        }
        point.harmonicPercent[index] = 100.0 * std::sqrt(power / fundamental);
        sum += power;
        any = true;
    }
    if (any) point.thdPercent = 100.0 * std::sqrt(sum / fundamental);
    point.thdBelowNoise = !any && anyBelowNoise;
    if (haveNoise && (any || anyBelowNoise)) {
        point.noiseLimitPercent = 100.0 * std::sqrt(limitSum / fundamental);
    }
    return point;
}

std::vector<DistortionPoint> DistortionCurve(const HarmonicSpectra& spectra, double low,
                                             double high, int pointsPerOctave) {
    std::vector<DistortionPoint> points;
    if (spectra.empty() || !PositiveFinite(low) || !PositiveFinite(high) || !(low <= high) ||
        pointsPerOctave < 1 || pointsPerOctave > kMostPointsPerOctave) {
        return points;
    }
    const double steps = std::floor(std::log2(high / low) * pointsPerOctave + 1e-9);
    if (!(steps <= kMostPoints)) return points;
    const auto count = static_cast<std::int64_t>(steps) + 1;
    points.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        const double frequency = low * std::exp2(static_cast<double>(i) / pointsPerOctave);
        points.push_back(DistortionAt(spectra, frequency, pointsPerOctave));
    }
    return points;
}
