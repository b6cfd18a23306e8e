#include "analysis/time_views.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "analysis/spectrum.h"

namespace {

constexpr double kPi = std::numbers::pi;
// The stretch kept ahead of the direct sound, and the zeros after the
// response that keep the transforms' wrap-around away from it.
constexpr double kLeadSeconds = 0.01;
constexpr double kPadSeconds = 0.01;
// The direct sound's peak is looked for this close to the index given.
constexpr double kDirectSearchSeconds = 0.001;
// A slice's decay is fitted from this far below its highest level.
constexpr double kFitStartDb = 5.0;
constexpr double kFitRangeDb = 35.0;
// Noise 20 dB below a slice still moves its level by up to 0.8 dB, slowly
// along the slices (their windows overlap): the fit ends above that.
constexpr double kFitNoiseMarginDb = 20.0;
constexpr double kFitLeastRangeDb = 10.0;

double Db(double power) {
    return power > 0.0 ? 10.0 * std::log10(power) : -300.0;
}

// The offset (-0.5..0.5) and height of the parabola through three levels.
std::pair<double, double> Vertex(double a, double b, double c) {
    const double d = a - 2.0 * b + c;
    if (!(d < 0.0)) return {0.0, b};
    const double offset = std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
    return {offset, b - 0.25 * (a - c) * offset};
}

// How far level[i] stands above the higher of the lowest points on either
// side before the levels rise above it again (or [first, last] ends).
double Prominence(std::span<const double> level, std::size_t i, std::size_t first,
                  std::size_t last) {
    double left = level[i];
    for (std::size_t j = i; j > first;) {
        --j;
        if (level[j] > level[i]) break;
        left = std::min(left, level[j]);
    }
    double right = level[i];
    for (std::size_t j = i + 1; j <= last; ++j) {
        if (level[j] > level[i]) break;
        right = std::min(right, level[j]);
    }
    return level[i] - std::max(left, right);
}

// Power of bins at frequencies [low, high] on a step of spacing.
std::vector<float> SliceLevels(const Spectrum& bins, std::int64_t first, std::int64_t last) {
    std::vector<float> out;
    for (std::int64_t k = first; k <= last; ++k) {
        out.push_back(static_cast<float>(std::norm(bins[static_cast<std::size_t>(k)])));
    }
    return out;
}

struct Decay {
    std::optional<double> t60;
    TimeGap gap = TimeGap::kNone;
};

// The decay time of a slice's levels (dB) at times step apart, its noise
// level (dB) when known.
Decay FitDecay(std::span<const double> levels, double step, std::optional<double> noiseDb) {
    if (levels.empty()) return {std::nullopt, TimeGap::kTooShort};
    const auto top = std::max_element(levels.begin(), levels.end());
    const double peak = *top;
    double stop = peak - kFitRangeDb;
    if (noiseDb) stop = std::max(stop, *noiseDb + kFitNoiseMarginDb);
    if (stop > peak - kFitStartDb - kFitLeastRangeDb) return {std::nullopt, TimeGap::kBelowNoise};
    std::size_t first = static_cast<std::size_t>(top - levels.begin());
    while (first < levels.size() && levels[first] > peak - kFitStartDb) ++first;
    if (first == levels.size()) return {std::nullopt, TimeGap::kNoDecay};
    std::size_t end = first;
    while (end < levels.size() && levels[end] >= stop) ++end;
    if (end - first < 3) return {std::nullopt, TimeGap::kTooFast};
    double st = 0, sl = 0, stt = 0, stl = 0;
    const double n = static_cast<double>(end - first);
    for (std::size_t k = first; k < end; ++k) {
        const double t = static_cast<double>(k) * step;
        st += t;
        sl += levels[k];
        stt += t * t;
        stl += t * levels[k];
    }
    const double slope = (n * stl - st * sl) / (n * stt - st * st);
    if (!(slope < 0.0)) return {std::nullopt, TimeGap::kNoDecay};
    return {-60.0 / slope, TimeGap::kNone};
}

// The level (dB) of a row of the waterfall at frequency f, linear between
// its points.
double LevelAt(const std::vector<double>& frequencies, std::span<const float> row, double f) {
    const auto above = std::lower_bound(frequencies.begin(), frequencies.end(), f);
    if (above == frequencies.begin()) return row.front();
    if (above == frequencies.end()) return row.back();
    const std::size_t i = static_cast<std::size_t>(above - frequencies.begin());
    const double w = (f - frequencies[i - 1]) / (frequencies[i] - frequencies[i - 1]);
    return (1.0 - w) * row[i - 1] + w * row[i];
}

// The noise at f: the power mean of the noise's levels over kNoiseBins
// either side (a single bin of one window scatters by its own size).
constexpr std::ptrdiff_t kNoiseBins = 5;
double NoiseNear(const Waterfall& w, double f) {
    const auto at =
        std::lower_bound(w.frequencies.begin(), w.frequencies.end(), f) - w.frequencies.begin();
    const auto size = static_cast<std::ptrdiff_t>(w.noiseDb.size());
    double sum = 0.0;
    int count = 0;
    for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(0, at - kNoiseBins);
         k < std::min(size, at + kNoiseBins + 1); ++k) {
        sum += std::pow(10.0, w.noiseDb[static_cast<std::size_t>(k)] / 10.0);
        ++count;
    }
    return count > 0 ? Db(sum / count) : -300.0;
}

