#include "analysis/transfer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "samples/packing.h"

namespace {

// Regularisation relative to the mean |X|^2 over the swept range: inside
// it small enough to leave H exact to far below a hundredth of a dB, outside
// it large enough that H there falls towards zero instead of amplifying
// noise by the inverse of a vanishing excitation.
constexpr double kInsideRegularisation = 1e-8;
constexpr double kOutsideRegularisation = 1.0;

constexpr double kSpeedOfSound = 343.0;

// Room decay the transform leaves room for beyond the take: a reverberation
// time of 2 s falls by 90 dB in 3 s.
constexpr double kDecaySeconds = 3.0;

// The shortest lead-in whose noise is taken as the noise floor.
constexpr std::int64_t kShortestNoiseFrames = 1024;

double PowerOf(const std::complex<double>& value) {
    return std::norm(value);
}

// A transfer function whose bins and size agree (one built elsewhere may
// not), so every bin index below size / 2 is inside bins.
bool Usable(const TransferFunction& h) {
    return h.status == TransferStatus::Ok && h.size > 0 && h.size <= kLongestTransform &&
           h.bins.size() == static_cast<std::size_t>(h.size / 2 + 1) && h.rate > 0.0 &&
           std::isfinite(h.rate);
}

}  // namespace

TransferFunction ComputeTransfer(const Take& take) {
    TransferFunction result;
    result.rate = take.rate;
    result.startFrequency = take.startFrequency;
    result.endFrequency = take.endFrequency;
    const bool rangeUsable = std::isfinite(take.startFrequency) &&
                             std::isfinite(take.endFrequency) && take.startFrequency >= 0.0 &&
                             take.startFrequency < take.endFrequency;
    if (take.played.empty() || !std::isfinite(take.rate) || !(take.rate > 0.0) || !rangeUsable) {
        return result;
    }
    // kDecaySeconds of decay beyond the take, so the room's tail does not
    // wrap onto the times before the direct sound.
    const auto frames = static_cast<std::int64_t>(take.played.size());
    if (frames > kLongestTransform || take.rate > static_cast<double>(kLongestTransform)) {
        result.status = TransferStatus::TooLong;
        return result;
    }
    const std::int64_t size = FastTransformLength(
        frames + static_cast<std::int64_t>(std::ceil(take.rate * kDecaySeconds)),
        kLongestTransform);
    if (size == 0) {
        result.status = TransferStatus::TooLong;
        return result;
    }
    const auto binCount = static_cast<std::size_t>(size / 2 + 1);

    Spectrum x;
    Spectrum y;
    try {
        x.resize(binCount);
        y.resize(binCount);
    } catch (const std::bad_alloc&) {
        result.status = TransferStatus::NoMemory;
        return result;
    }

    // Played frame n lines up with captured frame n + offset; the offset
    // saturates so hostile starts only move the capture out of reach.
    std::int64_t offset = 0;
    if (__builtin_sub_overflow(take.capturedSweepStart, take.playedSweepStart, &offset)) {
        offset = take.capturedSweepStart < 0 ? std::numeric_limits<std::int64_t>::min()
                                             : std::numeric_limits<std::int64_t>::max();
    }
    const auto capturedFrames = static_cast<std::int64_t>(take.captured.size());
    double* xr = RealView(x);
    double* yr = RealView(y);
    for (std::int64_t n = 0; n < frames; ++n) {
        xr[n] = static_cast<double>(take.played[static_cast<std::size_t>(n)]);
        std::int64_t c = 0;
        const bool inside = !__builtin_add_overflow(n, offset, &c) && c >= 0 && c < capturedFrames;
        yr[n] = inside ? static_cast<double>(take.captured[static_cast<std::size_t>(c)]) : 0.0;
    }

    // The noise of input 1 before the sweep arrives (the capture ahead of
    // the loop-back reference), transformed the same way.
    const std::int64_t noiseFrames =
        std::clamp<std::int64_t>(take.capturedSweepStart, 0, std::min(capturedFrames, frames));
    Spectrum noise;
    {
        auto forward = ForwardTransform::Design(size, xr, x.data());
        if (!forward) {
            result.status = TransferStatus::TooLong;
            return result;
        }
        forward.value().Run();
        // Same size, in place, same alignment (all from the transform memory).
        forward.value().Run(yr, y.data());

        if (noiseFrames >= kShortestNoiseFrames) {
            try {
                noise.resize(binCount);
            } catch (const std::bad_alloc&) {
                noise = Spectrum();
            }
        }
        if (!noise.empty()) {
            double* nr = RealView(noise);
            for (std::int64_t n = 0; n < noiseFrames; ++n) {
                nr[n] = static_cast<double>(take.captured[static_cast<std::size_t>(n)]);
            }
            forward.value().Run(nr, noise.data());
        }
    }

    const double spacing = take.rate / static_cast<double>(size);
    const BinRange swept = BinsWithin(take.startFrequency, take.endFrequency, spacing, size / 2);
    if (swept.first > swept.last) {
        result.status = TransferStatus::NoResponse;
        return result;
    }
    const double reference = MeanPower(x, swept);
    if (!(reference > 0.0) || !std::isfinite(reference)) {
        result.status = TransferStatus::NoResponse;
        return result;
    }
    const double inside = kInsideRegularisation * reference;
    const double outside = kOutsideRegularisation * reference;
    // Noise as long as the take has the lead-in's spectrum times the
    // take's share of frames; through the same division it is what the
    // noise contributes to |H|^2.
    const double noiseScale =
        noise.empty() ? 0.0 : static_cast<double>(frames) / static_cast<double>(noiseFrames);
    if (!noise.empty()) result.noisePower.resize(binCount);
    for (std::size_t k = 0; k < binCount; ++k) {
        const auto bin = static_cast<std::int64_t>(k);
        const double epsilon = bin >= swept.first && bin <= swept.last ? inside : outside;
        const double denominator = PowerOf(x[k]) + epsilon;
        y[k] = y[k] * std::conj(x[k]) / denominator;
        if (!noise.empty()) {
            result.noisePower[k] =
                noiseScale * PowerOf(noise[k]) * PowerOf(x[k]) / (denominator * denominator);
        }
    }
    noise = Spectrum();
    x = Spectrum();  // give the memory back before the caller goes on

    result.bins = std::move(y);
    result.size = size;
    result.frames = frames;
    result.status = TransferStatus::Ok;
    return result;
}

