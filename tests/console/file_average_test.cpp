// zembrak --average-files: saved responses of other programs' layouts
// averaged by the real program, and files it refuses.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/program_run.h"

namespace {

// Rising 3 dB per octave from 20 Hz, at third-octave points from 10 Hz to
// 20 kHz, in a layout with '*' headers and tabs.
double Rising(double f) {
    return 3.0 * std::log2(f / 20.0);
}
std::string TabbedExport() {
    std::string text = "* Measurement data\n* Freq(Hz)\tSPL(dB)\tPhase(degrees)\n";
    for (int i = 0; i <= 33; ++i) {
        const double f = 10.0 * std::exp2(i / 3.0);
        char line[96];
        std::snprintf(line, sizeof line, "%.6f\t%.6f\t%.3f\n", f, Rising(f), 0.0);
        text += line;
    }
    return text;
}

// Flat at -6 dB from 20 Hz to 10 kHz, comma-separated under a quoted
// header, with CRLF line ends.
std::string CommaExport() {
    return "\"Frequency (Hz)\",\"Magnitude (dB)\"\r\n20.0, -6.0\r\n440, -6.0\r\n"
           "2500.5,-6.0\r\n10000,-6\r\n";
}

ProgramRun AverageFiles(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::string> arguments = {"--average-files"};
    for (const auto& file : files) arguments.push_back(file.first);
    return RunProgram(
        "", {}, 20,
        [&files](const std::filesystem::path& dir) {
            for (const auto& [name, text] : files) std::ofstream(dir / name) << text;
        },
        0, arguments);
}

TEST(FileAverage, TwoLayoutsAveragedByPowerOverTheirSharedRange) {
    const ProgramRun run =
        AverageFiles({{"rising.txt", TabbedExport()}, {"flat.csv", CommaExport()}});
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("Average of 2 files (power average):\n"), std::string::npos);
    ASSERT_EQ(run.files.size(), 3u);
    std::string frd;
    for (const auto& [name, text] : run.files) {
        if (name.ends_with("_average.frd")) frd = text;
    }
    std::istringstream lines(frd);
    std::string line;
    int points = 0;
    double first = 0.0, last = 0.0;
    while (std::getline(lines, line)) {
        double f, level;
        if (line[0] == '*' || std::sscanf(line.c_str(), "%lf %lf", &f, &level) != 2) continue;
        const double expected =
            10.0 * std::log10((std::pow(10.0, Rising(f) / 10.0) + std::pow(10.0, -0.6)) / 2.0);
        ASSERT_NEAR(level, expected, 0.002) << f;
        if (points++ == 0) first = f;
        last = f;
    }
    // 20 Hz to 10 kHz: the range both cover, at 1/96 octave.
    EXPECT_NEAR(first, 20.0, 1e-3);
    EXPECT_LE(last, 10000.0);
    EXPECT_EQ(points, static_cast<int>(std::floor(96.0 * std::log2(500.0))) + 1);
}

TEST(FileAverage, RefusedFilesAreNamedAndNothingIsWritten) {
    struct Case {
        const char* name;
        std::string text;
        std::string message;  // part of the line on standard error
    };
    const Case cases[] = {
        {"word", "* header\n20 -1\n100 abc\n", "line 3"},
        {"falling", "20 0\n200 0\n100 0\n", "line 3"},
        {"no_shared_range", "25000 0\n30000 0\n", "shares none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun run = AverageFiles({{"rising.txt", TabbedExport()}, {"bad.txt", c.text}});
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_NE(run.err.find("bad.txt"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(run.files.empty());
    }
}

}  // namespace
