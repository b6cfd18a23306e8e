// The equalizer texts: other programs' layouts read, refusals with their
// line, and the exported files read back by other means.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>

#include "analysis/correction.h"
#include "console/eq_export.h"

namespace {

const Correction kCorrection = {{{52.4156, -7.481, 6.5857}, {2000.0, 3.0, 1.5}}, -3.1};

TEST(EqText, LayoutsOfOtherProgramsAreRead) {
    const char* const texts[] = {
        // A room-measurement program's filter export.
        "Filter Settings file\n\nRoom EQ V5.20\nNotes:\nEqualiser: Generic\n"
        "Filter  1: ON  PK       Fc    52.4156 Hz  Gain  -7.481 dB  Q  6.5857\n"
        "Filter  2: ON  PK       Fc    2000 Hz  Gain   3.0 dB  Q  1.5\n"
        "Filter  3: OFF None\nPreamp: -3.1 dB\n",
        // An equalizer's own, lower case, tabs, CRLF and comments.
        "# room\r\npreamp: -3.1 db\r\nfilter: on pk fc 52.4156 hz gain -7.481 db q 6.5857\r\n"
        "* next\r\nFILTER 2:\tON\tPK\tFc 2000 Hz\tGain 3 dB\tQ 1.5\r\n",
    };
    for (const char* text : texts) {
        const auto read = ParseEqText(text);
        ASSERT_TRUE(read) << text;
        EXPECT_DOUBLE_EQ(read.value().preampDb, -3.1);
        ASSERT_EQ(read.value().filters.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_DOUBLE_EQ(read.value().filters[i].frequency, kCorrection.filters[i].frequency);
            EXPECT_DOUBLE_EQ(read.value().filters[i].gainDb, kCorrection.filters[i].gainDb);
            EXPECT_DOUBLE_EQ(read.value().filters[i].q, kCorrection.filters[i].q);
        }
    }
    // A correction that needs no filter is its preamp alone.
    const auto none = ParseEqText(EqText(Correction{{}, 0.0}, "flat"));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none.value().filters.empty());
    // What this program writes reads back as it was.
    const auto back = ParseEqText(EqText(kCorrection, "title"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back.value().filters.size(), 2u);
    EXPECT_DOUBLE_EQ(back.value().filters[0].frequency, 52.4156);
    EXPECT_DOUBLE_EQ(back.value().preampDb, -3.1);
}

TEST(EqText, RefusalsNameTheirLine) {
    using Kind = EqTextError::Kind;
    struct Case {
        const char* text;
        Kind kind;
        std::size_t line;
    };
    const Case cases[] = {
        {"Preamp: -1 dB\nFilter 1: ON LS Fc 80 Hz Gain 3 dB Q 0.7\n", Kind::NotPeaking, 2},
        {"Filter 1: ON PK Fc 24000 Hz Gain -3 dB Q 1\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain -3 dB Q 0\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain nan dB Q 1\n", Kind::BadNumber, 1},
        {"\n\nFilter 1: ON PK Fc 100 Hz Q 1\n", Kind::NotAFilterLine, 3},
        {"Preamp: loud\nFilter 1: ON PK Fc 100 Hz Gain -3 dB Q 1\n", Kind::BadNumber, 1},
        {"Notes only\nFilter 1: OFF PK Fc 100 Hz Gain -3 dB Q 1\n", Kind::NoFilter, 0},
        {"Filter 1: ON PK Fc 0 Hz Gain -3 dB Q 1\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc -50 Hz Gain -3 dB Q 1\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain -3 dB Q -2\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain inf dB Q 1\n", Kind::BadNumber, 1},
        // Poles on the unit circle to double precision: the filter never decays.
        {"Filter 1: ON PK Fc 1e-300 Hz Gain -3 dB Q 1\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain -3 dB Q 1e300\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain -3 dB Q 1e-300\n", Kind::OutOfRange, 1},
        {"Filter 1: ON PK Fc 100 Hz Gain 1e300 dB Q 1\n", Kind::OutOfRange, 1},
        {"# two\nPreamp: 1e308 dB\nPreamp: 1e308 dB\nFilter: ON PK Fc 100 Hz Gain -3 dB Q 1\n",
         Kind::BadNumber, 3},
        // A filter not written as one is not passed over as a note.
        {"Filter 1: ON PK Fc 80 Hz Gain -3 dB Q 1\nFitler 2: ON PK Fc 200 Hz Gain -3 dB Q 1\n",
         Kind::NotAFilterLine, 2},
        {"Filter 1 ON PK Fc 80 Hz Gain -3 dB Q 1\n", Kind::NotAFilterLine, 1},
    };
    // The sharpest and deepest filters a design makes are read.
    for (const char* text :
         {"Filter: ON PK Fc 20 Hz Gain -24 dB Q 20\n", "Filter: ON PK Fc 1 Hz Gain -24 dB Q 0.5\n",
          "Filter: ON PK Fc 23999 Hz Gain 6 dB Q 0.5\n"}) {
        EXPECT_TRUE(ParseEqText(text)) << text;
    }
    std::string many;
    for (int i = 0; i < 101; ++i) many += "Filter: ON PK Fc 100 Hz Gain -1 dB Q 1\n";
    const auto tooMany = ParseEqText(many);
    ASSERT_FALSE(tooMany);
    EXPECT_EQ(tooMany.reason().kind, Kind::TooMany);
    EXPECT_EQ(tooMany.reason().line, 101u);
    for (const Case& c : cases) {
        const auto read = ParseEqText(c.text);
        ASSERT_FALSE(read) << c.text;
        EXPECT_EQ(read.reason().kind, c.kind) << c.text;
        EXPECT_EQ(read.reason().line, c.line) << c.text;
    }
}

// The coefficients file: each line's biquad at a few frequencies gives the
// cookbook peaking filter's level, computed here from its formulas.
TEST(EqExport, BiquadCoefficientsGiveTheCookbookLevels) {
    std::istringstream lines(BiquadText(kCorrection, "title"));
    std::string line;
    std::size_t filter = 0;
    while (std::getline(lines, line)) {
        double b0, b1, b2, a1, a2;
        if (line[0] == '#' ||
            std::sscanf(line.c_str(), "%lf %lf %lf %lf %lf", &b0, &b1, &b2, &a1, &a2) != 5) {
            continue;
        }
        ASSERT_LT(filter, kCorrection.filters.size());
        const PeakingFilter& p = kCorrection.filters[filter++];
        const double a = std::pow(10.0, p.gainDb / 40.0);
        const double w0 = 2.0 * std::numbers::pi * p.frequency / 48000.0;
        const double alpha = std::sin(w0) / (2.0 * p.q);
        for (const double f : {20.0, p.frequency, 3.0 * p.frequency, 15000.0}) {
            const std::complex<double> z = std::polar(1.0, -2.0 * std::numbers::pi * f / 48000.0);
            const double cookbook =
                std::abs((1.0 + alpha * a - 2.0 * std::cos(w0) * z + (1.0 - alpha * a) * z * z) /
                         (1.0 + alpha / a - 2.0 * std::cos(w0) * z + (1.0 - alpha / a) * z * z));
            const double file = std::abs((b0 + b1 * z + b2 * z * z) / (1.0 + a1 * z + a2 * z * z));
            EXPECT_NEAR(20.0 * std::log10(file), 20.0 * std::log10(cookbook), 1e-9) << f;
        }
    }
    EXPECT_EQ(filter, kCorrection.filters.size());
}

// The CamillaDSP file, read by a YAML parser (Python's): the same filters,
// preamp and a pipeline over both channels.
TEST(EqExport, CamillaDspFileParsesAsYamlWithTheSameFilters) {
    const std::filesystem::path path = std::filesystem::path(testing::TempDir()) / "camilla.yml";
    std::ofstream(path) << CamillaDspYaml(kCorrection, "a \"quoted\" title");
    const std::string command =
        "python3 -c 'import sys, yaml; c = yaml.safe_load(open(sys.argv[1])); "
        "f = c[\"filters\"]; p = c[\"pipeline\"][0]; "
        "print(f[\"preamp\"][\"type\"], f[\"preamp\"][\"parameters\"][\"gain\"], p[\"type\"], "
        "p[\"channels\"], \" \".join(p[\"names\"])); "
        "[print(f[n][\"type\"], f[n][\"parameters\"][\"type\"], f[n][\"parameters\"][\"freq\"], "
        "f[n][\"parameters\"][\"gain\"], f[n][\"parameters\"][\"q\"]) for n in "
        "p[\"names\"][1:]]' " +
        path.string();
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    EXPECT_EQ(pclose(pipe), 0) << out;
    EXPECT_EQ(out,
              "Gain -3.1 Filter [0, 1] preamp peq_1 peq_2\n"
              "Biquad Peaking 52.4156 -7.481 6.5857\n"
              "Biquad Peaking 2000.0 3.0 1.5\n");
    std::filesystem::remove(path);
}

}  // namespace
