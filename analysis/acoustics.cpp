#include "analysis/acoustics.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>

namespace {

// Usable sample rates (Hz).
constexpr double kMinSampleRate = 1000.0;
constexpr double kMaxSampleRate = 1.0e6;

// Lundeby's method: the first envelope intervals, the levels of the late
// decay fit above the noise, the intervals per 10 dB of decay and the passes.
constexpr double kFirstIntervalSeconds = 0.010;
constexpr double kLateFitTopDb = 25.0;
constexpr double kLateFitBottomDb = 5.0;
constexpr double kNoiseStartBelowDb = 10.0;
constexpr double kIntervalsPer10Db = 5.0;
constexpr int kLundebyPasses = 5;
// The noise is never estimated from less than this share of the response.
constexpr double kNoiseTailShare = 0.1;

// Reverberation times beyond this are not a decay.
constexpr double kMaxReverbSeconds = 1000.0;

// Floor for levels in dB relative to the largest value, so that digital
// silence has a finite level.
constexpr double kFloorRatio = 1e-30;

double PowerDb(double power) {
    return 10.0 * std::log10(power);
}

// Mean of e over [begin, end).
double MeanOf(std::span<const double> e, std::size_t begin, std::size_t end) {
    if (end <= begin) return 0.0;
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) sum += e[i];
    return sum / static_cast<double>(end - begin);
}

// Envelope of e in consecutive intervals of width samples: the level in dB
// (floored at floor) and the interval's centre (samples).
struct Envelope {
    std::vector<double> levelDb;
    std::vector<double> centre;
    std::size_t width = 1;
};

Envelope MakeEnvelope(std::span<const double> e, std::size_t width, double floor) {
    Envelope env;
    env.width = std::max<std::size_t>(width, 1);
    for (std::size_t begin = 0; begin < e.size(); begin += env.width) {
        const std::size_t end = std::min(e.size(), begin + env.width);
        env.levelDb.push_back(PowerDb(std::max(MeanOf(e, begin, end), floor)));
        env.centre.push_back(0.5 * static_cast<double>(begin + end - 1));
    }
    return env;
}

// Least-squares line y = intercept + slope * x.
struct Line {
    double intercept = 0.0;
    double slope = 0.0;
    double r2 = 0.0;  // squared correlation coefficient of the fit
};

std::optional<Line> FitLine(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = std::min(x.size(), y.size());
    if (n < 2) return std::nullopt;
    double meanX = 0.0, meanY = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        meanX += x[i];
        meanY += y[i];
    }
    meanX /= static_cast<double>(n);
    meanY /= static_cast<double>(n);
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sxx += (x[i] - meanX) * (x[i] - meanX);
        sxy += (x[i] - meanX) * (y[i] - meanY);
        syy += (y[i] - meanY) * (y[i] - meanY);
    }
    if (!(sxx > 0.0)) return std::nullopt;
    const double r2 = syy > 0.0 ? sxy * sxy / (sxx * syy) : 1.0;
    const Line line{meanY - sxy / sxx * meanX, sxy / sxx, r2};
    if (!std::isfinite(line.slope) || !std::isfinite(line.intercept)) return std::nullopt;
    return line;
}

// Fits the envelope points [first, last); a line that does not fall is no decay.
std::optional<Line> FitFalling(const Envelope& env, std::size_t first, std::size_t last) {
    if (last > env.levelDb.size() || last < first + 2) return std::nullopt;
    const std::span<const double> x(env.centre.data() + first, last - first);
    const std::span<const double> y(env.levelDb.data() + first, last - first);
    const std::optional<Line> line = FitLine(x, y);
    if (!line || !(line->slope < 0.0)) return std::nullopt;
    return line;
}

// A sample position from a double, clamped to [0, limit].
std::size_t ClampIndex(double position, std::size_t limit) {
    if (!(position > 0.0)) return 0;  // also NaN
    if (position >= static_cast<double>(limit)) return limit;
    return static_cast<std::size_t>(position);
}

