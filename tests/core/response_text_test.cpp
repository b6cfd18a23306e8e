// The response text reader, against exports written by hand in the layouts
// measurement programs use, and against what this program writes.

#include "analysis/response_text.h"

#include "console/calibration_file.h"
#include "console/run_description.h"
#include "console/run_files.h"
#include "console/settings.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

// Frequency, level and phase. The values in a text and in the test are both
// read to the nearest double: they are equal, not only near.
using Rows = std::vector<std::array<double, 3>>;

Rows RowsOf(const std::vector<ResponsePoint>& points) {
    Rows rows;
    for (const ResponsePoint& p : points)
        rows.push_back({p.frequency, p.magnitudeDb, p.phaseDegrees});
    return rows;
}

TEST(ResponseText, LayoutsGiveThePoints) {
    const struct {
        std::string text;
        bool hasPhase;
        Rows rows;
    } layouts[] = {
        {"* Measurement data\n* Freq(Hz)\tSPL(dB)\tPhase(degrees)\n20.0\t84.5\t-12.5\n"
         "20.5\t84.75\t-13\n",
         true,
         {{20, 84.5, -12.5}, {20.5, 84.75, -13}}},
        {"\"Frequency (Hz)\",\"Level (dB)\"\r\n\r\n20.0,-3.1\r\n40, -2.5\r\n",
         false,
         {{20, -3.1, 0}, {40, -2.5, 0}}},
        {"  # exported\nFreq(Hz) SPL(dB) Phase(degrees) Coherence\n   \n0 -80 0 0\n"
         "10.5 60.25 -90 0.98\n21 61 -45.5 1\n",
         true,
         {{10.5, 60.25, -90}, {21, 61, -45.5}}},
    };
    for (const auto& c : layouts) {
        SCOPED_TRACE(c.text);
        const auto parse = ParseResponseText(c.text);
        ASSERT_TRUE(parse.ok()) << "line " << parse.reason().line;
        EXPECT_EQ(parse.value().hasPhase, c.hasPhase);
        EXPECT_EQ(RowsOf(parse.value().points), c.rows);
    }
}

// The values are exact at the precision FormatResponse writes them with.
TEST(ResponseText, ReadsWhatARunWrites) {
    const std::vector<ResponsePoint> points = {
        {20.0, -1.25, 179.5}, {1000.0625, 0.5, -179.25}, {16000.0, -300.0, 0.0}};
    const std::vector<std::string> notes = {"Level at 1000 Hz: 3 dB"};
    const RunDescription run = DescribeRun(TestSettings{}, 0, 18.0, 16175.0);
    const auto parse =
        ParseResponseText(FormatResponse(run, Delay{480.0, 10.0, 3.43}, notes, points));
    ASSERT_TRUE(parse.ok()) << "line " << parse.reason().line;
    EXPECT_TRUE(parse.value().hasPhase);
    EXPECT_EQ(RowsOf(parse.value().points), RowsOf(points));
}

TEST(ResponseText, RefusedTextsSayWhereAndWhat) {
    const struct {
        std::string text;
        std::size_t line;
        std::string what;  // as the console words it for a response
    } refused[] = {
        {"* h\n20 dB\n40 0\n", 2, "level is not a number"},
        {"20 0 0 0.9\n40 0 0 high\n", 2, "column 4 is not a number"},
        {"20 0 0 inf\n40 0 0 1\n", 1, "column 4 is not finite"},
        {"20 0\n40\n", 2, "a frequency but no level"},
        {"20 0\n40 0\n# c\n0 0\n", 4, "frequency does not rise above line 2's"},
        {"0 0\n-20 0\n40 0\n", 2, "frequency is below 0 Hz"},
        {"0 0\n20 0 5 1\n40 0\n", 3, "no phase, unlike line 2"},
        {"0 0\n20 0\n\n", 3, "only one data line, at least two are needed"},
        {"Freq(Hz) SPL(dB)\n\"1 2\"\n", 2, "no data lines, at least two are needed"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.text);
        const auto parse = ParseResponseText(c.text);
        ASSERT_FALSE(parse.ok());
        EXPECT_EQ(parse.reason().line, c.line);
        EXPECT_EQ(Words(parse.reason(), "level"), c.what);
    }
}

}  // namespace
