#include "analysis/correction.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include <nlopt.h>

#include "analysis/position_average.h"

std::optional<BiquadCoefficients> CorrectionBiquad(const PeakingFilter& filter) {
    return DesignBiquad({BiquadType::peaking, filter.frequency, filter.gainDb, filter.q},
                        kCorrectionRate);
}

double CorrectionGainDb(std::span<const PeakingFilter> filters, double frequency) {
    const std::complex<double> z1 =
        std::polar(1.0, -2.0 * std::numbers::pi * frequency / kCorrectionRate);
    double level = 0.0;
    for (const PeakingFilter& filter : filters) {
        const std::optional<BiquadCoefficients> b = CorrectionBiquad(filter);
        if (!b) continue;
        const std::complex<double> h =
            (b->b0 + b->b1 * z1 + b->b2 * z1 * z1) / (1.0 + b->a1 * z1 + b->a2 * z1 * z1);
        level += 10.0 * std::log10(std::norm(h));
    }
    return level;
}

double LargestBoostDb(std::span<const PeakingFilter> filters) {
    // A peaking filter's largest level is at its centre; in series they
    // may add up between centres, so the whole band is scanned as well.
    double largest = 0.0;
    for (const PeakingFilter& filter : filters) {
        largest = std::max(largest, CorrectionGainDb(filters, filter.frequency));
    }
    for (double f = 10.0; f < kCorrectionRate / 2; f *= std::exp2(1.0 / 96.0)) {
        largest = std::max(largest, CorrectionGainDb(filters, f));
    }
    return largest;
}

