#pragma once

// Second-order filters of the audio-EQ cookbook (R. Bristow-Johnson): the
// analogue prototypes mapped to the sampled domain by the bilinear transform,
// with the frequency warped so that the centre or corner lands where asked.

#include <cstdint>
#include <optional>
#include <span>

enum class BiquadType { peaking, lowshelf, highshelf, highpass, lowpass };

// One filter as described: frequency in Hz, gain in dB (used by peaking and
// the shelves), quality factor Q.
struct BiquadSpec {
    BiquadType type;
    double freq;
    double gain;
    double q;
};

// Coefficients normalised so that a0 = 1:
// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
struct BiquadCoefficients {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

// The coefficients of `filter` at `rate` Hz; none when the rate is not
// positive, the frequency is not strictly between 0 and rate / 2, Q is not
// positive, or a value is not finite.
std::optional<BiquadCoefficients> DesignBiquad(const BiquadSpec& filter, double rate);

// Runs input through the sections in series (transposed direct form II),
// times gain, into output (as much of it as both hold), each sample
// rounded and kept within +-limit. Returns the largest magnitude the
// filtered signal reached before it was kept within the limit.
double FilterSamples(std::span<const BiquadCoefficients> sections, double gain,
                     std::span<const std::int64_t> input, std::span<std::int64_t> output,
                     double limit);