// The noise floor and the late decay, from Lundeby's iterative method.
struct NoiseFloor {
    double noise = 0.0;     // mean square of the noise
    double noiseDb = 0.0;   // the same in dB
    double peakDb = 0.0;    // largest envelope level (first intervals)
    std::size_t cross = 0;  // crosspoint (samples after the onset)
    Line decay;             // late decay line, dB over samples
};

std::optional<NoiseFloor> FindNoiseFloor(std::span<const double> e, double sampleRate) {
    const std::size_t n = e.size();
    if (n < 20) return std::nullopt;
    double largest = 0.0;
    for (double v : e) largest = std::max(largest, v);
    if (!(largest > 0.0)) return std::nullopt;
    const double floor = largest * kFloorRatio;
    const std::size_t tailStart = n - ClampIndex(kNoiseTailShare * static_cast<double>(n), n);

    NoiseFloor result;
    std::size_t width = ClampIndex(kFirstIntervalSeconds * sampleRate, n / 20);
    Envelope env = MakeEnvelope(e, width, floor);
    const auto peakAt = std::max_element(env.levelDb.begin(), env.levelDb.end());
    const std::size_t peak = static_cast<std::size_t>(peakAt - env.levelDb.begin());
    result.peakDb = *peakAt;
    const std::size_t peakSample = peak * env.width;

    // First pass: noise from the last tenth, decay from the peak down to
    // 10 dB above that noise.
    result.noise = std::max(MeanOf(e, tailStart, n), floor);
    result.noiseDb = PowerDb(result.noise);
    std::size_t last = peak + 1;
    while (last < env.levelDb.size() && env.levelDb[last] >= result.noiseDb + 10.0) ++last;
    std::optional<Line> line = FitFalling(env, peak, last);
    if (!line) return std::nullopt;
    double cross = (result.noiseDb - line->intercept) / line->slope;
    if (!(cross > 0.0)) return std::nullopt;

    for (int pass = 0; pass < kLundebyPasses; ++pass) {
        // Intervals short enough for a few per 10 dB of decay.
        const double per10Db = 10.0 / -line->slope;
        width = std::max<std::size_t>(1, ClampIndex(per10Db / kIntervalsPer10Db, n / 20));
        env = MakeEnvelope(e, width, floor);

        // Noise from where the decay line is well below it, at least the
        // last tenth of the response.
        const std::size_t noiseStart =
            std::min(tailStart, ClampIndex(cross + kNoiseStartBelowDb / -line->slope, n));
        const double noise = std::max(MeanOf(e, noiseStart, n), floor);
        const double noiseDb = PowerDb(noise);

        // Late decay: the intervals where the present line runs from
        // kLateFitTopDb down to kLateFitBottomDb above the noise, after the
        // peak (the line, not the envelope, picks them: a gap after the
        // direct sound or a dip of the envelope does not end the range).
        const auto timeAt = [&](double levelDb) {
            return (levelDb - line->intercept) / line->slope;
        };
        const double from = std::max(timeAt(noiseDb + kLateFitTopDb), env.centre[0]);
        const double to = timeAt(noiseDb + kLateFitBottomDb);
        std::size_t first = std::min(peakSample / env.width, env.levelDb.size());
        while (first < env.levelDb.size() && env.centre[first] < from) ++first;
        std::size_t end = first;
        while (end < env.levelDb.size() && env.centre[end] <= to) ++end;
        const std::optional<Line> late = FitFalling(env, first, end);
        if (!late) break;
        const double next = (noiseDb - late->intercept) / late->slope;
        if (!(next > 0.0)) break;
        result.noise = noise;
        result.noiseDb = noiseDb;
        line = late;
        const bool settled = std::abs(next - cross) < static_cast<double>(width);
        cross = next;
        if (settled) break;
    }
    result.cross = std::max<std::size_t>(ClampIndex(cross, n), 1);
    result.decay = *line;
    return result;
}

// Schroeder's backward integral up to the crosspoint, with the energy the
// decay line carries after it.
struct DecayEnergy {
    std::vector<double> integral;  // integral[i]: energy from sample i on, i <= cross
    double tailDecay = 0.0;        // per-sample factor of the compensated tail

    // Energy from sample i on, also past the crosspoint.
    double From(std::size_t i) const {
        const std::size_t cross = integral.size() - 1;
        if (i <= cross) return integral[i];
        return integral[cross] * std::pow(tailDecay, static_cast<double>(i - cross));
    }
};

