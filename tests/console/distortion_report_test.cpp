// The distortion file and the console's summary line, as text.

#include "console/distortion_report.h"

#include "base/version.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double kNan = std::nan("");

DistortionPoint Point(double f, double thd, double h2, double h3, double h4, double h5) {
    DistortionPoint point;
    point.frequency = f;
    point.thdPercent = thd;
    point.harmonicPercent = {h2, h3, h4, h5};
    return point;
}

TEST(DistortionReport, SummaryNamesTheMeasuredFrequencies) {
    struct Case {
        std::vector<DistortionPoint> points;
        std::string line;
    };
    const Case cases[] = {
        {{Point(100, 0.0123, 0.01, 0.002, 0, 0), Point(1000, 0.5, 0.5, 0, 0, 0),
          Point(10000, 2.25, 2.25, kNan, kNan, kNan)},
         "Harmonic distortion (THD): 0.0123 % at 100 Hz, 0.5000 % at 1 kHz, 2.2500 % at 10 kHz\n"},
        {{Point(100, kNan, kNan, kNan, kNan, kNan), Point(1000, 0.00004, 0, 0, 0, 0)},
         "Harmonic distortion (THD): 0.0000 % at 1 kHz\n"},
        {{}, "Harmonic distortion: not measured at 100 Hz, 1 kHz or 10 kHz.\n"},
        {{Point(10000, kNan, kNan, kNan, kNan, kNan)},
         "Harmonic distortion: not measured at 100 Hz, 1 kHz or 10 kHz.\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(DistortionSummaryLine(c.points), c.line);
}

// The run a distortion file describes: an exponential sweep on a device
// whose name holds a line break.
RunDescription ExponentialRun() {
    TestSettings settings;
    settings.deviceName = "rig\nx";
    settings.sweep = SweepKind::Exponential;
    return DescribeRun(settings, 0, 9.0, 22800.0);
}

// A point with the 2nd, 4th and 5th below the noise (limits 0.02, 0.03 and
// 0.04 %), and one with every harmonic below it.
DistortionPoint Limited(double f, double thd, double h3) {
    DistortionPoint point = Point(f, thd, kNan, h3, kNan, kNan);
    point.belowNoise = {true, std::isnan(h3), true, true};
    point.harmonicLimitPercent = {0.02, 0.01, 0.03, 0.04};
    point.noiseLimitPercent = std::sqrt(0.02 * 0.02 + 0.01 * 0.01 + 0.03 * 0.03 + 0.04 * 0.04);
    point.thdBelowNoise = std::isnan(h3);
    return point;
}

TEST(DistortionReport, NoiseLimitedValuesAreNotGivenAsDistortion) {
    const std::vector<DistortionPoint> points = {Limited(100, kNan, kNan), Limited(1000, 0.5, 0.5)};
    // sqrt(0.0004 + 0.0001 + 0.0009 + 0.0016) = 0.05477
    EXPECT_EQ(DistortionSummaryLine(points),
              "Harmonic distortion (THD): below the noise (< 0.0548 %) at 100 Hz, 0.5000 % at "
              "1 kHz\n");
    const std::string text = DistortionFileText(points, ExponentialRun());
    EXPECT_NE(text.find("100.0000 <0.0548 <0.0200 <0.0100 <0.0300 <0.0400\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("1000.0000 0.5000 <0.0200 0.5000 <0.0300 <0.0400\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("* '<x': the harmonic is not 10 dB above the noise"), std::string::npos);

    // The picture: THD where it counts, the limit everywhere it is known.
    const PlotExtraCurve curve = ThdPlotCurve(points);
    EXPECT_EQ(curve.scale, PlotScale::kPercent);
    ASSERT_EQ(curve.curve.levels.size(), 2u);
    EXPECT_TRUE(std::isnan(curve.curve.levels[0]));
    EXPECT_EQ(curve.curve.levels[1], 0.5);
    ASSERT_EQ(curve.limit.levels.size(), 2u);
    EXPECT_NEAR(curve.limit.levels[0], 0.05477, 1e-5);
    EXPECT_EQ(curve.limit.frequencies, (std::vector<double>{100.0, 1000.0}));
    EXPECT_FALSE(curve.limitLabel.empty());
    // A silent lead-in (limit 0) or none (NaN) draws no limit.
    DistortionPoint silent = Point(100, 0.1, 0.1, 0, 0, 0);
    silent.noiseLimitPercent = 0.0;
    const DistortionPoint unknown = Point(200, 0.1, 0.1, 0, 0, 0);
    const PlotExtraCurve clean = ThdPlotCurve(std::vector<DistortionPoint>{silent, unknown});
    EXPECT_TRUE(std::isnan(clean.limit.levels[0]));
    EXPECT_TRUE(std::isnan(clean.limit.levels[1]));
    EXPECT_EQ(clean.curve.levels[0], 0.1);
}

TEST(DistortionReport, FileHasCommentsThenOneLinePerPoint) {
    const std::vector<DistortionPoint> points = {
        Point(18.0, 1.5, 1.2, 0.9, 0.0, 0.0),
        Point(5000.0, 1.25, 1.0, 0.75, kNan, kNan),
        Point(12000.0, kNan, kNan, kNan, kNan, kNan),
    };
    const std::string text = DistortionFileText(points, ExponentialRun());
    EXPECT_EQ(text.rfind("* " + std::string(kProgramName) + " harmonic distortion\n", 0), 0u);
    EXPECT_NE(text.find("* Q 4, 31 bands, start 18.0 Hz, length 10.0 s\n"), std::string::npos);
    EXPECT_NE(text.find("* Device: rig?x\n"), std::string::npos);
    EXPECT_NE(text.find("* Exponential sweep: 9.0 Hz to 22800.0 Hz\n"), std::string::npos);
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> rows;
    bool rowsBegun = false;
    while (std::getline(lines, line)) {
        if (line[0] == '*') {
            EXPECT_FALSE(rowsBegun) << line;
        } else {
            rowsBegun = true;
            rows.push_back(line);
        }
    }
    const std::vector<std::string> expected = {
        "18.0000 1.5000 1.2000 0.9000 0.0000 0.0000",
        "5000.0000 1.2500 1.0000 0.7500 - -",
        "12000.0000 - - - - -",
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace
