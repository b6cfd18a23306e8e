// The microphone calibration reader and its interpolation, against texts
// written by hand and values worked out on paper.

#include "analysis/calibration.h"

#include "console/calibration_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Point {
    double frequency;
    double gainDb;
    double phaseDeg;
};

struct GoodCase {
    const char* name;
    std::string text;
    bool hasPhase;
    std::vector<Point> points;
};

const std::vector<GoodCase> kGoodCases = {
    {"blanks", "100 0\n1000 6\n", false, {{100, 0, 0}, {1000, 6, 0}}},
    {"commas_phase_leading_blanks",
     "  20.0, -0.5, 3\n200,1,4\n",
     true,
     {{20, -0.5, 3}, {200, 1, 4}}},
    {"tabs", "20\t-0.5\n40\t-0.25\n", false, {{20, -0.5, 0}, {40, -0.25, 0}}},
    {"mixed_separators", "20 ,\t-0.5\n40,, \t1\n", false, {{20, -0.5, 0}, {40, 1, 0}}},
    {"quoted_sens_factor_header",
     "\"Sens Factor =-1.378dB, SERNO: 7001234\"\n10.054\t-3.1\t12.5\n20000\t0.25\t-4\n",
     true,
     {{10.054, -3.1, 12.5}, {20000, 0.25, -4}}},
    {"titles_and_comments",
     "Microphone calibration\nFreq(Hz) SPL(dB) Phase(deg)\n# measured 2026\n* star\n; "
     "semicolon\n\n   \n100 0\n-- dashes\n1000 6\n",
     false,
     {{100, 0, 0}, {1000, 6, 0}}},
    {"windows_line_ends", "title\r\n100 0\r\n1000 6\r\n", false, {{100, 0, 0}, {1000, 6, 0}}},
    {"no_final_newline", "100 0\n1000 6", false, {{100, 0, 0}, {1000, 6, 0}}},
    {"signs_exponents_points",
     "+1e2 -0\n1.5E3 .5\n2e+3 -.25\n",
     false,
     {{100, 0, 0}, {1500, 0.5, 0}, {2000, -0.25, 0}}},
    // Words that begin like "inf" or "nan" are text, not numbers.
    {"words_like_infinity",
     "information 5\nnano 3\n100 0\n1000 6\n",
     false,
     {{100, 0, 0}, {1000, 6, 0}}},
    // Lines that begin with a comment's mark, or whose first word has no
    // digit, stay text although numbers follow.
    {"comments_holding_numbers",
     "# 20 -9.2\n* 100 0\n\"2026\" 1\n;1k 5\nMic 3\nSens -1.2 3\n100 0\n1000 6\n",
     false,
     {{100, 0, 0}, {1000, 6, 0}}},
    // A word with a digit is text when the rest of the line is not numbers.
    {"title_with_digit_then_words",
     "UMIK1 calibration\nl00 Hz -9.2\nMic2 1 x\n100 0\n1000 6\n",
     false,
     {{100, 0, 0}, {1000, 6, 0}}},
    {"text_line_with_numbers_later",
     "Gain at 1000 Hz is 0\n100 0\n1000 6\n",
     false,
     {{100, 0, 0}, {1000, 6, 0}}},
    {"tiny_frequency", "1e-300 1\n1 2\n", false, {{1e-300, 1, 0}, {1, 2, 0}}},
};

void PrintTo(const GoodCase& c, std::ostream* os) {
    *os << c.name;
}

class GoodText : public testing::TestWithParam<GoodCase> {};

