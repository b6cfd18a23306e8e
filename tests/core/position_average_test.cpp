#include "analysis/position_average.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A response of constant level and phase on a 1/96-octave grid from 20 Hz.
std::vector<ResponsePoint> Flat(double levelDb, double phaseDegrees, int points = 960) {
    std::vector<ResponsePoint> response;
    for (int i = 0; i < points; ++i) {
        response.push_back({20.0 * std::exp2(i / 96.0), levelDb, phaseDegrees});
    }
    return response;
}

Position At(double levelDb, double phaseDegrees) {
    Position position;
    position.response = Flat(levelDb, phaseDegrees);
    position.bandPowers = {std::pow(10.0, levelDb / 10.0)};
    return position;
}

// Two positions 6 dB apart: the means of power and of the complex values,
// in phase and opposed, as computed by hand.
TEST(PositionAverage, TwoLevelsAveragedByPowerAndByVector) {
    const double a = std::pow(10.0, -6.0 / 20.0);  // the second's amplitude
    struct Case {
        AverageKind kind;
        double secondPhase;
        double expectedDb;
    };
    const Case cases[] = {
        {AverageKind::Power, 0.0, 10.0 * std::log10((1.0 + a * a) / 2.0)},
        {AverageKind::Power, 180.0, 10.0 * std::log10((1.0 + a * a) / 2.0)},
        {AverageKind::Vector, 0.0, 20.0 * std::log10((1.0 + a) / 2.0)},
        {AverageKind::Vector, 180.0, 20.0 * std::log10((1.0 - a) / 2.0)},
    };
    const std::vector<double> lower = {100.0}, upper = {200.0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secondPhase);
        const std::vector<Position> positions = {At(0.0, 0.0), At(-6.0, c.secondPhase)};
        const PositionAverage average = AveragePositions(positions, c.kind, lower, upper);
        ASSERT_EQ(average.positions, 2u);
        ASSERT_EQ(average.response.size(), 960u);
        EXPECT_NEAR(average.response[500].levelDb, c.expectedDb, 1e-9);
        EXPECT_NEAR(average.response[500].lowestDb, -6.0, 1e-9);
        EXPECT_NEAR(average.response[500].highestDb, 0.0, 1e-9);
        EXPECT_NEAR(average.response[500].deviationDb, std::sqrt(18.0), 1e-9);
        // One band: the average is its own loudest, the positions around it.
        ASSERT_EQ(average.bands.size(), 1u);
        EXPECT_FALSE(average.bands[0].missing);
        EXPECT_EQ(average.bands[0].level, 0.0);
        EXPECT_NEAR(average.bands[0].highest - average.bands[0].lowest, 6.0, 1e-6);
    }
}

// A delay of t turns the phase by -360 f t: moved back by it, the vector
// average of a delayed and an undelayed copy is the copy itself.
TEST(PositionAverage, VectorAverageMovesEachPositionBackByItsDelay) {
    Position delayed = At(0.0, 0.0);
    delayed.delaySeconds = 0.004;
    for (ResponsePoint& point : delayed.response) {
        point.phaseDegrees = std::remainder(-360.0 * point.frequency * 0.004, 360.0);
    }
    const std::vector<Position> positions = {At(0.0, 0.0), delayed};
    const PositionAverage average = AveragePositions(positions, AverageKind::Vector, {}, {});
    for (const SpreadPoint& point : average.response) {
        ASSERT_NEAR(point.levelDb, 0.0, 1e-9) << point.frequency;
    }
}

// Positions of unlike grids are not averaged.
TEST(PositionAverage, UnlikeGridsGiveNoAverage) {
    Position shorter = At(0.0, 0.0);
    shorter.response.pop_back();
    const std::vector<Position> positions = {At(0.0, 0.0), shorter};
    EXPECT_EQ(AveragePositions(positions, AverageKind::Power, {}, {}).positions, 0u);
}

// |H|^2 = f on the logarithmic grid: the band's mean over evenly spaced
// frequencies, (lower + upper) / 2.
TEST(PositionAverage, GridBandPowerIsTheMeanOverEvenlySpacedFrequencies) {
    std::vector<ResponsePoint> response = Flat(0.0, 0.0);
    for (ResponsePoint& point : response) point.magnitudeDb = 10.0 * std::log10(point.frequency);
    const double bands[][2] = {{100.0, 126.0}, {1000.0, 2000.0}, {50.0, 800.0}};
    for (const auto& band : bands) {
        EXPECT_NEAR(10.0 * std::log10(GridBandPower(response, band[0], band[1])),
                    10.0 * std::log10((band[0] + band[1]) / 2.0), 0.05)
            << band[0];
    }
    EXPECT_TRUE(std::isnan(GridBandPower(response, 5.0, 10.0)));
}

// Level and phase linear in log frequency (the phase across its wrap at
// 180 degrees) come back exactly from two points an octave apart.
TEST(PositionAverage, ResampledResponseFollowsLogFrequency) {
    const std::vector<ResponsePoint> points = {
        {100.0, 0.0, 170.0}, {200.0, 6.0, -170.0}, {400.0, 0.0, -150.0}};
    const std::vector<ResponsePoint> grid = ResampleResponse(points, 100.0, 400.0, 96);
    ASSERT_EQ(grid.size(), 193u);
    const ResponsePoint& middle = grid[48];  // half an octave up
    EXPECT_NEAR(middle.frequency, 100.0 * std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(middle.magnitudeDb, 3.0, 1e-9);
    EXPECT_NEAR(middle.phaseDegrees, 180.0, 1e-9);
    EXPECT_NEAR(grid[144].magnitudeDb, 3.0, 1e-9);
    EXPECT_NEAR(grid[144].phaseDegrees, -160.0, 1e-9);
}

TEST(PositionAverage, SharedRangeAndTheResponseApart) {
    const auto span = [](double low, double high) {
        return std::vector<ResponsePoint>{{low, 0.0, 0.0}, {high, 0.0, 0.0}};
    };
    const std::vector<std::vector<ResponsePoint>> overlapping = {span(10, 1000), span(20, 2000),
                                                                 span(15, 500)};
    const auto range = SharedRange(overlapping);
    ASSERT_TRUE(range);
    EXPECT_EQ(range->low, 20.0);
    EXPECT_EQ(range->high, 500.0);
    const std::vector<std::vector<ResponsePoint>> apart = {span(10, 100), span(50, 200),
                                                           span(150, 300)};
    std::size_t which = 0;
    EXPECT_FALSE(SharedRange(apart, &which));
    EXPECT_EQ(which, 2u);
}

}  // namespace