namespace {

// One point the design fits: its frequency's cos w and cos 2w at
// kCorrectionRate, the response and the target there (dB).
struct FitPoint {
    double frequency;
    double cos1;
    double cos2;
    double responseDb;
    double targetDb;
    // A dip that cuts cannot fill: its cost is only how much deeper the
    // filters make it, so that they neither chase it nor dig into it.
    bool dip = false;
};

// |H|^2 of a biquad from cos w and cos 2w (a0 = 1).
double PowerAt(const BiquadCoefficients& c, double cos1, double cos2) {
    const double numerator = c.b0 * c.b0 + c.b1 * c.b1 + c.b2 * c.b2 +
                             2.0 * (c.b0 * c.b1 + c.b1 * c.b2) * cos1 + 2.0 * c.b0 * c.b2 * cos2;
    const double denominator =
        1.0 + c.a1 * c.a1 + c.a2 * c.a2 + 2.0 * (c.a1 + c.a1 * c.a2) * cos1 + 2.0 * c.a2 * cos2;
    return numerator / denominator;
}

// The filters' level at every fit point (dB).
void LevelsAt(std::span<const PeakingFilter> filters, std::span<const FitPoint> points,
              std::vector<double>& levels) {
    levels.assign(points.size(), 0.0);
    for (const PeakingFilter& filter : filters) {
        const std::optional<BiquadCoefficients> c = CorrectionBiquad(filter);
        if (!c) continue;
        for (std::size_t i = 0; i < points.size(); ++i) {
            levels[i] += 10.0 * std::log10(PowerAt(*c, points[i].cos1, points[i].cos2));
        }
    }
}

FitPoint PointAt(double frequency, double responseDb, double targetDb) {
    const double w = 2.0 * std::numbers::pi * frequency / kCorrectionRate;
    return {frequency, std::cos(w), std::cos(2.0 * w), responseDb, targetDb, false};
}

double LevelOf(double power) {
    return power > 0.0 ? std::max(kFloorDb, 10.0 * std::log10(power)) : kFloorDb;
}

// The response as a power mean over `width` octaves around f (each point
// weighted by its frequency).
double SmoothedAt(std::span<const ResponsePoint> response, double f, double width) {
    const double half = std::exp2(width / 2.0);
    return LevelOf(GridBandPower(response, f / half, f * half));
}

// Points at 1/perOctave octave from low up to high.
std::vector<double> Steps(double low, double high, int perOctave) {
    std::vector<double> steps;
    if (!(low > 0.0) || !(high >= low)) return steps;
    const auto count = static_cast<int>(std::floor(std::log2(high / low) * perOctave + 1e-9)) + 1;
    for (int i = 0; i < count; ++i)
        steps.push_back(low * std::exp2(static_cast<double>(i) / perOctave));
    return steps;
}

// What the optimiser needs: the points, the plan, and the filters that stay
// as they are while the others are fitted.
struct Fit {
    std::span<const FitPoint> points;
    const CorrectionPlan* plan;
    std::vector<PeakingFilter> filters;  // the current ones, rewritten from x
    std::vector<double> levels;
};

double Cost(unsigned n, const double* x, double* /*gradient*/, void* data) {
    Fit& fit = *static_cast<Fit*>(data);
    for (unsigned k = 0; k < n / 3; ++k) {
        fit.filters[k] = {std::exp2(x[3 * k]), x[3 * k + 1], std::exp2(x[3 * k + 2])};
    }
    LevelsAt(fit.filters, fit.points, fit.levels);
    double cost = 0.0;
    for (std::size_t i = 0; i < fit.points.size(); ++i) {
        const double d = fit.points[i].responseDb + fit.levels[i] - fit.points[i].targetDb;
        if (fit.points[i].dip) {
            const double deeper = std::min(fit.levels[i], 0.0);
            cost += deeper * deeper;
        } else {
            cost += d * d;
        }
        // The filters together never lift the response more than allowed.
        const double over = fit.levels[i] - fit.plan->maxBoostDb;
        if (over > 0.0) cost += 100.0 * over * over;
    }
    return cost;
}

// Fits every filter at once, from where they stand, within the plan's bounds.
void Refine(std::vector<PeakingFilter>& filters, std::span<const FitPoint> points,
            const CorrectionPlan& plan, int evaluations) {
    const unsigned n = static_cast<unsigned>(3 * filters.size());
    nlopt_opt optimiser = nlopt_create(NLOPT_LN_BOBYQA, n);
    if (optimiser == nullptr) return;
    std::vector<double> x(n), lower(n), upper(n);
    for (std::size_t k = 0; k < filters.size(); ++k) {
        lower[3 * k] = std::log2(plan.low);
        upper[3 * k] = std::log2(plan.high);
        lower[3 * k + 1] = -kDeepestCutDb;
        upper[3 * k + 1] = plan.maxBoostDb;
        lower[3 * k + 2] = std::log2(plan.lowestQ);
        upper[3 * k + 2] = std::log2(plan.highestQ);
        x[3 * k] = std::clamp(std::log2(filters[k].frequency), lower[3 * k], upper[3 * k]);
        x[3 * k + 1] = std::clamp(filters[k].gainDb, lower[3 * k + 1], upper[3 * k + 1]);
        x[3 * k + 2] = std::clamp(std::log2(filters[k].q), lower[3 * k + 2], upper[3 * k + 2]);
    }
    Fit fit{points, &plan, filters, {}};
    nlopt_set_lower_bounds(optimiser, lower.data());
    nlopt_set_upper_bounds(optimiser, upper.data());
    nlopt_set_min_objective(optimiser, Cost, &fit);
    nlopt_set_maxeval(optimiser, evaluations);
    nlopt_set_xtol_rel(optimiser, 1e-6);
    double cost = 0.0;
    if (nlopt_optimize(optimiser, x.data(), &cost) > 0) {
        for (std::size_t k = 0; k < filters.size(); ++k) {
            filters[k] = {std::exp2(x[3 * k]), x[3 * k + 1], std::exp2(x[3 * k + 2])};
        }
    }
    nlopt_destroy(optimiser);
}

// The point the next filter goes to: the largest deviation a filter may
// still correct (a peak; a dip only where boosts are allowed and the
// filters have not reached the largest boost there), or none when every
// such deviation is within the tolerance.
std::optional<std::size_t> Worst(std::span<const FitPoint> points, std::span<const double> levels,
                                 const CorrectionPlan& plan) {
    std::optional<std::size_t> worst;
    double excess = plan.toleranceDb;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double d = points[i].responseDb + levels[i] - points[i].targetDb;
        const bool liftable = plan.maxBoostDb > 0.0 && levels[i] < plan.maxBoostDb - 0.05;
        const double fixable = d > 0.0 ? d : (liftable ? -d : 0.0);
        if (fixable > excess) {
            excess = fixable;
            worst = i;
        }
    }
    return worst;
}

// A first guess of the filter for the deviation at point i: its centre
// there, the opposite gain, and the Q of the width at half that deviation.
PeakingFilter Guess(std::span<const FitPoint> points, std::span<const double> levels, std::size_t i,
                    const CorrectionPlan& plan) {
    const auto deviation = [&](std::size_t k) {
        return points[k].responseDb + levels[k] - points[k].targetDb;
    };
    const double d = deviation(i);
    std::size_t left = i, right = i;
    while (left > 0 && std::fabs(deviation(left - 1)) > std::fabs(d) / 2 &&
           deviation(left - 1) * d > 0) {
        --left;
    }
    while (right + 1 < points.size() && std::fabs(deviation(right + 1)) > std::fabs(d) / 2 &&
           deviation(right + 1) * d > 0) {
        ++right;
    }
    const double width = points[right].frequency * std::exp2(1.0 / 96.0) -
                         points[left].frequency / std::exp2(1.0 / 96.0);
    const double q = std::clamp(points[i].frequency / width, plan.lowestQ, plan.highestQ);
    return {points[i].frequency, std::clamp(-d, -kDeepestCutDb, plan.maxBoostDb), q};
}

}  // namespace

