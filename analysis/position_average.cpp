#include "analysis/position_average.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double PowerOf(double levelDb) {
    return std::pow(10.0, levelDb / 10.0);
}

double LevelOf(double power) {
    return power > 0.0 ? std::max(kFloorDb, 10.0 * std::log10(power)) : kFloorDb;
}

// Mean, extremes and sample standard deviation of values.
ValueSpread SpreadOf(std::span<const double> values) {
    ValueSpread spread;
    spread.count = static_cast<int>(values.size());
    if (values.empty()) return spread;
    double sum = 0.0;
    spread.lowest = values[0];
    spread.highest = values[0];
    for (const double value : values) {
        sum += value;
        spread.lowest = std::min(spread.lowest, value);
        spread.highest = std::max(spread.highest, value);
    }
    spread.mean = sum / static_cast<double>(values.size());
    if (values.size() > 1) {
        double squares = 0.0;
        for (const double value : values) squares += (value - spread.mean) * (value - spread.mean);
        spread.deviation = std::sqrt(squares / static_cast<double>(values.size() - 1));
    }
    return spread;
}

// The point of an average at frequency whose positions read levels (dB).
SpreadPoint PointOf(double frequency, std::span<const double> levels) {
    const ValueSpread spread = SpreadOf(levels);
    SpreadPoint point;
    point.frequency = frequency;
    point.lowestDb = spread.lowest;
    point.highestDb = spread.highest;
    point.deviationDb = spread.deviation;
    return point;
}

// Power means over 1/pointsPerOctave octave of a rising response, at steps
// of that width from its first frequency, each point weighted by its
// frequency.
std::vector<ResponsePoint> SmoothGrid(std::span<const ResponsePoint> points, int pointsPerOctave) {
    std::vector<ResponsePoint> smoothed;
    if (points.empty()) return smoothed;
    const double first = points.front().frequency;
    const double last = points.back().frequency;
    const double halfStep = std::exp2(0.5 / pointsPerOctave);
    for (int i = 0;; ++i) {
        const double frequency = first * std::exp2(static_cast<double>(i) / pointsPerOctave);
        if (frequency > last * (1.0 + 1e-9)) break;
        ResponsePoint point;
        point.frequency = frequency;
        point.magnitudeDb =
            LevelOf(GridBandPower(points, frequency / halfStep, frequency * halfStep));
        smoothed.push_back(point);
    }
    return smoothed;
}

}  // namespace

Position PositionOf(const RunResult& result) {
    Position position;
    position.response = result.response;
    position.bandPowers.reserve(result.bands.size());
    for (const BandLevel& band : result.bands) {
        position.bandPowers.push_back(band.missing ? kNaN : band.power);
    }
    position.delaySeconds = result.rate > 0.0 ? result.delay.samples / result.rate : 0.0;
    for (std::size_t b = 0; b < result.acoustics.bands.size(); ++b) {
        const OctaveAcoustics& octave = result.acoustics.bands[b];
        position.acoustics[b][static_cast<int>(AveragedValue::T30)] = octave.t30.value;
        position.acoustics[b][static_cast<int>(AveragedValue::EDT)] = octave.edt.value;
        position.acoustics[b][static_cast<int>(AveragedValue::C80)] = octave.c80.value;
    }
    return position;
}

Exclusion ExclusionOf(const RunResult& result, std::int64_t damagingFaults) {
    if (result.transfer != TransferStatus::Ok || result.response.empty()) {
        return Exclusion::NoResponse;
    }
    if (damagingFaults > 0) return Exclusion::Dropouts;
    if (result.signal.clippedSamples > 0) return Exclusion::Clipped;
    if (result.signal.silent) return Exclusion::Silent;
    if (result.signal.tooLow) return Exclusion::TooLow;
    if (result.disturbance.known && result.disturbance.disturbed) return Exclusion::Disturbed;
    return Exclusion::None;
}

bool SameGrid(std::span<const ResponsePoint> a, std::span<const ResponsePoint> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(std::fabs(a[i].frequency - b[i].frequency) <= 1e-6 * a[i].frequency)) return false;
    }
    return true;
}