TEST_P(GoodText, GivesThePoints) {
    const GoodCase& c = GetParam();
    const auto parse = ParseCalibration(c.text);
    ASSERT_TRUE(parse.ok()) << "line " << parse.reason().line << ": " << Words(parse.reason());
    EXPECT_EQ(parse.value().hasPhase, c.hasPhase);
    ASSERT_EQ(parse.value().points.size(), c.points.size());
    for (std::size_t i = 0; i < c.points.size(); ++i) {
        EXPECT_DOUBLE_EQ(parse.value().points[i].frequency, c.points[i].frequency) << i;
        EXPECT_DOUBLE_EQ(parse.value().points[i].gainDb, c.points[i].gainDb) << i;
        EXPECT_DOUBLE_EQ(parse.value().points[i].phaseDeg, c.points[i].phaseDeg) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Calibration, GoodText, testing::ValuesIn(kGoodCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    std::string text;
    std::size_t line;
    std::string what;
};

const std::vector<BadCase> kBadCases = {
    {"decreasing", "100 0\n1000 6\n500 3\n", 3, "frequency does not rise above line 2's"},
    {"repeated_frequency", "100 0\n# note\n100 1\n", 3, "frequency does not rise above line 1's"},
    {"one_point", "title\n100 0\n", 2, "only one data line, at least two are needed"},
    {"one_point_then_text", "100 0\nend\n\n", 3, "only one data line, at least two are needed"},
    {"empty", "", 1, "no data lines, at least two are needed"},
    {"text_only", "a\nb\n", 2, "no data lines, at least two are needed"},
    {"nan_gain", "100 NaN\n1000 0\n", 1, "gain is not finite"},
    {"nan_frequency", "title\n nan 0\n1000 0\n", 2, "frequency is not finite"},
    {"infinite_gain", "100 0\n1000 -inf\n", 2, "gain is not finite"},
    {"infinity_phase", "100 0 Infinity\n1000 0 0\n", 1, "phase is not finite"},
    {"overflowing_gain", "100 1e999\n1000 0\n", 1, "gain is not finite"},
    {"overflowing_frequency", "100 0\n1e400 0\n", 2, "frequency is not finite"},
    {"frequency_only", "100 0\n1000\n", 2, "a frequency but no gain"},
    {"frequency_and_comma_only", "100, \n1000 0\n", 1, "a frequency but no gain"},
    {"four_fields", "100 0 0 0\n1000 0 0\n", 1, "more than three fields"},
    {"zero_frequency", "0 0\n100 0\n", 1, "frequency is not above 0 Hz"},
    {"negative_frequency", "-20 0\n100 0\n", 1, "frequency is not above 0 Hz"},
    {"word_as_gain", "100 abc\n1000 0\n", 1, "gain is not a number"},
    {"unit_on_frequency", "20Hz 0\n1000 0\n", 1, "frequency is not a number"},
    {"two_points_in_phase", "100 0 1.2.3\n1000 0 0\n", 1, "phase is not a number"},
    {"hexadecimal", "0x10 0\n1000 0\n", 1, "frequency is not a number"},
    {"exponent_without_digits", "100 1e\n1000 0\n", 1, "gain is not a number"},
    {"phase_then_none", "100 0 5\n1000 6\n", 2, "no phase, unlike line 1"},
    {"none_then_phase", "x\n100 0\n1000 6 5\n", 3, "a phase, unlike line 2"},
    {"decimal_comma_gain", "100 0,5\n1000 1,5\n", 1,
     "a decimal comma; write the decimal point as '.'"},
    {"decimal_comma_tabs", "f\tdB\n20\t-1\n20000\t-2,25\n", 3,
     "a decimal comma; write the decimal point as '.'"},
    // A letter for a digit in the frequency: a typo, not a title.
    {"letter_for_digit", "title\n20 -1\nl00 -9.2\n1000 0\n", 3,
     "frequency is not a number, but the other fields are (a typo?)"},
    {"letter_o_for_zero", "20 -1\n1O0 -9.2\n1000 0\n", 2, "frequency is not a number"},
    {"letter_o_first", "20 -1\nO.5e3,1,2\n1000 0\n", 2,
     "frequency is not a number, but the other fields are (a typo?)"},
    {"point_typo_with_phase", "20 -1 0\n.l5e3 1 2\n1000 0 0\n", 2,
     "frequency is not a number, but the other fields are (a typo?)"},
    {"sign_typo", "-x20 1\n1000 0\n", 1,
     "frequency is not a number, but the other fields are (a typo?)"},
    {"nul_byte", std::string("100 0\n1000\0 6\n", 14), 2, "frequency is not a number"},
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class BadText : public testing::TestWithParam<BadCase> {};

TEST_P(BadText, SaysWhereAndWhat) {
    const BadCase& c = GetParam();
    const auto parse = ParseCalibration(c.text);
    ASSERT_FALSE(parse.ok());
    EXPECT_EQ(parse.reason().line, c.line);
    EXPECT_EQ(Words(parse.reason()), c.what);
}

INSTANTIATE_TEST_SUITE_P(Calibration, BadText, testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

Calibration Curve(std::vector<CalibrationPoint> points, bool hasPhase) {
    Calibration calibration;
    calibration.points = std::move(points);
    calibration.hasPhase = hasPhase;
    return calibration;
}

// 0 dB at 100 Hz and 6 dB at 1000 Hz: 2 dB per third of a decade.
TEST(CalibrationGain, IsLinearOverLogFrequencyBetweenPoints) {
    const auto parse = ParseCalibration("100 0\n1000 6\n");
    ASSERT_TRUE(parse.ok());
    const Calibration& c = parse.value();
    EXPECT_NEAR(GainAt(c, std::sqrt(100.0 * 1000.0)), 3.0, 1e-12);  // 316.23 Hz
    EXPECT_NEAR(GainAt(c, 100.0 * std::cbrt(10.0)), 2.0, 1e-12);    // 215.44 Hz
    EXPECT_NEAR(GainAt(c, 100.0 * std::cbrt(100.0)), 4.0, 1e-12);   // 464.16 Hz
    EXPECT_NEAR(GainAt(c, 200.0), 6.0 * std::log10(2.0), 1e-12);
    EXPECT_DOUBLE_EQ(GainAt(c, 100.0), 0.0);
    EXPECT_DOUBLE_EQ(GainAt(c, 1000.0), 6.0);
}

TEST(CalibrationGain, IsHeldBeyondTheEnds) {
    const Calibration c = Curve({{100, -1, 0}, {1000, 6, 0}}, false);
    const double inf = std::numeric_limits<double>::infinity();
    for (const double below : {99.999, 50.0, 1e-300, 0.0, -5.0, -inf}) {
        EXPECT_DOUBLE_EQ(GainAt(c, below), -1.0) << below;
    }
    for (const double above : {1000.001, 24000.0, 1e300, inf}) {
        EXPECT_DOUBLE_EQ(GainAt(c, above), 6.0) << above;
    }
    EXPECT_TRUE(std::isnan(GainAt(c, std::nan(""))));
}

// Three points with phase: each segment interpolates on its own.
TEST(CalibrationGain, UsesTheSegmentAroundTheFrequency) {
    const Calibration c = Curve({{20, -2, 10}, {200, 0, 0}, {2000, 4, -20}}, true);
    EXPECT_NEAR(GainAt(c, std::sqrt(20.0 * 200.0)), -1.0, 1e-12);  // 63.25 Hz
    EXPECT_NEAR(PhaseAt(c, std::sqrt(20.0 * 200.0)), 5.0, 1e-12);
    EXPECT_NEAR(GainAt(c, std::sqrt(200.0 * 2000.0)), 2.0, 1e-12);  // 632.46 Hz
    EXPECT_NEAR(PhaseAt(c, std::sqrt(200.0 * 2000.0)), -10.0, 1e-12);
    EXPECT_DOUBLE_EQ(GainAt(c, 200.0), 0.0);
    EXPECT_DOUBLE_EQ(PhaseAt(c, 200.0), 0.0);
    EXPECT_DOUBLE_EQ(PhaseAt(c, 10.0), 10.0);
    EXPECT_DOUBLE_EQ(PhaseAt(c, 30000.0), -20.0);
}

TEST(CalibrationPhase, IsZeroWithoutPhaseColumn) {
    const auto parse = ParseCalibration("100 -3\n1000 6\n");
    ASSERT_TRUE(parse.ok());
    for (const double f : {10.0, 100.0, 316.0, 1000.0, 5000.0}) {
        EXPECT_EQ(PhaseAt(parse.value(), f), 0.0) << f;
    }
    EXPECT_TRUE(std::isnan(PhaseAt(parse.value(), std::nan(""))));
}

// Many points: every frequency between two neighbours lands in their segment.
TEST(CalibrationGain, FindsTheSegmentAmongManyPoints) {
    // Points at 10 * 2^k Hz with gain k dB: the gain is log2(f / 10) dB
    // everywhere between the first and the last.
    std::string text;
    for (int k = 0; k <= 11; ++k) {
        text += std::to_string(10 << k) + " " + std::to_string(k) + "\n";
    }
    const auto parse = ParseCalibration(text);
    ASSERT_TRUE(parse.ok());
    ASSERT_EQ(parse.value().points.size(), 12u);
    for (const double f : {10.0, 13.0, 27.5, 100.0, 999.0, 1234.5, 17000.0, 20480.0}) {
        EXPECT_NEAR(GainAt(parse.value(), f), std::log2(f / 10.0), 1e-9) << f;
    }
}

}  // namespace
