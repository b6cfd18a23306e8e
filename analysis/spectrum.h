#pragma once

// The spectrum toolkit: transform memory, transform lengths, real
// transforms and the mean power over a range of bins. Every call into FFTW
// is made here.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "base/outcome.h"

// Memory the transforms can use at full speed (aligned for vector
// instructions).
void* ObtainTransformMemory(std::size_t bytes);
void ReleaseTransformMemory(void* memory);

template <typename T>
struct TransformAllocator {
    using value_type = T;
    TransformAllocator() = default;
    template <typename U>
    TransformAllocator(const TransformAllocator<U>&) {}
    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* memory = ObtainTransformMemory(count * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t) { ReleaseTransformMemory(memory); }
    template <typename U>
    bool operator==(const TransformAllocator<U>&) const {
        return true;
    }
};

using Spectrum = std::vector<std::complex<double>, TransformAllocator<std::complex<double>>>;
using Waveform = std::vector<double, TransformAllocator<double>>;

// The same memory seen as the other kind, for a transform in place: a
// spectrum of n / 2 + 1 bins holds n real values, and 2 (n / 2 + 1) real
// values hold the spectrum of n.
inline double* RealView(Spectrum& spectrum) {
    return reinterpret_cast<double*>(spectrum.data());
}
inline std::complex<double>* ComplexView(Waveform& waveform) {
    return reinterpret_cast<std::complex<double>*>(waveform.data());
}

// FFTW takes transform lengths as int.
constexpr std::int64_t kLongestTransform = std::numeric_limits<int>::max() - 2;

// Smallest length of the form 2^a 3^b 5^c at least minimum (minimum >= 1),
// or 0 when that exceeds limit.
std::int64_t FastTransformLength(std::int64_t minimum, std::int64_t limit);

enum class TransformFailure {
    BadLength,   // below 1 or above kLongestTransform
    NotPlanned,  // FFTW made no plan
};

namespace spectrum_detail {
// An FFTW plan, released under the toolkit's lock.
struct PlanRelease {
    void operator()(void* plan) const;
};
using PlanHandle = std::unique_ptr<void, PlanRelease>;
}  // namespace spectrum_detail

// The real transform of one length n, unscaled: the forward one takes n
// real values to the n / 2 + 1 bins of their spectrum (bin k at k / n
// cycles per sample), the inverse one takes such bins back to n real
// values times n. A transform is designed (FFTW_ESTIMATE, which leaves the
// arrays alone) for the arrays it is given: in place when the real values
// and the bins are the same memory, else out of place. It runs on those
// arrays, or on others of the same layout (in place or not, as designed)
// and alignment (from the transform memory). Designing and releasing are
// done under one lock of the whole toolkit; running needs none.
class ForwardTransform {
  public:
    static Outcome<ForwardTransform, TransformFailure> Design(std::int64_t length, double* real,
                                                              std::complex<double>* bins);
    std::int64_t Length() const { return length_; }
    // real[0..n) into bins[0..n / 2].
    void Run();
    void Run(double* real, std::complex<double>* bins) const;

  private:
    ForwardTransform(spectrum_detail::PlanHandle plan, std::int64_t length)
        : plan_(std::move(plan)), length_(length) {}
    spectrum_detail::PlanHandle plan_;
    std::int64_t length_ = 0;
};

class InverseTransform {
  public:
    static Outcome<InverseTransform, TransformFailure> Design(std::int64_t length,
                                                              std::complex<double>* bins,
                                                              double* real);
    std::int64_t Length() const { return length_; }
    // bins[0..n / 2] into real[0..n); out of place, the bins are
    // overwritten.
    void Run();
    void Run(std::complex<double>* bins, double* real) const;

  private:
    InverseTransform(spectrum_detail::PlanHandle plan, std::int64_t length)
        : plan_(std::move(plan)), length_(length) {}
    spectrum_detail::PlanHandle plan_;
    std::int64_t length_ = 0;
};

// Index clamped to [0, last] from a value that may be anything (NaN gives
// 0).
std::int64_t ClampIndex(double value, std::int64_t last);

// Lowest and highest bin with frequency in [low, high], or an empty range
// (first > last).
struct BinRange {
    std::int64_t first = 1;
    std::int64_t last = 0;
};

// The bins k = 0..lastBin at k times spacing (Hz) that lie in [low, high].
BinRange BinsWithin(double low, double high, double spacing, std::int64_t lastBin);

// The mean of |bin|^2, or of the power values, over the range, summed from
// its first bin up; 0 for a range that is empty or not wholly inside.
double MeanPower(std::span<const std::complex<double>> bins, BinRange range);
double MeanPower(std::span<const double> power, BinRange range);