// The ETC's median (dB) over [from, to].
double Median(std::span<const double> level, std::size_t from, std::size_t to) {
    std::vector<double> part(level.begin() + static_cast<std::ptrdiff_t>(from),
                             level.begin() + static_cast<std::ptrdiff_t>(to) + 1);
    const auto middle = part.begin() + static_cast<std::ptrdiff_t>(part.size() / 2);
    std::nth_element(part.begin(), middle, part.end());
    return *middle;
}

// The level of the diffuse sound around level[i]: the higher of the ETC's
// medians over reach samples before and after it, within [first, last], so
// that a tail that sets in beside a peak counts in full.
double DiffuseLevel(std::span<const double> level, std::size_t i, std::size_t reach,
                    std::size_t first, std::size_t last) {
    double diffuse = -300.0;
    if (i > first) diffuse = Median(level, i > first + reach ? i - reach : first, i - 1);
    if (i < last) diffuse = std::max(diffuse, Median(level, i + 1, std::min(last, i + reach)));
    return diffuse;
}

void FindReflections(TimeViews& views, std::span<const double> etc, std::size_t direct,
                     double rate) {
    // The direct sound's own peak between samples.
    const auto [directOffset, directLevel] =
        direct > 0 && direct + 1 < etc.size()
            ? Vertex(etc[direct - 1], etc[direct], etc[direct + 1])
            : std::pair<double, double>{0.0, etc[direct]};
    const auto window = static_cast<std::size_t>(std::llround(kReflectionWindowSeconds * rate));
    if (etc.size() < direct + window + 2) {
        views.reflectionsGap = TimeGap::kTooShort;
        views.initialGapGap = TimeGap::kTooShort;
        return;
    }
    double floor = kReflectionThresholdDb;
    if (views.noiseFloorDb) floor = std::max(floor, *views.noiseFloorDb + kNoiseMarginDb);
    views.reflectionFloorDb = floor;
    if (floor > -kProminenceDb) {
        views.reflectionsGap = TimeGap::kTooNoisy;
        views.initialGapGap = TimeGap::kTooNoisy;
        return;
    }
    const std::size_t last = std::min(etc.size() - 2, direct + 2 * window);
    for (std::size_t i = direct + 1; i <= direct + window; ++i) {
        if (etc[i] < floor || etc[i] < etc[i - 1] || etc[i] <= etc[i + 1]) continue;
        if (Prominence(etc, i, direct, last) < kProminenceDb) continue;
        const auto reach = static_cast<std::size_t>(std::llround(kDiffuseSeconds * rate));
        if (etc[i] - DiffuseLevel(etc, i, reach, direct + 1, last) < kAboveDiffuseDb) continue;
        const auto [offset, peak] = Vertex(etc[i - 1], etc[i], etc[i + 1]);
        const double level = peak - directLevel;
        if (level < floor) continue;
        const double seconds = (static_cast<double>(i - direct) + offset - directOffset) / rate;
        views.reflections.push_back({seconds, seconds * kSpeedOfSoundMs, level});
    }
    views.reflectionsGap = TimeGap::kNone;
    if (views.reflections.empty()) {
        views.initialGapGap = TimeGap::kNoReflection;
    } else {
        views.initialGapSeconds = views.reflections.front().seconds;
        views.initialGapGap = TimeGap::kNone;
    }
}