std::vector<BandLevel> BandLevels(const TransferFunction& h, std::span<const double> lowerEdges,
                                  std::span<const double> upperEdges) {
    const std::size_t bands = std::min(lowerEdges.size(), upperEdges.size());
    std::vector<BandLevel> levels(bands);
    const double infinity = std::numeric_limits<double>::infinity();
    if (!Usable(h)) {
        for (BandLevel& band : levels) band.level = -infinity;
        return levels;
    }
    const double spacing = h.BinSpacing();
    std::vector<double> means(bands, 0.0);
    double loudest = 0.0;
    for (std::size_t b = 0; b < bands; ++b) {
        const double low = std::max(lowerEdges[b], h.startFrequency);
        const double high = std::min(upperEdges[b], h.endFrequency);
        // NaN edges fail the comparison inside and leave the band missing.
        const BinRange range = std::isnan(lowerEdges[b]) || std::isnan(upperEdges[b])
                                   ? BinRange{}
                                   : BinsWithin(low, high, spacing, h.size / 2);
        levels[b].missing = range.first > range.last;
        if (!levels[b].missing) {
            means[b] = MeanPower(h.bins, range);
            levels[b].power = means[b];
            loudest = std::max(loudest, means[b]);
        }
    }
    for (std::size_t b = 0; b < bands; ++b) {
        if (levels[b].missing || !(means[b] > 0.0) || !(loudest > 0.0)) {
            levels[b].level = -infinity;
        } else {
            // Adding +0.0 turns the loudest band's -0.0 into 0.0.
            levels[b].level = 10.0 * std::log10(means[b] / loudest) + 0.0;
        }
    }
    return levels;
}