Outcome<CorrectionDesign, CorrectionRefusal> DesignCorrection(
    std::span<const ResponsePoint> response, const CorrectionPlan& plan) {
    if (plan.maxFilters < 1 || plan.maxFilters > kMostCorrectionFilters ||
        !(plan.maxBoostDb >= 0.0 && plan.maxBoostDb <= kLargestCorrectionBoostDb) ||
        !(plan.lowestQ > 0.0 && plan.lowestQ <= plan.highestQ) || !std::isfinite(plan.highestQ) ||
        !(plan.toleranceDb > 0.0)) {
        return Fail(CorrectionRefusal::BadPlan);
    }
    if (!(plan.low > 0.0) || !(plan.low < plan.high) || !std::isfinite(plan.high)) {
        return Fail(CorrectionRefusal::RangeEmpty);
    }
    if (response.size() < 2 || plan.low < response.front().frequency * (1.0 - 1e-9) ||
        plan.high > response.back().frequency * (1.0 + 1e-9) ||
        !(plan.high < kCorrectionRate / 2)) {
        return Fail(CorrectionRefusal::RangeOutsideResponse);
    }
    // The target's level: the response's power mean over the octave above
    // the range (as far as the response reaches), the shape's own mean
    // there taken out.
    const auto shape = [&plan](double f) {
        return plan.target != nullptr ? GainAt(*plan.target, f) : 0.0;
    };
    const double top = std::min(2.0 * plan.high, response.back().frequency);
    const double reference = GridBandPower(response, plan.high, top);
    if (!(top > plan.high * std::exp2(1.0 / 12.0)) || !(reference > 0.0)) {
        return Fail(CorrectionRefusal::NoReferenceOctave);
    }
    double shapePower = 0.0, weights = 0.0;
    for (const double f : Steps(plan.high, top, 96)) {
        shapePower += f * std::pow(10.0, shape(f) / 10.0);
        weights += f;
    }
    CorrectionDesign design;
    design.targetLevelDb = LevelOf(reference) - LevelOf(shapePower / weights);

    // The fit, at 1/48 octave over the range.
    std::vector<FitPoint> points;
    for (const double f : Steps(plan.low, plan.high, 48)) {
        points.push_back(
            PointAt(f, SmoothedAt(response, f, 1.0 / 48.0), design.targetLevelDb + shape(f)));
    }
    if (points.size() < 2) return Fail(CorrectionRefusal::RangeEmpty);
    if (plan.maxBoostDb == 0.0) {
        for (FitPoint& point : points) {
            point.dip = point.responseDb - point.targetDb < -plan.toleranceDb;
        }
    }
    std::vector<PeakingFilter> filters;
    std::vector<double> levels(points.size(), 0.0);
    while (static_cast<int>(filters.size()) < plan.maxFilters) {
        const std::optional<std::size_t> worst = Worst(points, levels, plan);
        if (!worst) break;
        filters.push_back(Guess(points, levels, *worst, plan));
        // The new filter alone, then all of them together.
        std::vector<PeakingFilter> added = {filters.back()};
        std::vector<FitPoint> others = points;
        std::vector<double> before;
        LevelsAt(std::span(filters).first(filters.size() - 1), points, before);
        for (std::size_t i = 0; i < others.size(); ++i) others[i].responseDb += before[i];
        Refine(added, others, plan, 400);
        filters.back() = added.front();
        Refine(filters, points, plan, 150 * static_cast<int>(filters.size()));
        LevelsAt(filters, points, levels);
    }
    design.correction.filters = filters;
    // In steps of 0.1 dB, rounded towards more headroom.
    design.correction.preampDb = -std::ceil(LargestBoostDb(filters) * 10.0 - 1e-9) / 10.0 + 0.0;

    // What the design makes of the response: the deviations at 1/12 octave
    // over the range, and the curves for the picture at 1/48 octave.
    std::vector<ResponsePoint> corrected(response.begin(), response.end());
    for (ResponsePoint& point : corrected) {
        point.magnitudeDb += CorrectionGainDb(filters, point.frequency);
    }
    const auto deviation = [&](std::span<const ResponsePoint> curve) {
        Deviation result;
        double squares = 0.0;
        int count = 0;
        for (const double f : Steps(plan.low, plan.high, 12)) {
            const double d = SmoothedAt(curve, f, 1.0 / 12.0) - design.targetLevelDb - shape(f);
            result.largestDb = std::max(result.largestDb, std::fabs(d));
            result.highestDb = std::max(result.highestDb, d);
            squares += d * d;
            ++count;
        }
        result.rmsDb = count > 0 ? std::sqrt(squares / count) : 0.0;
        return result;
    };
    design.before = deviation(response);
    design.after = deviation(corrected);
    for (const double f : Steps(response.front().frequency, response.back().frequency, 48)) {
        design.measured.push_back({f, SmoothedAt(response, f, 1.0 / 48.0), 0.0});
        design.predicted.push_back({f, SmoothedAt(corrected, f, 1.0 / 48.0), 0.0});
        if (f >= plan.low && f <= plan.high) {
            design.target.push_back({f, design.targetLevelDb + shape(f), 0.0});
        }
    }
    return design;
}