double GridBandPower(std::span<const ResponsePoint> points, double lower, double upper) {
    double weighted = 0.0;
    double weights = 0.0;
    for (const ResponsePoint& point : points) {
        if (point.frequency < lower || point.frequency > upper) continue;
        weighted += point.frequency * PowerOf(point.magnitudeDb);
        weights += point.frequency;
    }
    return weights > 0.0 ? weighted / weights : kNaN;
}

PositionAverage AveragePositions(std::span<const Position> positions, AverageKind kind,
                                 std::span<const double> lowerEdges,
                                 std::span<const double> upperEdges) {
    PositionAverage average;
    average.kind = kind;
    if (positions.empty()) return average;
    const Position& first = positions.front();
    for (const Position& position : positions) {
        if (!SameGrid(first.response, position.response) ||
            position.bandPowers.size() != first.bandPowers.size()) {
            return average;
        }
    }
    average.positions = positions.size();
    const std::size_t count = positions.size();

    // Point by point over the grid.
    std::vector<double> levels(count);
    average.response.reserve(first.response.size());
    for (std::size_t i = 0; i < first.response.size(); ++i) {
        double power = 0.0;
        std::complex<double> sum = 0.0;
        const double frequency = first.response[i].frequency;
        for (std::size_t p = 0; p < count; ++p) {
            const ResponsePoint& point = positions[p].response[i];
            levels[p] = point.magnitudeDb;
            power += PowerOf(point.magnitudeDb);
            // Moved back by the position's delay: a delay of t turns the
            // phase by -360 f t degrees.
            const double aligned =
                (point.phaseDegrees + 360.0 * frequency * positions[p].delaySeconds) *
                std::numbers::pi / 180.0;
            sum += std::polar(std::sqrt(PowerOf(point.magnitudeDb)), aligned);
        }
        SpreadPoint averaged = PointOf(frequency, levels);
        if (kind == AverageKind::Power) {
            averaged.levelDb = LevelOf(power / static_cast<double>(count));
        } else {
            const std::complex<double> mean = sum / static_cast<double>(count);
            averaged.levelDb = LevelOf(std::norm(mean));
            double phase = std::arg(mean) * 180.0 / std::numbers::pi;
            if (phase <= -180.0) phase += 360.0;
            averaged.phaseDegrees = phase;
        }
        average.response.push_back(averaged);
    }

    // The picture's curves.
    std::vector<ResponsePoint> averageCurve;
    averageCurve.reserve(average.response.size());
    for (const SpreadPoint& point : average.response) {
        averageCurve.push_back({point.frequency, point.levelDb, point.phaseDegrees});
    }
    const std::vector<ResponsePoint> smoothedAverage =
        SmoothGrid(averageCurve, kAveragePicturePerOctave);
    for (const Position& position : positions) {
        average.smoothedPositions.push_back(
            SmoothGrid(position.response, kAveragePicturePerOctave));
    }
    for (std::size_t i = 0; i < smoothedAverage.size(); ++i) {
        for (std::size_t p = 0; p < count; ++p) {
            levels[p] = average.smoothedPositions[p][i].magnitudeDb;
        }
        SpreadPoint point = PointOf(smoothedAverage[i].frequency, levels);
        point.levelDb = smoothedAverage[i].magnitudeDb;
        average.smoothed.push_back(point);
    }

    // The bands, relative to the average's loudest.
    const std::size_t bands =
        std::min({first.bandPowers.size(), lowerEdges.size(), upperEdges.size()});
    std::vector<double> bandPowers(bands, kNaN);
    double loudest = 0.0;
    for (std::size_t b = 0; b < bands; ++b) {
        double sum = 0.0;
        bool missing = false;
        for (const Position& position : positions) {
            missing = missing || std::isnan(position.bandPowers[b]);
            sum += position.bandPowers[b];
        }
        if (missing) continue;
        bandPowers[b] = kind == AverageKind::Power
                            ? sum / static_cast<double>(count)
                            : GridBandPower(averageCurve, lowerEdges[b], upperEdges[b]);
        if (bandPowers[b] > loudest) loudest = bandPowers[b];
    }
    average.bands.resize(bands);
    for (std::size_t b = 0; b < bands; ++b) {
        BandSpread& band = average.bands[b];
        if (std::isnan(bandPowers[b]) || !(bandPowers[b] > 0.0) || !(loudest > 0.0)) continue;
        for (std::size_t p = 0; p < count; ++p) {
            const double power = positions[p].bandPowers[b];
            levels[p] = power > 0.0 ? 10.0 * std::log10(power / loudest)
                                    : -std::numeric_limits<double>::infinity();
        }
        const ValueSpread spread = SpreadOf(levels);
        band.missing = false;
        // Adding +0.0 turns the loudest band's -0.0 into 0.0.
        band.level = 10.0 * std::log10(bandPowers[b] / loudest) + 0.0;
        band.lowest = spread.lowest;
        band.highest = spread.highest;
        band.deviationDb = std::isfinite(spread.deviation) ? spread.deviation : kNaN;
    }

    // The acoustics: each value's mean over the positions that gave it.
    std::vector<double> values;
    for (std::size_t o = 0; o < kOctaveBandCount; ++o) {
        for (std::size_t v = 0; v < kAveragedValueCount; ++v) {
            values.clear();
            for (const Position& position : positions) {
                if (position.acoustics[o][v]) values.push_back(*position.acoustics[o][v]);
            }
            average.acoustics[o][v] = SpreadOf(values);
        }
    }
    return average;
}

