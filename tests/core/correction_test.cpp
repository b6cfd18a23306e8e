#include "analysis/correction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace {

// The cookbook peaking filter's level at f, from its formulas (R.
// Bristow-Johnson's audio-EQ cookbook), at 48000 Hz.
double CookbookDb(double f0, double gainDb, double q, double f) {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * std::numbers::pi * f0 / 48000.0;
    const double alpha = std::sin(w0) / (2.0 * q);
    const std::complex<double> z = std::polar(1.0, -2.0 * std::numbers::pi * f / 48000.0);
    const std::complex<double> h =
        (1.0 + alpha * a - 2.0 * std::cos(w0) * z + (1.0 - alpha * a) * z * z) /
        (1.0 + alpha / a - 2.0 * std::cos(w0) * z + (1.0 - alpha / a) * z * z);
    return 20.0 * std::log10(std::abs(h));
}

struct Mode {
    double f0, gainDb, q;
};

// A room of pure modes, as a response at 1/96-octave points from 18 Hz to
// 16 kHz, 3 dB below the loop.
std::vector<ResponsePoint> RoomOf(const std::vector<Mode>& modes) {
    std::vector<ResponsePoint> response;
    for (double f = 18.0; f <= 16000.0; f *= std::exp2(1.0 / 96.0)) {
        double level = -3.0;
        for (const Mode& m : modes) level += CookbookDb(m.f0, m.gainDb, m.q, f);
        response.push_back({f, level, 0.0});
    }
    return response;
}

TEST(Correction, FiltersFollowTheCookbook) {
    const std::vector<PeakingFilter> filters = {{52.0, -8.0, 5.0}, {118.0, 4.0, 2.0}};
    for (const double f : {20.0, 52.0, 80.0, 118.0, 1000.0, 20000.0}) {
        EXPECT_NEAR(CorrectionGainDb(filters, f),
                    CookbookDb(52.0, -8.0, 5.0, f) + CookbookDb(118.0, 4.0, 2.0, f), 1e-9)
            << f;
    }
    double largest = 0.0;
    for (double f = 10.0; f < 24000.0; f *= 1.001) {
        largest =
            std::max(largest, CookbookDb(52.0, -8.0, 5.0, f) + CookbookDb(118.0, 4.0, 2.0, f));
    }
    EXPECT_NEAR(LargestBoostDb(filters), largest, 0.01);
    EXPECT_FALSE(CorrectionBiquad({24000.0, -3.0, 1.0}));
}

// Rooms of modes: corrected, the response meets the flat target within
// 1 dB over the range, with cuts only.
TEST(Correction, ModesAreFlattenedWithinADecibel) {
    const std::vector<std::vector<Mode>> rooms = {
        {{52.0, 8.0, 5.0}, {118.0, 6.0, 4.0}},
        {{38.0, 12.0, 10.0}, {75.0, 6.0, 3.0}, {160.0, 9.0, 8.0}, {240.0, 4.0, 2.0}},
        {{45.0, 15.0, 20.0}},
    };
    for (std::size_t r = 0; r < rooms.size(); ++r) {
        SCOPED_TRACE(r);
        const auto design = DesignCorrection(RoomOf(rooms[r]), CorrectionPlan{});
        ASSERT_TRUE(design);
        const CorrectionDesign& d = design.value();
        // The room's power mean over 300 to 600 Hz, on an even grid.
        double power = 0.0;
        for (int i = 0; i < 3000; ++i) {
            double level = -3.0;
            for (const Mode& m : rooms[r])
                level += CookbookDb(m.f0, m.gainDb, m.q, 300.0 + 0.1 * i);
            power += std::pow(10.0, level / 10.0) / 3000.0;
        }
        EXPECT_NEAR(d.targetLevelDb, 10.0 * std::log10(power), 0.05);
        EXPECT_GT(d.before.largestDb, 3.0);
        EXPECT_LE(d.after.largestDb, 1.0);
        EXPECT_LE(d.correction.filters.size(), 10u);
        for (const PeakingFilter& filter : d.correction.filters) EXPECT_LE(filter.gainDb, 0.0);
        EXPECT_EQ(d.correction.preampDb, 0.0);
    }
}

// A dip is not filled by cuts: it is left as it is, and everywhere else the
// response is corrected within 1 dB.
TEST(Correction, CutsLeaveADipAlone) {
    const std::vector<Mode> modes = {{52.0, 8.0, 5.0}, {90.0, -10.0, 6.0}, {150.0, 7.0, 5.0}};
    const auto design = DesignCorrection(RoomOf(modes), CorrectionPlan{});
    ASSERT_TRUE(design);
    const CorrectionDesign& d = design.value();
    for (std::size_t i = 0; i < d.predicted.size(); ++i) {
        const double f = d.predicted[i].frequency;
        if (f < 20.0 || f > 300.0) continue;
        const double filters = d.predicted[i].magnitudeDb - d.measured[i].magnitudeDb;
        EXPECT_LE(filters, 0.0) << f;
        if (CookbookDb(90.0, -10.0, 6.0, f) < -1.0) {
            EXPECT_GE(filters, -1.0) << f;  // the dip, hardly deeper
        } else {
            EXPECT_NEAR(d.predicted[i].magnitudeDb, -3.0, 1.0) << f;
        }
    }
}

TEST(Correction, RangesOutsideTheResponseAreRefused) {
    const std::vector<ResponsePoint> room = RoomOf({{52.0, 8.0, 5.0}});
    struct Case {
        double low, high;
        CorrectionRefusal why;
    };
    const Case cases[] = {
        {10.0, 300.0, CorrectionRefusal::RangeOutsideResponse},
        {300.0, 100.0, CorrectionRefusal::RangeEmpty},
        {100.0, 15900.0, CorrectionRefusal::NoReferenceOctave},
        {NAN, 300.0, CorrectionRefusal::RangeEmpty},
    };
    for (const Case& c : cases) {
        CorrectionPlan plan;
        plan.low = c.low;
        plan.high = c.high;
        const auto design = DesignCorrection(room, plan);
        ASSERT_FALSE(design) << c.low;
        EXPECT_EQ(design.reason(), c.why) << c.low;
    }
    CorrectionPlan boost;
    boost.maxBoostDb = 7.0;
    EXPECT_FALSE(DesignCorrection(room, boost));
}

}  // namespace