// The waterfall of the response reduced to decimated (rate decimatedRate,
// direct sound at index direct, data up to end).
void MakeWaterfall(TimeViews& views, std::span<const double> reduced, double direct,
                   std::size_t end, double decimatedRate) {
    const auto window =
        static_cast<std::int64_t>(std::llround(kWaterfallWindowSeconds * decimatedRate));
    const auto step = kWaterfallStepSeconds * decimatedRate;
    const auto slices =
        static_cast<std::int64_t>(std::llround(kWaterfallSeconds / kWaterfallStepSeconds)) + 1;
    const double lastStart = direct + static_cast<double>(slices - 1) * step;
    if (window < 4 || lastStart + static_cast<double>(window) > static_cast<double>(end)) return;
    const std::int64_t length = FastTransformLength(2 * window, kLongestTransform);
    Waveform x(static_cast<std::size_t>(length));
    Spectrum bins(static_cast<std::size_t>(length / 2 + 1));
    auto forward = ForwardTransform::Design(length, x.data(), bins.data());
    if (!forward) return;
    const double spacing = decimatedRate / static_cast<double>(length);
    const BinRange range = BinsWithin(kWaterfallLowHz, kWaterfallHighHz, spacing, length / 2);
    if (range.first > range.last) return;
    for (std::int64_t k = range.first; k <= range.last; ++k) {
        views.waterfall.frequencies.push_back(static_cast<double>(k) * spacing);
    }
    const auto transform = [&](std::int64_t start) {
        std::fill(x.begin(), x.end(), 0.0);
        const std::int64_t half = window / 2;
        for (std::int64_t n = 0; n < window && start + n < static_cast<std::int64_t>(end); ++n) {
            // Flat, then half a Hann window down to zero.
            const double w = n < half ? 1.0
                                      : 0.5 + 0.5 * std::cos(kPi * static_cast<double>(n - half) /
                                                             static_cast<double>(window - half));
            x[static_cast<std::size_t>(n)] = w * reduced[static_cast<std::size_t>(start + n)];
        }
        forward.value().Run();
        return SliceLevels(bins, range.first, range.last);
    };
    for (std::int64_t s = 0; s < slices; ++s) {
        const auto start =
            static_cast<std::int64_t>(std::llround(direct + static_cast<double>(s) * step));
        views.waterfall.times.push_back(static_cast<double>(s) * kWaterfallStepSeconds);
        views.waterfall.levels.push_back(transform(start));
    }
    // The noise: the response's last window, when it lies clear of the
    // slices.
    const auto noiseStart = static_cast<std::int64_t>(end) - window;
    if (static_cast<double>(noiseStart) >= lastStart + static_cast<double>(window)) {
        views.waterfall.noiseDb = transform(noiseStart);
    }
    double top = 0.0;
    for (const float p : views.waterfall.levels.front())
        top = std::max(top, static_cast<double>(p));
    // A silent first slice leaves every level at the floor.
    if (!(top > 0.0)) top = 1.0;
    const auto toDb = [top](std::vector<float>& row) {
        for (float& p : row) p = static_cast<float>(Db(p / top));
    };
    for (auto& row : views.waterfall.levels) toDb(row);
    toDb(views.waterfall.noiseDb);
    views.waterfall.resolutionHz = decimatedRate / static_cast<double>(window);
}

