#include "analysis/spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "signal/taper.h"

namespace {

constexpr double kPi = std::numbers::pi;

// --- Forward transform of a cosine ---

struct CosineCase {
    std::int64_t length;
    std::int64_t bin;  // cycles over the length
    double amplitude;
    double phase;  // radians
    bool inPlace;
};

// A cos(2 pi m n / N + phi) has, at bin m, A N / 2 e^(i phi) (A N cos(phi)
// at bin 0 and, for even N, at bin N / 2), and nothing at any other bin.
TEST(ForwardTransform, CosineLandsInItsBinWithItsAmplitudeAndPhase) {
    const CosineCase cases[] = {
        {64, 5, 1.0, 0.0, true},   {64, 5, 0.25, 1.0, false},     {45, 7, 3.0, -2.0, true},
        {45, 22, 2.0, 0.5, false}, {1000, 1, 1e6, 0.0, true},     {16, 0, 1.5, 0.0, false},
        {16, 8, 1.5, 0.0, true},   {4096, 1000, 0.5, 3.0, false},
    };
    for (const CosineCase& c : cases) {
        const auto bins = static_cast<std::size_t>(c.length / 2 + 1);
        Spectrum spectrum(bins);
        Waveform separate(c.inPlace ? 0 : static_cast<std::size_t>(c.length));
        double* real = c.inPlace ? RealView(spectrum) : separate.data();
        for (std::int64_t n = 0; n < c.length; ++n) {
            real[n] = c.amplitude * std::cos(2.0 * kPi * static_cast<double>(c.bin * n) /
                                                 static_cast<double>(c.length) +
                                             c.phase);
        }
        auto transform = ForwardTransform::Design(c.length, real, spectrum.data());
        ASSERT_TRUE(transform.ok()) << c.length;
        EXPECT_EQ(transform.value().Length(), c.length);
        transform.value().Run();
        const double size = static_cast<double>(c.length);
        const bool edge = c.bin == 0 || 2 * c.bin == c.length;
        const std::complex<double> expected =
            edge ? std::complex<double>(c.amplitude * size * std::cos(c.phase), 0.0)
                 : std::polar(c.amplitude * size / 2.0, c.phase);
        const double tolerance = 1e-9 * c.amplitude * size;
        for (std::size_t k = 0; k < bins; ++k) {
            const std::complex<double> want =
                k == static_cast<std::size_t>(c.bin) ? expected : std::complex<double>();
            EXPECT_NEAR(spectrum[k].real(), want.real(), tolerance) << c.length << " bin " << k;
            EXPECT_NEAR(spectrum[k].imag(), want.imag(), tolerance) << c.length << " bin " << k;
        }
    }
}

// --- Inverse of the forward ---

struct RoundTripCase {
    std::int64_t length;
    bool inPlace;
};

TEST(InverseTransform, UndoesTheForwardTimesTheLength) {
    const RoundTripCase cases[] = {{1, true},   {2, false},    {7, true},    {64, false},
                                   {375, true}, {1000, false}, {8192, true}, {8192, false}};
    std::mt19937 random(11);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (const RoundTripCase& c : cases) {
        const auto size = static_cast<std::size_t>(c.length);
        std::vector<double> input(size);
        for (double& value : input) value = uniform(random);
        Spectrum spectrum(size / 2 + 1);
        Waveform separate(c.inPlace ? 0 : size);
        double* real = c.inPlace ? RealView(spectrum) : separate.data();
        auto forward = ForwardTransform::Design(c.length, real, spectrum.data());
        auto inverse = InverseTransform::Design(c.length, spectrum.data(), real);
        ASSERT_TRUE(forward.ok() && inverse.ok()) << c.length;
        std::copy(input.begin(), input.end(), real);
        forward.value().Run();
        inverse.value().Run();
        for (std::size_t n = 0; n < size; ++n) {
            EXPECT_NEAR(real[n], input[n] * static_cast<double>(c.length), 1e-9 * c.length)
                << c.length << " sample " << n;
        }
    }
}

// A transform designed on one array runs on another of the same layout: a
// unit impulse at sample d transforms to e^(-2 pi i k d / N).
TEST(ForwardTransform, RunsOnOtherArraysOfTheSameLayout) {
    constexpr std::int64_t kLength = 96;
    Spectrum designed(kLength / 2 + 1);
    auto transform = ForwardTransform::Design(kLength, RealView(designed), designed.data());
    ASSERT_TRUE(transform.ok());
    const ForwardTransform moved = std::move(transform.value());
    for (const std::int64_t delay : {0, 1, 17, 95}) {
        Spectrum other(kLength / 2 + 1);
        RealView(other)[delay] = 1.0;
        moved.Run(RealView(other), other.data());
        for (std::int64_t k = 0; k <= kLength / 2; ++k) {
            const std::complex<double> want =
                std::polar(1.0, -2.0 * kPi * static_cast<double>(k * delay) / kLength);
            EXPECT_NEAR(std::abs(other[k] - want), 0.0, 1e-12) << delay << " bin " << k;
        }
    }
}

// The inverse of a single bin k of value 1 is 2 cos(2 pi k n / N) (1 at
// bin 0), and runs on other bins than those it was designed for.
TEST(InverseTransform, RunsOnOtherArraysOfTheSameLayout) {
    constexpr std::int64_t kLength = 50;
    Spectrum designedBins(kLength / 2 + 1);
    Waveform designedReal(kLength);
    auto transform = InverseTransform::Design(kLength, designedBins.data(), designedReal.data());
    ASSERT_TRUE(transform.ok());
    for (const std::int64_t bin : {0, 3, 24}) {
        Spectrum bins(kLength / 2 + 1);
        Waveform real(kLength);
        bins[static_cast<std::size_t>(bin)] = 1.0;
        transform.value().Run(bins.data(), real.data());
        for (std::int64_t n = 0; n < kLength; ++n) {
            const double want =
                (bin == 0 ? 1.0 : 2.0) *
                std::cos(2.0 * kPi * static_cast<double>(bin * n) / static_cast<double>(kLength));
            EXPECT_NEAR(real[static_cast<std::size_t>(n)], want, 1e-12) << bin << " sample " << n;
        }
    }
}

TEST(ForwardTransform, RefusesLengthsOutsideOneToTheLongest) {
    Spectrum spectrum(4);
    for (const std::int64_t length : {std::int64_t{0}, std::int64_t{-1}, kLongestTransform + 1,
                                      std::numeric_limits<std::int64_t>::max()}) {
        auto forward = ForwardTransform::Design(length, RealView(spectrum), spectrum.data());
        ASSERT_FALSE(forward.ok()) << length;
        EXPECT_EQ(forward.reason(), TransformFailure::BadLength);
        auto inverse = InverseTransform::Design(length, spectrum.data(), RealView(spectrum));
        ASSERT_FALSE(inverse.ok()) << length;
        EXPECT_EQ(inverse.reason(), TransformFailure::BadLength);
    }
}

// --- Transform length ---

struct LengthCase {
    std::int64_t minimum;
    std::int64_t limit;
    std::int64_t expected;
};

TEST(FastTransformLength, SmallestProductOfTwoThreeAndFive) {
    const LengthCase cases[] = {
        {1, 100, 1},
        {7, 100, 8},
        {11, 100, 12},
        {17, 100, 18},
        {97, 100, 100},
        {101, 100, 0},
        {-5, 100, 1},
        {576000, 1 << 30, 576000},  // 2^9 3^2 5^3
        {576001, 1 << 30, 583200},  // 2^5 3^6 5^2
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(FastTransformLength(c.minimum, c.limit), c.expected) << c.minimum;
    }
}

bool OnlyTwoThreeFive(std::int64_t n) {
    for (const std::int64_t p : {2, 3, 5}) {
        while (n % p == 0) n /= p;
    }
    return n == 1;
}

TEST(FastTransformLength, AgreesWithASearchUpward) {
    constexpr std::int64_t kLimit = 3000;
    for (std::int64_t minimum = 1; minimum <= 3100; ++minimum) {
        std::int64_t expected = minimum;
        while (expected <= kLimit && !OnlyTwoThreeFive(expected)) ++expected;
        if (expected > kLimit) expected = 0;
        ASSERT_EQ(FastTransformLength(minimum, kLimit), expected) << minimum;
    }
}

// --- The raised-cosine taper ---

TEST(RaisedCosine, RisesFromZeroThroughHalfToOne) {
    const struct {
        double share;
        double expected;
    } cases[] = {{0.0, 0.0},        {0.5, 0.5},
                 {1.0, 1.0},        {0.25, (2.0 - std::sqrt(2.0)) / 4.0},
                 {1.0 / 3.0, 0.25}, {2.0 / 3.0, 0.75}};
    for (const auto& c : cases) {
        EXPECT_NEAR(RaisedCosine(c.share), c.expected, 1e-15) << c.share;
        EXPECT_NEAR(RaisedCosine(c.share * 48.0, 48.0), c.expected, 1e-15) << c.share;
    }
}

TEST(RaisedCosine, FallsAsItRisesAndRisesSteadily) {
    double previous = -1.0;
    for (int i = 0; i <= 200; ++i) {
        const double x = i / 200.0;
        EXPECT_NEAR(RaisedCosine(x) + RaisedCosine(1.0 - x), 1.0, 1e-15) << x;
        EXPECT_NEAR(RaisedCosine(static_cast<double>(i), 200.0), RaisedCosine(x), 1e-15) << x;
        EXPECT_GT(RaisedCosine(x), previous) << x;
        previous = RaisedCosine(x);
    }
}

// --- Bins and their mean power ---

struct BinCase {
    double low;
    double high;
    double spacing;
    std::int64_t lastBin;
    std::int64_t first;  // first > last: empty
    std::int64_t last;
};

TEST(BinsWithin, BinsWhoseFrequencyLiesInTheRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const BinCase cases[] = {
        {10.0, 30.0, 10.0, 100, 1, 3},  // edges on bins belong to the range
        {11.0, 29.0, 10.0, 100, 2, 2},     {11.0, 19.0, 10.0, 100, 1, 0},
        {-50.0, 5.0, 10.0, 100, 0, 0},     {995.0, 5000.0, 10.0, 100, 100, 100},
        {1005.0, 5000.0, 10.0, 100, 1, 0}, {30.0, 10.0, 10.0, 100, 1, 0},
        {nan, 30.0, 10.0, 100, 1, 0},      {10.0, nan, 10.0, 100, 1, 0},
        {10.0, 30.0, 0.0, 100, 1, 0},      {-infinity, infinity, 2.5, 8, 0, 8},
        {-20.0, -10.0, 10.0, 100, 1, 0},
    };
    for (const BinCase& c : cases) {
        const BinRange range = BinsWithin(c.low, c.high, c.spacing, c.lastBin);
        if (c.first > c.last) {
            EXPECT_GT(range.first, range.last) << c.low << " " << c.high;
        } else {
            EXPECT_EQ(range.first, c.first) << c.low << " " << c.high;
            EXPECT_EQ(range.last, c.last) << c.low << " " << c.high;
        }
    }
}

TEST(MeanPower, MeanOfTheSquaredMagnitudesInTheRange) {
    // |3 + 4i|^2 = 25, |1|^2 = 1, 0, |2i|^2 = 4, |-1 - i|^2 = 2.
    const Spectrum bins = {{3.0, 4.0}, {1.0, 0.0}, {0.0, 0.0}, {0.0, 2.0}, {-1.0, -1.0}};
    const std::vector<double> power = {25.0, 1.0, 0.0, 4.0, 2.0};
    const struct {
        BinRange range;
        double expected;
    } cases[] = {
        {{0, 4}, 32.0 / 5.0}, {{0, 0}, 25.0}, {{1, 3}, 5.0 / 3.0}, {{2, 2}, 0.0},
        {{3, 4}, 3.0},        {{1, 0}, 0.0},  {{-1, 2}, 0.0},      {{2, 5}, 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(MeanPower(bins, c.range), c.expected)
            << c.range.first << ".." << c.range.last;
        EXPECT_DOUBLE_EQ(MeanPower(power, c.range), c.expected)
            << c.range.first << ".." << c.range.last;
    }
}

}  // namespace