Waveform ImpulseResponseOf(const TransferFunction& h) {
    return ImpulseResponseOf(h, {});
}

Waveform ImpulseResponseOf(const TransferFunction& h, const std::function<double(double)>& weight) {
    if (!Usable(h)) return {};
    const std::size_t binCount = h.bins.size();
    // The inverse transform runs in place, over a copy of H laid out as the
    // interleaved real and imaginary parts it starts from.
    Waveform response;
    try {
        response.resize(2 * binCount);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const double spacing = h.BinSpacing();
    for (std::size_t k = 0; k < binCount; ++k) {
        const std::complex<double> value =
            weight ? h.bins[k] * weight(spacing * static_cast<double>(k)) : h.bins[k];
        response[2 * k] = value.real();
        response[2 * k + 1] = value.imag();
    }
    {
        auto inverse = InverseTransform::Design(h.size, ComplexView(response), response.data());
        if (!inverse) return {};
        inverse.value().Run();
    }
    response.resize(static_cast<std::size_t>(h.size));
    const double scale = 1.0 / static_cast<double>(h.size);
    for (double& value : response) value *= scale;
    return response;
}

Delay FindDelay(std::span<const double> response, double rate) {
    Delay delay;
    const auto size = static_cast<std::int64_t>(response.size());
    if (size == 0 || !(rate > 0.0) || !std::isfinite(rate)) return delay;
    std::int64_t peak = 0;
    double peakValue = -1.0;
    for (std::int64_t n = 0; n < size; ++n) {
        const double value = std::fabs(response[static_cast<std::size_t>(n)]);
        if (value > peakValue) {
            peakValue = value;
            peak = n;
        }
    }
    double fraction = 0.0;
    if (size >= 3) {
        const double before =
            std::fabs(response[static_cast<std::size_t>((peak + size - 1) % size)]);
        const double after = std::fabs(response[static_cast<std::size_t>((peak + 1) % size)]);
        const double curvature = before - 2.0 * peakValue + after;
        if (curvature < 0.0) {
            fraction = std::clamp(0.5 * (before - after) / curvature, -0.5, 0.5);
        }
    }
    // The upper half of the circular response holds negative times.
    const std::int64_t time = peak <= size / 2 ? peak : peak - size;
    delay.samples = static_cast<double>(time) + fraction;
    delay.milliseconds = 1000.0 * delay.samples / rate;
    delay.metres = kSpeedOfSound * delay.samples / rate;
    return delay;
}

ImpulseResponse CutImpulseResponse(std::span<const double> response, double rate,
                                   double delaySamples, double preSeconds, double afterSeconds) {
    ImpulseResponse cut;
    const auto size = static_cast<std::int64_t>(response.size());
    if (size == 0 || !(rate > 0.0) || !std::isfinite(rate)) return cut;
    const auto frames = [rate, size](double seconds) {
        return std::isfinite(seconds) ? ClampIndex(std::ceil(seconds * rate), size)
                                      : (seconds > 0.0 ? size : 0);
    };
    const std::int64_t pre = frames(preSeconds);
    // The stretch ends afterSeconds past the direct sound (at time zero when
    // the direct sound is not after it).
    const std::int64_t direct =
        std::isfinite(delaySamples) ? ClampIndex(std::ceil(delaySamples), size) : 0;
    const std::int64_t length = std::min(size, pre + direct + frames(afterSeconds) + 1);
    cut.zeroIndex = std::min(pre, length);
    cut.samples.resize(static_cast<std::size_t>(length));
    const double largest = std::numeric_limits<float>::max();
    for (std::int64_t i = 0; i < length; ++i) {
        // Time i - pre, taken circularly.
        const std::int64_t n = ((i - pre) % size + size) % size;
        const double value = response[static_cast<std::size_t>(n)];
        cut.samples[static_cast<std::size_t>(i)] =
            std::isnan(value) ? 0.0f : static_cast<float>(std::clamp(value, -largest, largest));
    }
    return cut;
}

namespace {

// The frequencies of points at 1/pointsPerOctave octave steps over the
// swept range, from its start (or the first bin above 0 Hz) up to its end.
std::vector<double> PointFrequencies(const TransferFunction& h, int pointsPerOctave) {
    std::vector<double> frequencies;
    if (!Usable(h) || pointsPerOctave < 1 || pointsPerOctave > 1000) {
        return frequencies;
    }
    const double spacing = h.BinSpacing();
    const double first = std::max(h.startFrequency, spacing);
    if (!(first < h.endFrequency)) return frequencies;
    const double steps = std::log2(h.endFrequency / first) * pointsPerOctave;
    // A range of a few dozen octaves at most: spacing > 0 bounds it.
    const auto count = static_cast<std::int64_t>(std::floor(steps + 1e-9)) + 1;
    frequencies.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        frequencies.push_back(first * std::exp2(static_cast<double>(i) / pointsPerOctave));
    }
    return frequencies;
}

// Points at 1/pointsPerOctave octave steps over the swept range, each with
// the mean of power(range) over the bins within half a step either side
// inside the swept range (the nearest bin when none is), in dB.
template <typename Power>
std::vector<ResponsePoint> SmoothedPoints(const TransferFunction& h, int pointsPerOctave,
                                          Power power) {
    std::vector<ResponsePoint> points;
    const std::vector<double> frequencies = PointFrequencies(h, pointsPerOctave);
    if (frequencies.empty()) return points;
    const double spacing = h.BinSpacing();
    const std::int64_t lastBin = h.size / 2;
    points.reserve(frequencies.size());
    const double halfStep = std::exp2(0.5 / pointsPerOctave);
    for (const double frequency : frequencies) {
        ResponsePoint point;
        point.frequency = frequency;
        // The neighbourhood inside the swept range only: beyond it H is
        // regularised away and would pull the mean down.
        BinRange range =
            BinsWithin(std::max(point.frequency / halfStep, h.startFrequency),
                       std::min(point.frequency * halfStep, h.endFrequency), spacing, lastBin);
        if (range.first > range.last) {
            const std::int64_t nearest = ClampIndex(std::round(point.frequency / spacing), lastBin);
            range = {nearest, nearest};
        }
        const double mean = power(range);
        point.magnitudeDb = mean > 0.0 ? std::max(kFloorDb, 10.0 * std::log10(mean)) : kFloorDb;
        points.push_back(point);
    }
    return points;
}

}  // namespace

