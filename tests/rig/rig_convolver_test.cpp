// The convolver against the direct sum of the convolution, computed here in
// long double: random responses of lengths around the partition sizes, fed
// in blocks of odd sizes, give the same outputs within float rounding.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "rig/rig_convolver.h"

namespace {

std::vector<double> Random(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = d(gen);
    return v;
}

// y[n] = sum over k of h[k] x[n - k], x silent before 0.
std::vector<double> DirectSum(const std::vector<double>& h, const std::vector<double>& x) {
    std::vector<double> y(x.size());
    for (std::size_t n = 0; n < x.size(); ++n) {
        long double s = 0;
        for (std::size_t k = 0; k < h.size() && k <= n; ++k)
            s += static_cast<long double>(h[k]) * x[n - k];
        y[n] = static_cast<double>(s);
    }
    return y;
}

// Feeds x in blocks cycling through `blocks` and returns the outputs.
std::vector<double> Convolved(RigConvolver& c, const std::vector<double>& x,
                              const std::vector<std::size_t>& blocks) {
    std::vector<double> y(x.size(), NAN);
    std::size_t at = 0;
    for (std::size_t i = 0; at < x.size(); ++i) {
        const std::size_t n = std::min(blocks[i % blocks.size()], x.size() - at);
        c.Process(&x[at], &y[at], n);
        at += n;
    }
    return y;
}

// Float rounding of a sum of |h| |x| terms: relative 1e-7 of the largest
// possible output would pass a float convolution; double work is held to
// 1e-12 of it.
double Bound(const std::vector<double>& h) {
    double sum = 0;
    for (double v : h) sum += std::fabs(v);
    return 1e-12 * sum;
}

}  // namespace

TEST(RigConvolver, MatchesTheDirectSumForRandomResponsesAndOddBlocks) {
    const struct {
        std::size_t taps;
        std::vector<std::size_t> blocks;
    } cases[] = {
        {1, {1, 2, 3}},
        {5, {7}},
        {16, {1, 333}},    // the longest direct response
        {17, {1, 5, 13}},  // the shortest partitioned one: one block of 32
        {100, {99, 101, 1}},
        {1000, {333, 1, 1024}},
        {4096, {4095, 3, 4097}},        // one partition of the largest block
        {4097, {777, 1}},               // two partitions, the second of one tap
        {9001, {1023, 5000, 1, 8191}},  // three partitions
    };
    unsigned seed = 1;
    for (const auto& c : cases) {
        const std::vector<double> h = Random(c.taps, seed++);
        const std::vector<double> x = Random(2 * c.taps + 3000, seed++);
        RigConvolver conv(h);
        EXPECT_EQ(conv.Taps(), c.taps);
        EXPECT_EQ(conv.Block() == 0, c.taps <= RigConvolver::kDirectTaps) << c.taps;
        const std::vector<double> want = DirectSum(h, x);
        const std::vector<double> got = Convolved(conv, x, c.blocks);
        const double bound = Bound(h);
        for (std::size_t n = 0; n < x.size(); ++n)
            ASSERT_NEAR(got[n], want[n], bound) << c.taps << " taps, sample " << n;
    }
}

TEST(RigConvolver, ShiftsAndScalesByASingleTapExactlyAsTheDirectSum) {
    // A unit impulse at tap d delays by d samples; with 0.5 the values stay
    // exact in binary floating point up to the transform's rounding.
    for (std::size_t d : {0ul, 15ul, 4100ul, 9999ul}) {
        std::vector<double> h(d + 3, 0.0);
        h[d] = 0.5;
        const std::vector<double> x = Random(20000, 9);
        RigConvolver conv(h);
        const std::vector<double> y = Convolved(conv, x, {1000, 37});
        for (std::size_t n = 0; n < x.size(); ++n)
            ASSERT_NEAR(y[n], n < d ? 0.0 : 0.5 * x[n - d], 1e-13) << d << " " << n;
    }
}

TEST(RigConvolver, ResetForgetsThePastInput) {
    for (std::size_t taps : {3ul, 5000ul}) {
        const std::vector<double> h = Random(taps, 4);
        const std::vector<double> x = Random(12000, 5);
        RigConvolver conv(h);
        const std::vector<double> first = Convolved(conv, x, {501});
        conv.Reset();
        const std::vector<double> again = Convolved(conv, x, {64, 9});
        for (std::size_t n = 0; n < x.size(); ++n)
            ASSERT_NEAR(again[n], first[n], Bound(h)) << taps << " " << n;
    }
}

TEST(RigConvolver, LongestResponseHoldsItsLastTap) {
    // 480000 taps: only the first and the last are set; the last shows up
    // 479999 samples after the input, the first at once.
    std::vector<double> h(480000, 0.0);
    h.front() = 1.0;
    h.back() = -0.25;
    RigConvolver conv(h);
    std::vector<double> x(h.size() + 10, 0.0), y(x.size());
    x[3] = 1.0;
    std::size_t at = 0;
    while (at < x.size()) {
        const std::size_t n = std::min<std::size_t>(1024, x.size() - at);
        conv.Process(&x[at], &y[at], n);
        at += n;
    }
    for (std::size_t n = 0; n < y.size(); ++n) {
        const double want = n == 3 ? 1.0 : n == 3 + 479999 ? -0.25 : 0.0;
        ASSERT_NEAR(y[n], want, 1e-12) << n;
    }
}