DecayEnergy IntegrateDecay(std::span<const double> e, const NoiseFloor& floor) {
    DecayEnergy out;
    const std::size_t cross = std::min(floor.cross, e.size());
    // The line's power at the crosspoint, decaying by tailDecay per sample;
    // its sum to infinity is the compensation.
    const double k = -floor.decay.slope * std::numbers::ln10 / 10.0;
    out.tailDecay = std::exp(-k);
    const double atCross = std::pow(
        10.0, (floor.decay.intercept + floor.decay.slope * static_cast<double>(cross)) / 10.0);
    const double tail = -std::expm1(-k) > 0.0 ? atCross / -std::expm1(-k) : 0.0;
    out.integral.assign(cross + 1, 0.0);
    out.integral[cross] = std::isfinite(tail) ? tail : 0.0;
    for (std::size_t i = cross; i-- > 0;) out.integral[i] = out.integral[i + 1] + e[i];
    return out;
}

// Reverberation time from the decay curve between topDb and bottomDb
// (relative to the energy from start on), extrapolated to 60 dB.
AcousticValue ReverbTime(const DecayEnergy& energy, std::size_t start, double sampleRate,
                         double topDb, double bottomDb, double rangeDb, double needDb,
                         double shortestSeconds) {
    if (rangeDb < needDb) return {std::nullopt, AcousticsGap::kShortRange};
    const std::vector<double>& s = energy.integral;
    if (start >= s.size()) return {std::nullopt, AcousticsGap::kCurveEnds};
    const double total = s[start];
    const double top = total * std::pow(10.0, topDb / 10.0);
    const double bottom = total * std::pow(10.0, bottomDb / 10.0);
    std::size_t first = start;
    while (first < s.size() && s[first] > top) ++first;
    std::size_t end = first;
    while (end < s.size() && s[end] >= bottom) ++end;
    if (end == s.size()) return {std::nullopt, AcousticsGap::kCurveEnds};
    std::vector<double> x, y;
    x.reserve(end - first);
    y.reserve(end - first);
    for (std::size_t i = first; i < end; ++i) {
        x.push_back(static_cast<double>(i) / sampleRate);
        y.push_back(PowerDb(s[i] / total));
    }
    const std::optional<Line> line = FitLine(x, y);
    if (!line || !(line->slope < 0.0)) return {std::nullopt, AcousticsGap::kNoDecay};
    const double seconds = -60.0 / line->slope;
    if (!(seconds < kMaxReverbSeconds)) return {std::nullopt, AcousticsGap::kNoDecay};
    AcousticValue result{std::nullopt, AcousticsGap::kNone};
    // r^2 may round a hair above 1 for a perfect line.
    result.nonlinearityPermille = std::max(0.0, 1000.0 * (1.0 - line->r2));
    // A decay faster than the octave filter's own is the filter's, not the
    // room's.
    if (seconds < shortestSeconds) {
        result.gap = AcousticsGap::kBelowResolution;
        return result;
    }
    // The reverberation times' curve should be straight; the early decay's
    // is curved by the direct sound by nature. A curved decay (two decays,
    // coupled spaces, a tail that is not the room's) still has its slope
    // over the evaluation range, read together with the non-linearity.
    result.curved = topDb < 0.0 && result.nonlinearityPermille > kMaxNonLinearityPermille;
    if (topDb < 0.0 && result.nonlinearityPermille > kMaxFitNonLinearityPermille) {
        result.gap = AcousticsGap::kNoLine;
        return result;
    }
    result.value = seconds;
    return result;
}

// Early-to-late ratio (dB) at the given boundary after the onset.
AcousticValue Clarity(const DecayEnergy& energy, std::size_t boundary) {
    // Past the crosspoint the late energy would be the fitted tail alone,
    // not a measurement.
    if (energy.integral.empty() || boundary >= energy.integral.size() - 1) {
        return {std::nullopt, AcousticsGap::kLateBelowNoise};
    }
    const double total = energy.From(0);
    const double late = energy.From(boundary);
    const double early = total - late;
    if (!(late > 0.0) || !(early > 0.0)) return {std::nullopt, AcousticsGap::kNoSignal};
    const double db = PowerDb(early / late);
    if (!std::isfinite(db)) return {std::nullopt, AcousticsGap::kNoSignal};
    return {db, AcousticsGap::kNone};
}