void FindModes(TimeViews& views, std::span<const ResponsePoint> points, double sweptLowHz,
               double sweptHighHz, TimeGap waterfallGap) {
    double sum = 0.0;
    std::size_t count = 0;
    std::vector<double> level;
    for (const ResponsePoint& p : points) {
        const bool usable = std::isfinite(p.frequency) && std::isfinite(p.magnitudeDb);
        level.push_back(usable ? p.magnitudeDb : -300.0);
        if (usable && p.frequency >= sweptLowHz && p.frequency <= sweptHighHz) {
            sum += p.magnitudeDb;
            ++count;
        }
    }
    if (count == 0) {
        views.modesGap = TimeGap::kNotSwept;
        return;
    }
    views.meanLevelDb = sum / static_cast<double>(count);
    views.modesGap = TimeGap::kNone;
    for (std::size_t i = 1; i + 1 < points.size(); ++i) {
        const double f = points[i].frequency;
        if (!(f >= kWaterfallLowHz && f >= sweptLowHz && f <= kModeHighHz && f <= sweptHighHz))
            continue;
        if (level[i] < level[i - 1] || level[i] <= level[i + 1]) continue;
        if (Prominence(level, i, 0, points.size() - 1) < kProminenceDb) continue;
        const auto [offset, peak] = Vertex(level[i - 1], level[i], level[i + 1]);
        const double next = offset >= 0.0 ? points[i + 1].frequency : points[i - 1].frequency;
        const double frequency = f * std::pow(next / f, std::fabs(offset));
        // A peak below the mean is a ripple of the response, not a mode.
        if (peak <= views.meanLevelDb) continue;
        views.modes.push_back({frequency, peak - views.meanLevelDb, std::nullopt, waterfallGap});
    }
    std::sort(views.modes.begin(), views.modes.end(),
              [](const RoomMode& a, const RoomMode& b) { return a.levelDb > b.levelDb; });
    if (views.modes.size() > kMostModes) views.modes.resize(kMostModes);
    const Waterfall& w = views.waterfall;
    if (w.levels.empty()) return;
    for (RoomMode& mode : views.modes) {
        std::vector<double> series;
        for (const auto& row : w.levels)
            series.push_back(LevelAt(w.frequencies, row, mode.frequency));
        std::optional<double> noise;
        if (!w.noiseDb.empty()) {
            noise = NoiseNear(w, mode.frequency);
            // The noise's power taken out of each slice, so that it does not
            // slow the decay towards its end.
            const double noisePower = std::pow(10.0, *noise / 10.0);
            for (double& level : series) {
                level = Db(std::max(std::pow(10.0, level / 10.0) - noisePower, 1e-3 * noisePower));
            }
        }
        const Decay decay = FitDecay(series, kWaterfallStepSeconds, noise);
        mode.t60 = decay.t60;
        mode.gap = decay.gap;
    }
}

}  // namespace

