#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "console/acoustics_report.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A result with every value present: EDT, T20, T30, C50, C80, D50 of octave
// b are the given values plus b (so each column differs).
AcousticsResult Present(double rt, double c50, double c80, double d50) {
    AcousticsResult r;
    r.onset = 4800;
    for (int b = 0; b < kOctaveBandCount; ++b) {
        OctaveAcoustics& band = r.bands[b];
        band.nominalHz = kOctaveNominalHz[b];
        band.centreHz = 1000.0 * std::exp2(b - 4);
        band.lowerHz = band.centreHz / std::sqrt(2.0);
        band.upperHz = band.centreHz * std::sqrt(2.0);
        band.decayFound = true;
        band.decayRangeDb = 70.0;
        band.crossSeconds = 1.5;
        band.edt = {rt + b, AcousticsGap::kNone};
        band.t20 = {rt + b, AcousticsGap::kNone};
        band.t30 = {rt + b, AcousticsGap::kNone};
        band.c50 = {c50 + b, AcousticsGap::kNone};
        band.c80 = {c80 + b, AcousticsGap::kNone};
        band.d50 = {d50 + b, AcousticsGap::kNone};
    }
    return r;
}

// The cell of row (0: centres, 1..6: EDT..D50) and octave b, spaces cut.
std::string CellAt(const std::string& table, int row, int b) {
    const std::vector<std::string> lines = Lines(table);
    const std::string& line = lines.at(1 + static_cast<std::size_t>(row));
    const std::size_t at =
        kAcousticsLabelWidth + static_cast<std::size_t>(b) * kAcousticsColumnWidth;
    std::string cell = line.substr(at, kAcousticsColumnWidth);
    cell.erase(0, cell.find_first_not_of(' '));
    return cell;
}

struct WidthCase {
    const char* name;
    AcousticsResult result;
};

class TableWidth : public testing::TestWithParam<WidthCase> {};

TEST_P(TableWidth, EveryLineFitsEightyColumns) {
    const std::string table = AcousticsTable(GetParam().result);
    const std::vector<std::string> lines = Lines(table);
    ASSERT_GE(lines.size(), 8u);  // title, centres, six parameters
    for (const std::string& line : lines) EXPECT_LE(line.size(), 79u) << line;
    // Every value has a space before it in its column.
    for (int row = 0; row <= 6; ++row) {
        const std::string& line = lines[1 + static_cast<std::size_t>(row)];
        EXPECT_EQ(line.size(), 79u);
        for (int b = 0; b < kOctaveBandCount; ++b) {
            EXPECT_EQ(line[kAcousticsLabelWidth + static_cast<std::size_t>(b) * 9], ' ') << line;
        }
    }
}

AcousticsResult AllMissing() {
    AcousticsResult r = Present(1.0, 0.0, 0.0, 50.0);
    for (OctaveAcoustics& band : r.bands) {
        for (AcousticValue* v :
             {&band.edt, &band.t20, &band.t30, &band.c50, &band.c80, &band.d50}) {
            *v = {std::nullopt, AcousticsGap::kBadInput};
        }
    }
    return r;
}

constexpr double kHuge = 1e300;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The same with every T20 and T30 marked curved.
AcousticsResult Curved(AcousticsResult r) {
    for (OctaveAcoustics& band : r.bands) {
        for (AcousticValue* v : {&band.t20, &band.t30}) {
            v->curved = true;
            v->nonlinearityPermille = 25.0;
        }
    }
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Acoustics, TableWidth,
    testing::Values(WidthCase{"typical", Present(0.45, -1.2, 2.5, 43.0)},
                    WidthCase{"longest_times", Present(991.99, -299.9, 299.9, 91.0)},
                    WidthCase{"huge", Present(kHuge, -kHuge, kHuge, kHuge)},
                    WidthCase{"nan", Present(kNaN, kNaN, kNaN, kNaN)},
                    WidthCase{"curved_longest", Curved(Present(991.99, -299.9, 299.9, 91.0))},
                    WidthCase{"curved_huge", Curved(Present(kHuge, -kHuge, kHuge, kHuge))},
                    WidthCase{"curved_negative_huge", Curved(Present(-kHuge, 0, 0, 0))},
                    WidthCase{"curved_nan", Curved(Present(kNaN, kNaN, kNaN, kNaN))},
                    WidthCase{"missing", AllMissing()}),
    [](const testing::TestParamInfo<WidthCase>& info) { return std::string(info.param.name); });