void SetAll(OctaveAcoustics& band, AcousticsGap gap) {
    for (AcousticValue* v : {&band.edt, &band.t20, &band.t30, &band.c50, &band.c80, &band.d50}) {
        *v = {std::nullopt, gap};
    }
}

// Group delay (samples) of the sections at their centre frequency.
double CentreDelay(std::span<const Biquad> sections, double lowerHz, double upperHz,
                   double sampleRate) {
    const double centre =
        2.0 * std::atan(std::sqrt(std::tan(std::numbers::pi * lowerHz / sampleRate) *
                                  std::tan(std::numbers::pi * upperHz / sampleRate)));
    const auto phase = [&](double w) {
        const std::complex<double> z1 = std::polar(1.0, -w);
        double sum = 0.0;
        for (const Biquad& b : sections) {
            sum +=
                std::arg((b.b0 + b.b1 * z1 + b.b2 * z1 * z1) / (1.0 + b.a1 * z1 + b.a2 * z1 * z1));
        }
        return sum;
    };
    const double step = 1e-4 * centre;
    // Each section's phase is continuous near the centre, so the sums are too.
    const double delay = -(phase(centre + step) - phase(centre - step)) / (2.0 * step);
    return std::isfinite(delay) ? std::max(delay, 0.0) : 0.0;
}

// Length (samples) of the sections' impulse response holding all but a
// thousandth of its energy, at most one second.
std::size_t RingLength(std::span<const Biquad> sections, double sampleRate) {
    std::vector<double> x(static_cast<std::size_t>(sampleRate), 0.0);
    x.back() = 1.0;
    // Run backwards, the response to the last sample runs from it towards
    // the first: h[size - 1 - m] is the causal response's sample m.
    const std::vector<double> h = FilterTimeReversed(sections, x);
    double total = 0.0;
    for (double v : h) total += v * v;
    double sum = 0.0;
    for (std::size_t length = 0; length < h.size(); ++length) {
        const double v = h[h.size() - 1 - length];
        sum += v * v;
        if (sum >= 0.999 * total) return length + 1;
    }
    return h.size();
}

