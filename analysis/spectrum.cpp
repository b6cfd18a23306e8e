#include "analysis/spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

// FFTW's planner is not thread-safe; plans are made and destroyed under this.
std::mutex plannerLock;

// FFTW works out a transform's twiddle factors when it plans it (about
// 10 ms for the length of a default run) and shares them among the plans of
// that length that exist at the same time. The latest long plan of each
// direction is therefore kept, never run, so that the next plans of that
// length, in this run and in the next, find them ready.
constexpr std::int64_t kShortestKept = 1 << 16;

class PlanKeeper {
  public:
    PlanKeeper() = default;
    PlanKeeper(const PlanKeeper&) = delete;
    PlanKeeper& operator=(const PlanKeeper&) = delete;
    ~PlanKeeper() { Replace(nullptr, 0, false); }

    // Under plannerLock: whether a plan of this length and layout is kept.
    bool Keeps(std::int64_t length, bool inPlace) const {
        return plan_ != nullptr && length_ == length && inPlace_ == inPlace;
    }
    // Under plannerLock: keeps plan (made for this purpose) instead.
    void Replace(fftw_plan plan, std::int64_t length, bool inPlace) {
        if (plan_ != nullptr) fftw_destroy_plan(plan_);
        plan_ = plan;
        length_ = length;
        inPlace_ = inPlace;
    }

  private:
    fftw_plan plan_ = nullptr;
    std::int64_t length_ = 0;
    bool inPlace_ = false;
};

PlanKeeper forwardKept;
PlanKeeper inverseKept;

bool LengthUsable(std::int64_t length) {
    return length >= 1 && length <= kLongestTransform;
}

fftw_complex* FftwView(std::complex<double>* bins) {
    return reinterpret_cast<fftw_complex*>(bins);
}

template <typename Values>
double MeanOver(const Values& values, BinRange range, auto power) {
    if (range.first > range.last || range.first < 0 ||
        range.last >= static_cast<std::int64_t>(values.size())) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::int64_t k = range.first; k <= range.last; ++k) {
        sum += power(values[static_cast<std::size_t>(k)]);
    }
    return sum / static_cast<double>(range.last - range.first + 1);
}

}  // namespace

void spectrum_detail::PlanRelease::operator()(void* plan) const {
    std::lock_guard<std::mutex> guard(plannerLock);
    fftw_destroy_plan(static_cast<fftw_plan>(plan));
}

void* ObtainTransformMemory(std::size_t bytes) {
    return fftw_malloc(bytes);
}

void ReleaseTransformMemory(void* memory) {
    fftw_free(memory);
}

std::int64_t FastTransformLength(std::int64_t minimum, std::int64_t limit) {
    minimum = std::max<std::int64_t>(minimum, 1);
    limit = std::min<std::int64_t>(limit, std::numeric_limits<std::int64_t>::max() / 8);
    if (minimum > limit) return 0;
    std::int64_t best = 0;
    for (std::int64_t p5 = 1; p5 <= limit; p5 *= 5) {
        for (std::int64_t p35 = p5; p35 <= limit; p35 *= 3) {
            std::int64_t length = p35;
            while (length < minimum) length *= 2;
            if (length <= limit && (best == 0 || length < best)) best = length;
        }
    }
    return best;
}

Outcome<ForwardTransform, TransformFailure> ForwardTransform::Design(std::int64_t length,
                                                                     double* real,
                                                                     std::complex<double>* bins) {
    if (!LengthUsable(length)) return Fail(TransformFailure::BadLength);
    fftw_plan plan = nullptr;
    {
        std::lock_guard<std::mutex> guard(plannerLock);
        plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), real, FftwView(bins), FFTW_ESTIMATE);
        const bool inPlace = static_cast<void*>(real) == static_cast<void*>(bins);
        if (plan != nullptr && length >= kShortestKept && !forwardKept.Keeps(length, inPlace)) {
            forwardKept.Replace(
                fftw_plan_dft_r2c_1d(static_cast<int>(length), real, FftwView(bins), FFTW_ESTIMATE),
                length, inPlace);
        }
    }
    if (plan == nullptr) return Fail(TransformFailure::NotPlanned);
    return ForwardTransform(spectrum_detail::PlanHandle(plan), length);
}

void ForwardTransform::Run() {
    fftw_execute(static_cast<fftw_plan>(plan_.get()));
}

void ForwardTransform::Run(double* real, std::complex<double>* bins) const {
    fftw_execute_dft_r2c(static_cast<fftw_plan>(plan_.get()), real, FftwView(bins));
}

Outcome<InverseTransform, TransformFailure> InverseTransform::Design(std::int64_t length,
                                                                     std::complex<double>* bins,
                                                                     double* real) {
    if (!LengthUsable(length)) return Fail(TransformFailure::BadLength);
    fftw_plan plan = nullptr;
    {
        std::lock_guard<std::mutex> guard(plannerLock);
        plan = fftw_plan_dft_c2r_1d(static_cast<int>(length), FftwView(bins), real, FFTW_ESTIMATE);
        const bool inPlace = static_cast<void*>(real) == static_cast<void*>(bins);
        if (plan != nullptr && length >= kShortestKept && !inverseKept.Keeps(length, inPlace)) {
            inverseKept.Replace(
                fftw_plan_dft_c2r_1d(static_cast<int>(length), FftwView(bins), real, FFTW_ESTIMATE),
                length, inPlace);
        }
    }
    if (plan == nullptr) return Fail(TransformFailure::NotPlanned);
    return InverseTransform(spectrum_detail::PlanHandle(plan), length);
}

void InverseTransform::Run() {
    fftw_execute(static_cast<fftw_plan>(plan_.get()));
}

void InverseTransform::Run(std::complex<double>* bins, double* real) const {
    fftw_execute_dft_c2r(static_cast<fftw_plan>(plan_.get()), FftwView(bins), real);
}

std::int64_t ClampIndex(double value, std::int64_t last) {
    if (!(value > 0.0)) return 0;  // also NaN
    if (value >= static_cast<double>(last)) return last;
    return static_cast<std::int64_t>(value);
}

BinRange BinsWithin(double low, double high, double spacing, std::int64_t lastBin) {
    BinRange range;
    if (!(low <= high) || !(spacing > 0.0)) return range;
    const double firstValue = std::ceil(low / spacing);
    const double lastValue = std::floor(high / spacing);
    if (!(firstValue <= lastValue) || lastValue < 0.0 ||
        firstValue > static_cast<double>(lastBin)) {
        return range;
    }
    range.first = ClampIndex(firstValue, lastBin);
    range.last = ClampIndex(lastValue, lastBin);
    return range;
}

double MeanPower(std::span<const std::complex<double>> bins, BinRange range) {
    return MeanOver(bins, range,
                    [](const std::complex<double>& value) { return std::norm(value); });
}

double MeanPower(std::span<const double> power, BinRange range) {
    return MeanOver(power, range, [](double value) { return value; });
}
