#include "analysis/band_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "worked_example.h"

namespace {

constexpr double kMax32 = 2147483647.0;
constexpr double kMin32 = -2147483648.0;
constexpr double kUntouched = -12345.5;  // marks entries the plan must not write

struct Plan {
    std::vector<double> lower = std::vector<double>(kMaxBands, kUntouched);
    std::vector<double> upper = std::vector<double>(kMaxBands, kUntouched);
    double end = 0.0;
};

Plan Make(double q, int bandCount, double start) {
    Plan plan;
    plan.end = FindHighFreq(q, bandCount, start, plan.lower, plan.upper);
    return plan;
}

TEST(CutToInt32, TruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(CutToInt32(22.5), 22);
    EXPECT_EQ(CutToInt32(-22.5), -22);
    EXPECT_EQ(CutToInt32(-0.9), 0);
    EXPECT_EQ(CutToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(CutToInt32(2147483648.0), 2147483647);
    EXPECT_EQ(CutToInt32(1e300), 2147483647);
    EXPECT_EQ(CutToInt32(std::numeric_limits<double>::infinity()), 2147483647);
    EXPECT_EQ(CutToInt32(-2147483648.9), -2147483647 - 1);
    EXPECT_EQ(CutToInt32(-2147483649.0), -2147483647 - 1);
    EXPECT_EQ(CutToInt32(-std::numeric_limits<double>::infinity()), -2147483647 - 1);
    EXPECT_EQ(CutToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(CutToInt32(-std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(FindHighFreq, DefaultsGiveTheWorkedExample) {
    const Plan plan = Make(4.0, 31, 18.0);
    for (const ExampleBand& band : kWorkedExample) {
        EXPECT_EQ(plan.lower[band.band - 1], band.low) << "band " << band.band;
        EXPECT_EQ(plan.upper[band.band - 1], band.high) << "band " << band.band;
    }
    EXPECT_EQ(plan.end, 16175.0);
    EXPECT_EQ(plan.lower[31], kUntouched);
    EXPECT_EQ(plan.upper[31], kUntouched);
}

TEST(FindHighFreq, PresetEndFrequencies) {
    EXPECT_EQ(Make(4.0, 31, 18.0).end, 16175.0);
    EXPECT_EQ(Make(1.3, 12, 18.0).end, 16075.0);
    EXPECT_EQ(Make(6.0, 20, 18.0).end, 355.0);
    EXPECT_EQ(Make(2.0, 8, 18.0).end, 454.0);
    EXPECT_EQ(Make(5.0, 16, 300.0).end, 5524.0);
}

TEST(FindHighFreq, ZeroOrNegativeCountWritesOnlyTheStart) {
    for (int count : {0, -1, -2147483647 - 1}) {
        const Plan plan = Make(4.0, count, 18.9);
        EXPECT_EQ(plan.end, 18.0);
        EXPECT_EQ(plan.lower[0], 18.9);
        EXPECT_EQ(plan.upper[0], kUntouched);
        EXPECT_EQ(plan.lower[1], kUntouched);
    }
}

TEST(FindHighFreq, StartFractionStaysOnlyInTheFirstLowerEdge) {
    const Plan plan = Make(4.0, 3, 18.7);
    EXPECT_EQ(plan.lower[0], 18.7);
    EXPECT_EQ(plan.upper[0], 22.0);
    EXPECT_EQ(plan.lower[1], 22.0);
    EXPECT_EQ(plan.upper[1], 27.0);
    EXPECT_EQ(plan.lower[2], 27.0);
    EXPECT_EQ(plan.upper[2], 33.0);
    EXPECT_EQ(plan.end, 33.0);

    const Plan one = Make(4.0, 1, 18.0);
    EXPECT_EQ(one.lower[0], 18.0);
    EXPECT_EQ(one.upper[0], 22.0);
    EXPECT_EQ(one.end, 22.0);
}

TEST(FindHighFreq, LargeQGivesZeroWidthBands) {
    const Plan plan = Make(100.0, 10, 18.0);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(plan.lower[i], 18.0);
        EXPECT_EQ(plan.upper[i], 18.0);
    }
    EXPECT_EQ(plan.end, 18.0);
}

TEST(FindHighFreq, NegativeQGivesFallingEdges) {
    const Plan plan = Make(-4.0, 10, 18.0);
    const double expected[10] = {13, 9, 6, 4, 3, 2, 1, 0, 0, 0};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(plan.upper[i], expected[i]) << "band " << i + 1;
    }
    EXPECT_EQ(plan.end, 0.0);
}

TEST(FindHighFreq, ZeroAndNegativeStart) {
    const Plan zero = Make(4.0, 5, 0.0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(zero.lower[i], 0.0);
        EXPECT_EQ(zero.upper[i], 0.0);
    }
    const Plan negative = Make(4.0, 2, -18.9);
    EXPECT_EQ(negative.lower[0], -18.9);
    EXPECT_EQ(negative.upper[0], -22.0);
    EXPECT_EQ(negative.upper[1], -27.0);
}

TEST(FindHighFreq, EndIsNotLimitedToHalfTheSampleRate) {
    EXPECT_EQ(Make(4.0, 32, 18.0).end, 20218.0);
    EXPECT_EQ(Make(4.0, 33, 18.0).end, 25272.0);
}

TEST(FindHighFreq, EdgesBeyondInt32Saturate) {
    // From 18 Hz the 84th edge at Q 4, the 33rd at Q 1.3 and the 46th at Q 2
    // are the first ones beyond the 32-bit range.
    struct Case {
        double q;
        int firstOut;
    };
    for (const Case c : {Case{4.0, 84}, Case{1.3, 33}, Case{2.0, 46}}) {
        const Plan plan = Make(c.q, kMaxBands, 18.0);
        EXPECT_LT(plan.upper[c.firstOut - 2], kMax32) << "Q " << c.q;
        EXPECT_GT(plan.upper[c.firstOut - 2], kMax32 / (1.0 + 1.0 / c.q)) << "Q " << c.q;
        for (int i = c.firstOut - 1; i < kMaxBands; ++i) {
            ASSERT_EQ(plan.upper[i], kMax32) << "Q " << c.q << " band " << i + 1;
        }
        EXPECT_EQ(plan.end, kMax32);
    }
    EXPECT_EQ(Make(4.0, 3, -1e300).upper[2], kMin32);
}

TEST(FindHighFreq, ZeroOrNaNQSaturates) {
    const Plan zero = Make(0.0, 3, 18.0);  // 18 + 18 / 0 is infinite
    EXPECT_EQ(zero.upper[0], kMax32);
    EXPECT_EQ(zero.upper[2], kMax32);
    EXPECT_EQ(zero.end, kMax32);

    const Plan negativeStart = Make(0.0, 2, -18.0);
    EXPECT_EQ(negativeStart.end, kMin32);

    const Plan zeroOverZero = Make(0.0, 2, 0.0);  // 0 / 0 is NaN, cut to 0
    EXPECT_EQ(zeroOverZero.end, 0.0);

    const Plan nanQ = Make(std::nan(""), 3, 18.0);
    EXPECT_EQ(nanQ.upper[0], 0.0);
    EXPECT_EQ(nanQ.end, 0.0);

    const Plan nanStart = Make(4.0, 2, std::nan(""));
    EXPECT_TRUE(std::isnan(nanStart.lower[0]));
    EXPECT_EQ(nanStart.upper[0], 0.0);

    const Plan infStart = Make(4.0, 2, std::numeric_limits<double>::infinity());
    EXPECT_EQ(infStart.upper[1], kMax32);
}

TEST(FindHighFreq, WritesNoMoreThanTheArraysHold) {
    std::vector<double> lower(6, kUntouched);
    std::vector<double> upper(6, kUntouched);
    const double end =
        FindHighFreq(4.0, 2000, 18.0, std::span(lower).first(4), std::span(upper).first(5));
    EXPECT_EQ(upper[3], 41.0);
    EXPECT_EQ(end, 41.0);  // the last edge the plan holds
    EXPECT_EQ(lower[3], 33.0);
    EXPECT_EQ(lower[4], kUntouched);
    EXPECT_EQ(upper[4], kUntouched);

    // Empty arrays: nothing written, the cut start comes back.
    EXPECT_EQ(FindHighFreq(4.0, 31, 18.9, {}, {}), 18.0);
}

}  // namespace