std::optional<CommonRange> SharedRange(std::span<const std::vector<ResponsePoint>> responses,
                                       std::size_t* apart) {
    CommonRange range{0.0, std::numeric_limits<double>::infinity()};
    for (std::size_t i = 0; i < responses.size(); ++i) {
        const std::vector<ResponsePoint>& points = responses[i];
        if (points.empty()) {
            if (apart != nullptr) *apart = i;
            return std::nullopt;
        }
        range.low = std::max(range.low, points.front().frequency);
        range.high = std::min(range.high, points.back().frequency);
        if (!(range.low < range.high)) {
            if (apart != nullptr) *apart = i;
            return std::nullopt;
        }
    }
    if (responses.empty()) return std::nullopt;
    return range;
}

std::vector<ResponsePoint> ResampleResponse(std::span<const ResponsePoint> points, double low,
                                            double high, int pointsPerOctave) {
    std::vector<ResponsePoint> resampled;
    if (points.size() < 2 || !(low > 0.0) || !(low < high) || !std::isfinite(high) ||
        pointsPerOctave < 1 || pointsPerOctave > 1000) {
        return resampled;
    }
    // The phase unwrapped along the points, so it interpolates across a
    // turn of 360 degrees.
    std::vector<double> phases(points.size());
    phases[0] = points[0].phaseDegrees;
    for (std::size_t i = 1; i < points.size(); ++i) {
        const double step = points[i].phaseDegrees - points[i - 1].phaseDegrees;
        phases[i] = phases[i - 1] + step - 360.0 * std::round(step / 360.0);
    }
    const double steps = std::log2(high / low) * pointsPerOctave;
    // A few dozen octaves at most: low > 0 and high finite bound it.
    const auto count = static_cast<std::int64_t>(std::floor(steps + 1e-9)) + 1;
    std::size_t below = 0;
    for (std::int64_t k = 0; k < count; ++k) {
        const double frequency = low * std::exp2(static_cast<double>(k) / pointsPerOctave);
        while (below + 2 < points.size() && points[below + 1].frequency <= frequency) ++below;
        const ResponsePoint& a = points[below];
        const ResponsePoint& b = points[below + 1];
        const double weight = std::clamp(
            std::log(frequency / a.frequency) / std::log(b.frequency / a.frequency), 0.0, 1.0);
        ResponsePoint point;
        point.frequency = frequency;
        point.magnitudeDb = a.magnitudeDb + weight * (b.magnitudeDb - a.magnitudeDb);
        double phase = phases[below] + weight * (phases[below + 1] - phases[below]);
        phase = std::remainder(phase, 360.0);
        if (phase <= -180.0) phase += 360.0;
        point.phaseDegrees = phase;
        resampled.push_back(point);
    }
    return resampled;
}
