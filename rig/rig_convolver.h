#pragma once

// Convolution of a stream with a fixed impulse response, without delay: each
// call returns the outputs of exactly the samples it was given.
//
// A response of a handful of taps is convolved directly. A longer one is cut
// into partitions of `block` taps and convolved by uniformly partitioned
// overlap-save: the spectrum of each input window of two blocks is kept for
// as many blocks as there are partitions, and the output of a block is the
// inverse transform of the sum of those spectra times the partitions'
// spectra. Everything that depends on completed blocks only is summed once
// per block; a block still being filled is transformed with its missing
// samples as zeros, which gives the exact outputs of the samples it holds.
// A response whose transforms cannot be designed is convolved directly.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/spectrum.h"

class RigConvolver {
  public:
    // Responses up to this many taps are convolved directly.
    static constexpr std::size_t kDirectTaps = 16;
    // Largest partition, in taps.
    static constexpr std::size_t kMaxBlock = 4096;

    // Designs the transforms (under the spectrum toolkit's lock, with
    // FFTW_ESTIMATE) and the partitions' spectra. `ir` must not be empty.
    // Not for a real-time thread.
    explicit RigConvolver(const std::vector<double>& ir);
    ~RigConvolver();
    RigConvolver(const RigConvolver&) = delete;
    RigConvolver& operator=(const RigConvolver&) = delete;

    // Convolves the next `count` input samples into out[0..count): out[i] is
    // the sum over taps k of ir[k] times the input `k` samples before in[i]
    // (silence before the first sample since construction or Reset).
    // in and out may be the same array. Allocates nothing.
    void Process(const double* in, double* out, std::size_t count);

    // Forgets the input: what follows is convolved as if after silence.
    void Reset();

    std::size_t Taps() const { return taps_; }
    // Partition length; 0 when the response is convolved directly.
    std::size_t Block() const { return block_; }

  private:
    // Partitions of up to kMaxBlock taps; false when the transforms cannot
    // be designed.
    bool DesignPartitions(const std::vector<double>& ir);
    void ProcessDirect(const double* in, double* out, std::size_t count);
    // Outputs of cur_[from..filled_) into out, with filled_ samples held.
    void ProcessPartial(std::size_t from, double* out);
    // After a block is complete: its window's spectrum joins the history and
    // the next block's sum over the older partitions is formed.
    void CompleteBlock();

    std::size_t taps_ = 0;
    std::size_t block_ = 0;       // B: taps per partition
    std::size_t partitions_ = 0;  // P
    std::size_t bins_ = 0;        // B + 1 complex values per spectrum

    // Direct convolution: the response and a circular input history.
    std::vector<double> ir_;
    std::vector<double> history_;
    std::size_t historyPos_ = 0;

    // Partitioned: spectra as interleaved (re, im) pairs, 2 * bins_ doubles.
    std::vector<double> irSpectra_;     // P spectra, scaled by 1 / (2B)
    std::vector<double> inputSpectra_;  // P spectra; block j in slot j % P
    std::vector<double> olderSum_;      // partitions 1..P-1 for the current block
    std::vector<double> previous_;      // the last complete block (B samples)
    std::vector<double> current_;       // the block being filled
    std::size_t filled_ = 0;
    std::uint64_t blockIndex_ = 0;             // index of the block being filled
    Waveform timeBuffer_;                      // 2B samples
    Spectrum freqBuffer_;                      // bins_ complex values
    std::optional<ForwardTransform> forward_;  // timeBuffer_ into freqBuffer_
    std::optional<InverseTransform> inverse_;  // freqBuffer_ into timeBuffer_
};