TEST(AcousticsTable, ValuesInTheirOctaveColumns) {
    const std::string table = AcousticsTable(Present(0.456, -2.04, 3.96, 38.6));
    const char* centres[] = {"63", "125", "250", "500", "1000", "2000", "4000", "8000"};
    for (int b = 0; b < kOctaveBandCount; ++b) EXPECT_EQ(CellAt(table, 0, b), centres[b]);
    // Row, octave, text.
    const struct {
        int row, band;
        const char* text;
    } cells[] = {{1, 0, "0.46"}, {2, 1, "1.46"}, {3, 7, "7.46"}, {4, 0, "-2.0"},
                 {4, 2, "0.0"},  {5, 3, "7.0"},  {6, 0, "39"},   {6, 7, "46"}};
    for (const auto& c : cells) EXPECT_EQ(CellAt(table, c.row, c.band), c.text);
    EXPECT_EQ(table.find("not available"), std::string::npos);
    EXPECT_EQ(Lines(table)[2].substr(0, 5), "EDT s");
    EXPECT_EQ(Lines(table)[7].substr(0, 5), "D50 %");
}

// An octave the sweep missed, one whose range allows EDT only, and one whose
// decay curve ends early for T30.
AcousticsResult WithGaps() {
    AcousticsResult r = Present(0.5, 1.0, 4.0, 50.0);
    for (AcousticValue* v : {&r.bands[7].edt, &r.bands[7].t20, &r.bands[7].t30, &r.bands[7].c50,
                             &r.bands[7].c80, &r.bands[7].d50}) {
        *v = {std::nullopt, AcousticsGap::kNotSwept};
    }
    r.bands[7].decayFound = false;
    r.bands[0].decayRangeDb = 28.25;
    r.bands[0].t20 = {std::nullopt, AcousticsGap::kShortRange};
    r.bands[0].t30 = {std::nullopt, AcousticsGap::kShortRange};
    r.bands[3].t30 = {std::nullopt, AcousticsGap::kCurveEnds};
    return r;
}

TEST(AcousticsTable, DashWhereMissing) {
    const std::string table = AcousticsTable(WithGaps());
    for (int row = 1; row <= 6; ++row) EXPECT_EQ(CellAt(table, row, 7), "-");
    EXPECT_EQ(CellAt(table, 1, 0), "0.50");
    EXPECT_EQ(CellAt(table, 2, 0), "-");
    EXPECT_EQ(CellAt(table, 3, 0), "-");
    EXPECT_EQ(CellAt(table, 3, 3), "-");
    EXPECT_EQ(CellAt(table, 3, 4), "4.50");
    EXPECT_NE(Lines(table).back().find("not available"), std::string::npos);
}

// WithGaps, and a curved decay at 125 Hz whose T20 (0.90 s) bends more than
// its T30 (1.20 s), and at 1000 Hz a curved T30.
AcousticsResult WithCurves() {
    AcousticsResult r = WithGaps();
    r.bands[1].t20 = {0.9, AcousticsGap::kNone, 23.44, true};
    r.bands[1].t30 = {1.2, AcousticsGap::kNone, 8.21, false};
    r.bands[1].curvaturePercent = 100.0 * (1.2 / 0.9 - 1.0);
    r.bands[4].t20 = {0.5, AcousticsGap::kNone, 4.04, false};
    r.bands[4].t30 = {0.6, AcousticsGap::kNone, 12.0, true};
    r.bands[4].curvaturePercent = 20.0;
    // A flag on a value that is not given marks nothing.
    r.bands[0].t30.curved = true;
    return r;
}

TEST(AcousticsTable, CurvedValuesGivenWithAMark) {
    const std::string table = AcousticsTable(WithCurves());
    const struct {
        int row, band;
        const char* text;
    } cells[] = {{2, 1, "0.90*"}, {3, 1, "1.20"}, {2, 4, "0.50"}, {3, 4, "0.60*"},
                 {1, 1, "1.50"},  {3, 0, "-"},    {3, 3, "-"},    {2, 7, "-"}};
    for (const auto& c : cells) {
        EXPECT_EQ(CellAt(table, c.row, c.band), c.text) << c.row << " " << c.band;
    }
}

struct ClosingCase {
    const char* name;
    AcousticsResult result;
    std::vector<std::string> closing;  // the lines after the parameter rows
};

class TableClosing : public testing::TestWithParam<ClosingCase> {};

// A closing line for each kind of cell that needs one, only when one appears.
TEST_P(TableClosing, ALineForEachMarkThatAppears) {
    const std::vector<std::string> lines = Lines(AcousticsTable(GetParam().result));
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()), GetParam().closing);
}

const std::string kDashLine = "- : not available, the reasons are in the acoustics file";
const std::string kMarkLine =
    "* : curved decay (non-linearity over 10 per mille), see the acoustics file";

INSTANTIATE_TEST_SUITE_P(
    Acoustics, TableClosing,
    testing::Values(ClosingCase{"complete", Present(0.5, 1.0, 4.0, 50.0), {}},
                    ClosingCase{"gaps", WithGaps(), {kDashLine}},
                    ClosingCase{"curved", Curved(Present(0.5, 1.0, 4.0, 50.0)), {kMarkLine}},
                    ClosingCase{"gaps_and_curved", WithCurves(), {kDashLine, kMarkLine}}),
    [](const testing::TestParamInfo<ClosingCase>& info) { return std::string(info.param.name); });