void AnalyseBand(OctaveAcoustics& band, std::span<const double> response, std::size_t onset,
                 double sampleRate) {
    const std::array<Biquad, 3> filter =
        DesignButterworthBandPass(band.lowerHz, band.upperHz, sampleRate);
    // Run backwards, the filter moves the band's arrival earlier by its group
    // delay and spreads the energy at the onset over its ring length before
    // it. The decay is timed from the moved arrival; the energy sums start a
    // ring length before the onset, so that none of the direct sound's is lost.
    const std::size_t lead =
        ClampIndex(std::round(CentreDelay(filter, band.lowerHz, band.upperHz, sampleRate)), onset);
    const std::size_t ringLength = RingLength(filter, sampleRate);
    const std::size_t ring = std::max(lead, std::min(ringLength, onset));
    const std::size_t arrival = ring - lead;  // the band's arrival in e
    std::vector<double> e = FilterTimeReversed(filter, response.subspan(onset - ring));
    // The filter starts from rest at the response's end: its last ring
    // length is the filter settling, not the room.
    if (e.size() <= arrival + ringLength) {
        SetAll(band, AcousticsGap::kNoDecay);
        return;
    }
    e.resize(e.size() - ringLength);
    for (double& v : e) v *= v;

    // The noise floor and the decay are sought from the band's arrival on;
    // the line and the crosspoint then count from the start of e.
    std::optional<NoiseFloor> floor =
        FindNoiseFloor(std::span<const double>(e).subspan(arrival), sampleRate);
    if (!floor) {
        const bool silent = std::all_of(e.begin(), e.end(), [](double v) { return v == 0.0; });
        SetAll(band, silent ? AcousticsGap::kNoSignal : AcousticsGap::kNoDecay);
        return;
    }
    floor->cross += arrival;
    floor->decay.intercept -= floor->decay.slope * static_cast<double>(arrival);
    band.decayFound = true;
    band.decayRangeDb = floor->peakDb - floor->noiseDb;
    band.crossSeconds =
        (static_cast<double>(floor->cross) - static_cast<double>(arrival)) / sampleRate;

    const DecayEnergy energy = IntegrateDecay(e, *floor);
    if (!(energy.From(0) > 0.0)) {
        SetAll(band, AcousticsGap::kNoSignal);
        return;
    }
    const double range = band.decayRangeDb;
    const double shortest = ShortestResolvedSeconds(band.lowerHz, band.upperHz);
    band.edt = ReverbTime(energy, arrival, sampleRate, 0.0, -10.0, range, kEdtRangeDb, shortest);
    band.t20 = ReverbTime(energy, arrival, sampleRate, -5.0, -25.0, range, kT20RangeDb, shortest);
    band.t30 = ReverbTime(energy, arrival, sampleRate, -5.0, -35.0, range, kT30RangeDb, shortest);
    if (band.t20.value && band.t30.value) {
        band.curvaturePercent = 100.0 * (*band.t30.value / *band.t20.value - 1.0);
    }

    const std::size_t at50 = arrival + ClampIndex(std::round(0.050 * sampleRate), SIZE_MAX / 2);
    const std::size_t at80 = arrival + ClampIndex(std::round(0.080 * sampleRate), SIZE_MAX / 2);
    band.c50 = Clarity(energy, at50);
    band.c80 = Clarity(energy, at80);
    // A decay the octave filter cannot resolve also splits early and late
    // energy by the filter's own ringing, not by the room's.
    if (band.edt.gap == AcousticsGap::kBelowResolution) {
        band.c50 = band.c80 = {std::nullopt, AcousticsGap::kBelowResolution};
    }
    if (band.c50.value) {
        const double total = energy.From(0);
        band.d50 = {100.0 * (total - energy.From(at50)) / total, AcousticsGap::kNone};
    } else {
        band.d50 = band.c50;
    }
}

}  // namespace

std::array<Biquad, 3> DesignButterworthBandPass(double lowerHz, double upperHz, double sampleRate) {
    // Pre-warped analogue edges (bilinear transform s = (1 - 1/z) / (1 + 1/z)).
    const double wl = std::tan(std::numbers::pi * lowerHz / sampleRate);
    const double wh = std::tan(std::numbers::pi * upperHz / sampleRate);
    const double w0sq = wl * wh;
    const double bw = wh - wl;

    // Third-order Butterworth low-pass poles p: -1 and exp(+-j 2 pi / 3).
    // Low-pass to band-pass, s -> (s^2 + w0^2) / (bw s), turns each factor
    // 1 / (s - p) into bw s / (s^2 - p bw s + w0^2). The real pole gives a
    // real quadratic; the complex pair's four poles are regrouped into two
    // conjugate pairs. Each section is g s / (s^2 + c1 s + c0) with g = bw.
    struct Analogue {
        double c1, c0;
    };
    std::array<Analogue, 3> analogue{};
    analogue[0] = {bw, w0sq};
    const std::complex<double> p = std::polar(1.0, 2.0 * std::numbers::pi / 3.0);
    const std::complex<double> root = std::sqrt(p * p * bw * bw - 4.0 * w0sq);
    const std::complex<double> s1 = 0.5 * (p * bw + root);
    const std::complex<double> s2 = 0.5 * (p * bw - root);
    analogue[1] = {-2.0 * s1.real(), std::norm(s1)};
    analogue[2] = {-2.0 * s2.real(), std::norm(s2)};

    std::array<Biquad, 3> sections{};
    for (std::size_t i = 0; i < 3; ++i) {
        const double c1 = analogue[i].c1;
        const double c0 = analogue[i].c0;
        const double a0 = 1.0 + c1 + c0;
        sections[i] = {bw / a0, 0.0, -bw / a0, (2.0 * c0 - 2.0) / a0, (1.0 - c1 + c0) / a0};
    }

    // Unit gain at the centre, where tan(w / 2) = w0.
    const double centre = 2.0 * std::atan(std::sqrt(w0sq));
    const std::complex<double> z1 = std::polar(1.0, -centre);
    std::complex<double> gain = 1.0;
    for (const Biquad& b : sections) {
        gain *= (b.b0 + b.b1 * z1 + b.b2 * z1 * z1) / (1.0 + b.a1 * z1 + b.a2 * z1 * z1);
    }
    const double magnitude = std::abs(gain);
    if (magnitude > 0.0 && std::isfinite(magnitude)) {
        sections[0].b0 /= magnitude;
        sections[0].b1 /= magnitude;
        sections[0].b2 /= magnitude;
    }
    return sections;
}

