#include "rig/rig_convolver.h"

#include <algorithm>
#include <bit>
#include <cstring>

RigConvolver::RigConvolver(const std::vector<double>& ir) : taps_(ir.size()) {
    if (taps_ > kDirectTaps && DesignPartitions(ir)) return;
    block_ = 0;
    partitions_ = 0;
    bins_ = 0;
    timeBuffer_ = Waveform();
    freqBuffer_ = Spectrum();
    ir_ = ir;
    history_.assign(std::max<std::size_t>(taps_, 1), 0.0);
}

bool RigConvolver::DesignPartitions(const std::vector<double>& ir) {
    // One partition for a response up to kMaxBlock taps, else blocks of
    // kMaxBlock: the work per sample is then one spectral product per
    // partition plus the transforms of a block.
    block_ = std::min(kMaxBlock, std::bit_ceil(taps_));
    partitions_ = (taps_ + block_ - 1) / block_;
    bins_ = block_ + 1;
    const std::size_t size = 2 * block_;
    timeBuffer_.resize(size);
    freqBuffer_.resize(bins_);
    const auto length = static_cast<std::int64_t>(size);
    auto forward = ForwardTransform::Design(length, timeBuffer_.data(), freqBuffer_.data());
    auto inverse = InverseTransform::Design(length, freqBuffer_.data(), timeBuffer_.data());
    if (!forward || !inverse) return false;
    forward_.emplace(std::move(forward.value()));
    inverse_.emplace(std::move(inverse.value()));
    irSpectra_.assign(partitions_ * 2 * bins_, 0.0);
    inputSpectra_.assign(partitions_ * 2 * bins_, 0.0);
    olderSum_.assign(2 * bins_, 0.0);
    previous_.assign(block_, 0.0);
    current_.assign(block_, 0.0);
    // Partition k holds taps kB .. kB + B - 1, zero-padded to 2B; the inverse
    // transform's factor 2B is taken out here once.
    const double scale = 1.0 / static_cast<double>(size);
    for (std::size_t k = 0; k < partitions_; ++k) {
        std::fill(timeBuffer_.begin(), timeBuffer_.end(), 0.0);
        const std::size_t first = k * block_;
        const std::size_t count = std::min(block_, taps_ - first);
        for (std::size_t i = 0; i < count; ++i) timeBuffer_[i] = ir[first + i] * scale;
        forward_->Run();
        std::memcpy(&irSpectra_[k * 2 * bins_], freqBuffer_.data(), 2 * bins_ * sizeof(double));
    }
    return true;
}

RigConvolver::~RigConvolver() = default;

void RigConvolver::Reset() {
    if (block_ == 0) {
        std::fill(history_.begin(), history_.end(), 0.0);
        historyPos_ = 0;
        return;
    }
    std::fill(inputSpectra_.begin(), inputSpectra_.end(), 0.0);
    std::fill(olderSum_.begin(), olderSum_.end(), 0.0);
    std::fill(previous_.begin(), previous_.end(), 0.0);
    std::fill(current_.begin(), current_.end(), 0.0);
    filled_ = 0;
    blockIndex_ = 0;
}

void RigConvolver::Process(const double* in, double* out, std::size_t count) {
    if (block_ == 0) {
        ProcessDirect(in, out, count);
        return;
    }
    while (count > 0) {
        const std::size_t from = filled_;
        const std::size_t n = std::min(count, block_ - filled_);
        std::copy(in, in + n, current_.begin() + static_cast<std::ptrdiff_t>(from));
        filled_ += n;
        ProcessPartial(from, out);
        if (filled_ == block_) CompleteBlock();
        in += n;
        out += n;
        count -= n;
    }
}

void RigConvolver::ProcessDirect(const double* in, double* out, std::size_t count) {
    const std::size_t n = history_.size();
    for (std::size_t i = 0; i < count; ++i) {
        historyPos_ = historyPos_ + 1 == n ? 0 : historyPos_ + 1;
        history_[historyPos_] = in[i];
        double y = 0.0;
        std::size_t at = historyPos_;
        for (std::size_t k = 0; k < taps_; ++k) {
            y += ir_[k] * history_[at];
            at = at == 0 ? n - 1 : at - 1;
        }
        out[i] = y;
    }
}

void RigConvolver::ProcessPartial(std::size_t from, double* out) {
    // The window [previous block, current block with zeros after filled_].
    double* window = timeBuffer_.data();
    std::copy(previous_.begin(), previous_.end(), window);
    std::copy(current_.begin(), current_.begin() + static_cast<std::ptrdiff_t>(filled_),
              window + block_);
    std::fill(window + block_ + filled_, window + 2 * block_, 0.0);
    forward_->Run();
    if (filled_ == block_) {
        // The complete window's spectrum is the history's newest entry.
        const std::size_t slot = static_cast<std::size_t>(blockIndex_ % partitions_);
        std::memcpy(&inputSpectra_[slot * 2 * bins_], freqBuffer_.data(),
                    2 * bins_ * sizeof(double));
    }
    // Partition 0 with this window, plus the older partitions' sum.
    double* x = reinterpret_cast<double*>(freqBuffer_.data());
    const double* h = irSpectra_.data();
    const double* older = olderSum_.data();
    for (std::size_t b = 0; b < bins_; ++b) {
        const double xr = x[2 * b], xi = x[2 * b + 1];
        const double hr = h[2 * b], hi = h[2 * b + 1];
        x[2 * b] = xr * hr - xi * hi + older[2 * b];
        x[2 * b + 1] = xr * hi + xi * hr + older[2 * b + 1];
    }
    inverse_->Run();
    // Overlap-save: the second half of the window is valid.
    std::copy(window + block_ + from, window + block_ + filled_, out);
}

void RigConvolver::CompleteBlock() {
    std::swap(previous_, current_);
    filled_ = 0;
    ++blockIndex_;
    // The next block m sums the window spectra of blocks m-1 .. m-P+1, each
    // times partition 1 .. P-1.
    std::fill(olderSum_.begin(), olderSum_.end(), 0.0);
    double* acc = olderSum_.data();
    const std::size_t stride = 2 * bins_;
    for (std::size_t k = 1; k < partitions_; ++k) {
        if (blockIndex_ < k) break;  // before the first block: silence
        const std::size_t slot = static_cast<std::size_t>((blockIndex_ - k) % partitions_);
        const double* x = &inputSpectra_[slot * stride];
        const double* h = &irSpectra_[k * stride];
        for (std::size_t b = 0; b < stride; b += 2) {
            const double xr = x[b], xi = x[b + 1];
            const double hr = h[b], hi = h[b + 1];
            acc[b] += xr * hr - xi * hi;
            acc[b + 1] += xr * hi + xi * hr;
        }
    }
}