TimeViews ComputeTimeViews(std::span<const float> response, double directIndex, double rate,
                           std::span<const ResponsePoint> points, double sweptLowHz,
                           double sweptHighHz) {
    TimeViews views;
    const bool finite =
        std::all_of(response.begin(), response.end(), [](float v) { return std::isfinite(v); });
    if (response.empty() || !finite || !(rate >= 2.0 * kWaterfallRate) || !(rate < 1e7) ||
        !(directIndex >= 0.0) || !(directIndex < static_cast<double>(response.size())) ||
        !std::isfinite(sweptLowHz) || !std::isfinite(sweptHighHz)) {
        return views;
    }
    const auto direct = static_cast<std::int64_t>(std::llround(directIndex));
    const std::int64_t start =
        std::max<std::int64_t>(0, direct - std::llround(kLeadSeconds * rate));
    const auto size = static_cast<std::int64_t>(response.size()) - start;
    const auto factor = std::max<std::int64_t>(1, static_cast<std::int64_t>(rate / kWaterfallRate));
    const double reducedRate = rate / static_cast<double>(factor);
    const std::int64_t pad = std::llround(kPadSeconds * rate);
    const std::int64_t reducedLength =
        FastTransformLength((size + pad) / factor + 2, kLongestTransform / factor);
    if (reducedLength == 0) return views;
    const std::int64_t length = reducedLength * factor;
    Waveform x(static_cast<std::size_t>(length), 0.0);
    Spectrum bins(static_cast<std::size_t>(length / 2 + 1));
    std::copy(response.begin() + start, response.end(), x.begin());
    auto forward = ForwardTransform::Design(length, x.data(), bins.data());
    if (!forward) return views;
    forward.value().Run();

    // The ETC: real and imaginary part of the weighted analytic signal.
    const double spacing = rate / static_cast<double>(length);
    const double low = std::max(sweptLowHz, kEtcLowHz);
    const double high = std::min({sweptHighHz, kEtcHighHz, 0.45 * rate});
    views.gap = TimeGap::kNone;
    std::vector<double> etc;
    if (high > 2.0 * low) {
        views.etcLowHz = low;
        views.etcHighHz = high;
        Spectrum weighted(bins.size()), turned(bins.size());
        for (std::size_t k = 0; k < bins.size(); ++k) {
            const double f = static_cast<double>(k) * spacing;
            const double s = f > low && f < high ? std::sin(kPi * (f - low) / (high - low)) : 0.0;
            weighted[k] = bins[k] * (s * s);
            turned[k] = weighted[k] * std::complex<double>(0.0, -1.0);
        }
        Waveform re(static_cast<std::size_t>(length)), im(static_cast<std::size_t>(length));
        auto inverse = InverseTransform::Design(length, weighted.data(), re.data());
        if (!inverse) return TimeViews{};
        inverse.value().Run(weighted.data(), re.data());
        inverse.value().Run(turned.data(), im.data());
        etc.resize(static_cast<std::size_t>(size));
        for (std::size_t n = 0; n < etc.size(); ++n) etc[n] = re[n] * re[n] + im[n] * im[n];
    }
    const double relative = static_cast<double>(direct - start);
    std::size_t peak = 0;
    double directPower = 0.0;
    if (!etc.empty()) {
        const auto reach = static_cast<std::int64_t>(std::llround(kDirectSearchSeconds * rate));
        const auto from =
            static_cast<std::size_t>(std::max<std::int64_t>(0, direct - start - reach));
        const auto to =
            static_cast<std::size_t>(std::min<std::int64_t>(size - 1, direct - start + reach));
        peak = static_cast<std::size_t>(
            std::max_element(etc.begin() + static_cast<std::ptrdiff_t>(from),
                             etc.begin() + static_cast<std::ptrdiff_t>(to) + 1) -
            etc.begin());
        directPower = etc[peak];
    }
    if (!etc.empty() && directPower > 0.0) {
        const auto tail = static_cast<std::size_t>(std::llround(kNoiseTailSeconds * rate));
        if (etc.size() >= peak + 2 * tail) {
            double sum = 0.0;
            for (std::size_t n = etc.size() - tail; n < etc.size(); ++n) sum += etc[n];
            views.noiseFloorDb = Db(sum / static_cast<double>(tail) / directPower);
        }
        // In dB only as far as the reflections and the picture look.
        const auto window = static_cast<std::size_t>(
            std::llround(std::max(2.0 * kReflectionWindowSeconds, kEtcPictureSeconds) * rate));
        etc.resize(std::min(etc.size(), peak + window + 2));
        for (double& e : etc) e = Db(e / directPower);
        FindReflections(views, etc, peak, rate);
        views.etcStepSeconds = 1.0 / rate;
        const auto shown = static_cast<std::size_t>(std::llround(kEtcPictureSeconds * rate));
        for (std::size_t n = peak; n < etc.size() && n <= peak + shown; ++n) {
            views.etcDb.push_back(static_cast<float>(etc[n]));
        }
    } else {
        views.reflectionsGap = etc.empty() ? TimeGap::kNotSwept : TimeGap::kBadInput;
        views.initialGapGap = views.reflectionsGap;
    }

    // The response reduced to the waterfall's rate: the bins below its
    // Nyquist frequency, falling to zero over its top fifth.
    Spectrum reducedBins(static_cast<std::size_t>(reducedLength / 2 + 1));
    for (std::size_t k = 0; k < reducedBins.size(); ++k) {
        const double f = static_cast<double>(k) * spacing;
        const double edge = 0.4 * reducedRate;
        const double w =
            f <= edge ? 1.0 : std::pow(std::cos(0.5 * kPi * (f - edge) / (0.1 * reducedRate)), 2);
        reducedBins[k] = bins[k] * (f < 0.5 * reducedRate ? w / static_cast<double>(length) : 0.0);
    }
    Waveform reduced(static_cast<std::size_t>(reducedLength));
    auto inverse = InverseTransform::Design(reducedLength, reducedBins.data(), reduced.data());
    if (inverse) {
        inverse.value().Run();
        MakeWaterfall(views, reduced, relative / static_cast<double>(factor),
                      static_cast<std::size_t>(size / factor), reducedRate);
    }
    FindModes(views, points, sweptLowHz, sweptHighHz,
              views.waterfall.levels.empty() ? TimeGap::kTooShort : TimeGap::kNone);
    return views;
}
