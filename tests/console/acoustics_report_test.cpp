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

INSTANTIATE_TEST_SUITE_P(
    Acoustics, TableWidth,
    testing::Values(WidthCase{"typical", Present(0.45, -1.2, 2.5, 43.0)},
                    WidthCase{"longest_times", Present(991.99, -299.9, 299.9, 91.0)},
                    WidthCase{"huge", Present(kHuge, -kHuge, kHuge, kHuge)},
                    WidthCase{"nan", Present(kNaN, kNaN, kNaN, kNaN)},
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

TEST(AcousticsFile, HeaderTableAndAReasonForEveryDash) {
    const AcousticsHeader header{"2026-12-07 13:05:09", "rig_room", "q 4, 31 bands, 10 s"};
    const std::string text = AcousticsFileText(WithGaps(), header);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "Date: 2026-12-07 13:05:09");
    EXPECT_EQ(lines[2], "Device: rig_room");
    EXPECT_EQ(lines[3], "Settings: q 4, 31 bands, 10 s");
    EXPECT_NE(text.find("Direct sound: sample 4800"), std::string::npos);
    // The table as printed, within the file.
    const std::string table = AcousticsTable(WithGaps());
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
    const std::string text = AcousticsFileText(Present(0.5, 1.0, 4.0, 50.0), {"d", "v", "s"});
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