// The file's decay-shape lines: per octave the non-linearity of T20 and T30
// (marked where curved) and the curvature, `-` where the value is not given.
TEST(AcousticsFile, NonLinearityAndCurvaturePerOctave) {
    AcousticsResult r = WithCurves();
    r.bands[2].t20.nonlinearityPermille = 0.04;
    r.bands[2].t30.nonlinearityPermille = 1.96;
    r.bands[2].curvaturePercent = -3.0;
    const std::string text = AcousticsFileText(r, RunDescription{});
    const std::size_t from = text.find("\nDecay shape per octave");
    ASSERT_NE(from, std::string::npos);
    const std::vector<std::string> lines = Lines(text.substr(from + 1));
    ASSERT_GE(lines.size(), 4u + kOctaveBandCount);
    EXPECT_EQ(lines[3], "Hz           T20 xi      T30 xi         C %");
    // Octave: T20's, T30's, C's column.
    const struct {
        int band;
        const char *t20, *t30, *c;
    } rows[] = {
        {0, "-", "-", "-"},                                 // T20 and T30 missing
        {1, "23.4*", "8.2", "33.3"},                        // curved T20
        {2, "0.0", "2.0", "-3.0"},   {3, "0.0", "-", "-"},  // T30 missing
        {4, "4.0", "12.0*", "20.0"},                        // curved T30
        {7, "-", "-", "-"},                                 // not swept
    };
    for (const auto& row : rows) {
        const std::string& line = lines.at(4 + static_cast<std::size_t>(row.band));
        std::istringstream fields(line);
        std::string hz, t20, t30, c, more;
        fields >> hz >> t20 >> t30 >> c;
        EXPECT_EQ(hz, std::to_string(kOctaveNominalHz[row.band]));
        EXPECT_EQ(t20, row.t20) << line;
        EXPECT_EQ(t30, row.t30) << line;
        EXPECT_EQ(c, row.c) << line;
        EXPECT_FALSE(fields >> more) << line;
        EXPECT_EQ(line.size(), static_cast<std::size_t>(kAcousticsLabelWidth) + 36) << line;
    }
    // The mark's meaning is given above them.
    EXPECT_NE(lines[1].find("* : over 10, the decay is curved"), std::string::npos) << lines[1];
}

TEST(AcousticsFile, HeaderTableAndAReasonForEveryDash) {
    RunDescription run;
    run.date = "2026-12-07 13:05:09";
    run.device = "rig_room";
    run.program = "Zembrak 9.99";
    run.q = 4.0;
    run.bands = 31;
    run.startFrequency = 18.0;
    run.sweepLength = 10.0;
    run.sweep = SweepKind::Exponential;
    run.sweepLow = 9.0;
    run.sweepHigh = 22800.0;
    const std::string text = AcousticsFileText(WithCurves(), run);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[1], "Date: 2026-12-07 13:05:09");
    EXPECT_EQ(lines[2], "Device: rig_room");
    EXPECT_EQ(lines[3], "Settings: Q 4, 31 bands, start 18.0 Hz, length 10.0 s");
    EXPECT_EQ(lines[4], "Exponential sweep: 9.0 Hz to 22800.0 Hz");
    EXPECT_EQ(lines[5], "Program: Zembrak 9.99");
    EXPECT_NE(text.find("Direct sound: sample 4800"), std::string::npos);
    // The table as printed, marks included, within the file; a curved value
    // is given, so it has no reason.
    const std::string table = AcousticsTable(WithCurves());
    const std::string rows =
        table.substr(table.find('\n') + 1, table.rfind("- :") - table.find('\n') - 1);
    EXPECT_NE(text.find(rows), std::string::npos);
    const char* reasons[] = {
        "63 Hz, T20: decay range 28.2 dB above the noise, 35 dB needed",
        "63 Hz, T30: decay range 28.2 dB above the noise, 45 dB needed",
        "500 Hz, T30: the decay meets the noise before reaching -35 dB",
        "8000 Hz, all values: the sweep did not cover the whole octave (5657 to 11314 Hz)",
    };
    for (const char* reason : reasons) EXPECT_NE(text.find(reason), std::string::npos) << reason;
    // Nothing else is missing.
    const std::size_t from = text.find("Missing values\n");
    ASSERT_NE(from, std::string::npos);
    EXPECT_EQ(Lines(text.substr(from)).size(), 1u + std::size(reasons));
}

TEST(AcousticsFile, NothingMissingSaysSo) {
    const std::string text = AcousticsFileText(Present(0.5, 1.0, 4.0, 50.0), RunDescription{});
    EXPECT_NE(text.find("Missing values\nnone\n"), std::string::npos);
}

TEST(AcousticsFile, NameFromTheRunsStart) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(AcousticsFileName(t), "sweep_20261207_130509_acoustics.txt");
    t.tm_year = INT_MAX;
    t.tm_mon = INT_MAX;
    t.tm_sec = INT_MIN;
    EXPECT_EQ(AcousticsFileName(t), "sweep_2147485547214748364807_1305-2147483648_acoustics.txt");
}

}  // namespace