std::vector<ResponsePoint> SmoothedResponse(const TransferFunction& h, int pointsPerOctave) {
    return SmoothedPoints(h, pointsPerOctave,
                          [&h](BinRange range) { return MeanPower(h.bins, range); });
}

std::vector<ResponsePoint> PointResponse(const TransferFunction& h, int pointsPerOctave) {
    std::vector<ResponsePoint> points;
    const std::vector<double> frequencies = PointFrequencies(h, pointsPerOctave);
    if (frequencies.empty()) return points;
    const double spacing = h.BinSpacing();
    const std::int64_t lastBin = h.size / 2;
    // Beyond the swept range H is regularised away: a point at its edge
    // takes the nearest bin inside it rather than one outside.
    BinRange swept = BinsWithin(h.startFrequency, h.endFrequency, spacing, lastBin);
    if (swept.first > swept.last) swept = {0, lastBin};
    points.reserve(frequencies.size());
    for (const double frequency : frequencies) {
        const double position = frequency / spacing;
        const std::int64_t below =
            std::clamp(ClampIndex(std::floor(position), lastBin), swept.first, swept.last);
        const std::int64_t above = std::clamp(below + 1, swept.first, swept.last);
        const double weight =
            above == below ? 0.0 : std::clamp(position - static_cast<double>(below), 0.0, 1.0);
        const std::complex<double> value =
            (1.0 - weight) * h.bins[static_cast<std::size_t>(below)] +
            weight * h.bins[static_cast<std::size_t>(above)];
        ResponsePoint point;
        point.frequency = frequency;
        const double power = std::norm(value);
        point.magnitudeDb = power > 0.0 ? std::max(kFloorDb, 10.0 * std::log10(power)) : kFloorDb;
        double phase = std::arg(value) * 180.0 / std::numbers::pi;
        if (phase <= -180.0) phase += 360.0;
        point.phaseDegrees = phase;
        points.push_back(point);
    }
    return points;
}