std::vector<double> FilterTimeReversed(std::span<const Biquad> sections,
                                       std::span<const double> x) {
    std::vector<double> y(x.rbegin(), x.rend());
    for (const Biquad& b : sections) {
        // Transposed direct form II.
        double z1 = 0.0, z2 = 0.0;
        for (double& v : y) {
            const double in = v;
            const double out = b.b0 * in + z1;
            z1 = b.b1 * in - b.a1 * out + z2;
            z2 = b.b2 * in - b.a2 * out;
            v = out;
        }
    }
    std::reverse(y.begin(), y.end());
    return y;
}

std::optional<std::size_t> FindOnset(std::span<const float> response) {
    double peak = 0.0;
    for (float v : response) {
        if (!std::isfinite(v)) return std::nullopt;
        peak = std::max(peak, static_cast<double>(v) * v);
    }
    if (!(peak > 0.0)) return std::nullopt;
    const double threshold = peak / 100.0;  // 20 dB below the peak
    for (std::size_t i = 0; i < response.size(); ++i) {
        if (static_cast<double>(response[i]) * response[i] >= threshold) return i;
    }
    return std::nullopt;
}

AcousticsResult ComputeAcoustics(std::span<const float> response, double sampleRate,
                                 std::optional<std::size_t> directIndex, double sweptLowHz,
                                 double sweptHighHz) {
    AcousticsResult result;
    for (int k = 0; k < kOctaveBandCount; ++k) {
        OctaveAcoustics& band = result.bands[k];
        band.nominalHz = kOctaveNominalHz[k];
        band.centreHz = 1000.0 * std::exp2(k - 4);
        band.lowerHz = band.centreHz / std::numbers::sqrt2;
        band.upperHz = band.centreHz * std::numbers::sqrt2;
    }

    const bool rateUsable = sampleRate >= kMinSampleRate && sampleRate <= kMaxSampleRate;
    const bool rangeUsable = std::isfinite(sweptLowHz) && std::isfinite(sweptHighHz) &&
                             sweptLowHz >= 0.0 && sweptLowHz < sweptHighHz;
    const bool samplesUsable =
        !response.empty() &&
        std::all_of(response.begin(), response.end(), [](float v) { return std::isfinite(v); });
    if (!rateUsable || !rangeUsable || !samplesUsable) {
        for (OctaveAcoustics& band : result.bands) SetAll(band, AcousticsGap::kBadInput);
        return result;
    }

    result.onsetFound = !directIndex.has_value();
    result.onset = directIndex ? directIndex : FindOnset(response);
    if (!result.onset || *result.onset >= response.size()) {
        for (OctaveAcoustics& band : result.bands) SetAll(band, AcousticsGap::kNoOnset);
        return result;
    }

    const std::vector<double> samples(response.begin(), response.end());
    for (OctaveAcoustics& band : result.bands) {
        if (band.upperHz >= 0.5 * sampleRate) {
            SetAll(band, AcousticsGap::kAboveNyquist);
        } else if (band.lowerHz < sweptLowHz || band.upperHz > sweptHighHz) {
            SetAll(band, AcousticsGap::kNotSwept);
        } else {
            AnalyseBand(band, samples, *result.onset, sampleRate);
        }
    }
    return result;
}

double ShortestResolvedSeconds(double lowerHz, double upperHz) {
    const double bandwidth = upperHz - lowerHz;
    return bandwidth > 0.0 ? kResolvedBandwidthTime / bandwidth : INFINITY;
}