std::vector<ResponsePoint> SmoothedNoise(const TransferFunction& h, int pointsPerOctave) {
    if (h.noisePower.size() != h.bins.size()) return {};
    return SmoothedPoints(h, pointsPerOctave,
                          [&h](BinRange range) { return MeanPower(h.noisePower, range); });
}

SignalChecks CheckSignal(std::span<const std::int64_t> captured, std::int64_t captureSweepStart,
                         std::int64_t sweepFrames) {
    SignalChecks checks;
    const auto size = static_cast<std::int64_t>(captured.size());
    // One 16-bit step below full scale: a 16-bit device's largest value
    // reaches it too.
    const double clipLevel = kFullScale - 256.0;
    for (const std::int64_t sample : captured) {
        const auto value = static_cast<double>(sample);
        if (std::fabs(value) >= clipLevel) ++checks.clippedSamples;
        if (sample != 0) checks.silent = false;
    }

    const auto meanSquare = [&captured](std::int64_t begin, std::int64_t end) {
        double sum = 0.0;
        for (std::int64_t n = begin; n < end; ++n) {
            const double value = static_cast<double>(captured[static_cast<std::size_t>(n)]);
            sum += value * value;
        }
        return sum / static_cast<double>(end - begin);
    };
    const auto levelDb = [](double power) {
        return 10.0 * std::log10(power / (kFullScale * kFullScale));
    };

    const std::int64_t noiseEnd = std::clamp<std::int64_t>(captureSweepStart, 0, size);
    const std::int64_t signalBegin = noiseEnd;
    std::int64_t signalEndValue = 0;
    if (__builtin_add_overflow(captureSweepStart, std::max<std::int64_t>(sweepFrames, 0),
                               &signalEndValue)) {
        signalEndValue = std::numeric_limits<std::int64_t>::max();
    }
    const std::int64_t signalEnd = std::clamp<std::int64_t>(signalEndValue, signalBegin, size);

    const double infinity = std::numeric_limits<double>::infinity();
    const bool haveSignal = signalEnd > signalBegin;
    const bool haveNoise = noiseEnd > 0;
    const double signalPower = haveSignal ? meanSquare(signalBegin, signalEnd) : 0.0;
    double largest = 0.0;
    for (std::int64_t n = signalBegin; n < signalEnd; ++n) {
        largest = std::max(largest, std::fabs(static_cast<double>(captured[static_cast<std::size_t>(n)])));
    }
    checks.returnLevelDb = 20.0 * std::log10(largest / kFullScale);
    const double noisePower = haveNoise ? meanSquare(0, noiseEnd) : 0.0;
    checks.signalLevelDb = haveSignal ? levelDb(signalPower) : -infinity;
    checks.noiseLevelDb = haveNoise ? levelDb(noisePower) : -infinity;
    checks.tooLow = !(checks.signalLevelDb >= kLowestLevelDb);
    checks.snrKnown = haveSignal && haveNoise;
    if (checks.snrKnown) {
        if (signalPower == 0.0) {
            checks.snrDb = -infinity;
        } else if (noisePower == 0.0) {
            checks.snrDb = infinity;
        } else {
            checks.snrDb = 10.0 * std::log10(signalPower / noisePower);
        }
        checks.lowSnr = checks.snrDb < kLowestSnrDb;
    }
    return checks;
}

void ApplyCalibration(TransferFunction& h, const Calibration& calibration) {
    if (calibration.points.empty()) return;
    const double spacing = h.BinSpacing();
    for (std::size_t k = 0; k < h.bins.size(); ++k) {
        const double frequency = spacing * static_cast<double>(k);
        const double gain = std::pow(10.0, -GainAt(calibration, frequency) / 20.0);
        const double phase = -PhaseAt(calibration, frequency) * std::numbers::pi / 180.0;
        h.bins[k] *= std::polar(gain, phase);
    }
}
