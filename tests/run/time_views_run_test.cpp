// The reflections of a room through the real program and the simulated
// rig: the rig plays the sweep through an impulse response of the test's
// own, a direct sound and reflections at known delays and gains; the
// program lists each reflection at its delay and level and no other.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_support.h"

namespace {

struct Tap {
    int delay;  // samples after the direct sound at 48000 Hz
    double gain;
};

struct Row {
    double ms, metres, db;
};

// The rows of the printed reflections table.
std::vector<Row> ReflectionRows(const std::string& out) {
    std::vector<Row> rows;
    const std::size_t at = out.find("Early reflections within 50 ms");
    const std::size_t end = out.find("Initial time gap:", at);
    if (at == std::string::npos || end == std::string::npos) return rows;
    std::istringstream lines(out.substr(at, end - at));
    std::string line;
    while (std::getline(lines, line)) {
        Row row{};
        if (std::sscanf(line.c_str(), "%lf %lf %lf", &row.ms, &row.metres, &row.db) == 3)
            rows.push_back(row);
    }
    return rows;
}

TEST(TimeViewsRun, EachReflectionOfTheRoomAtItsDelayAndLevel) {
    const struct {
        std::vector<Tap> taps;  // the first the direct sound
        int noiseDb;
    } rooms[] = {
        {{{0, 0.8}, {113, 0.48}, {389, 0.24}, {1500, 0.36}, {2200, 0.1}}, -100},
        {{{0, 0.5}, {70, 0.2}, {977, 0.35}, {2000, 0.03}, {2900, 0.4}}, -70},
        // Reflections 0.5 ms apart, one inverted, one just above -20 dB.
        {{{0, 0.7}, {24, -0.35}, {48, 0.2}, {960, 0.085}, {2350, 0.3}}, -60},
    };
    const std::filesystem::path dir = testing::TempDir();
    for (std::size_t r = 0; r < std::size(rooms); ++r) {
        const std::filesystem::path wav = dir / ("reflections_" + std::to_string(r) + ".wav");
        const std::filesystem::path config = dir / ("reflections_" + std::to_string(r) + ".conf");
        std::vector<float> ir(4000, 0.0f);
        for (const Tap& tap : rooms[r].taps)
            ir[static_cast<std::size_t>(tap.delay)] += static_cast<float>(tap.gain);
        WriteMonoWav(wav, ir);
        std::ofstream(config) << "<" RIG_CONFIG ">\npcm.walls { type rig noise " << rooms[r].noiseDb
                              << " ir \"" << wav.string() << "\" }\n";
        const ProgramRun run =
            RunProgram(Script("walls", "r"), {"ALSA_CONFIG_PATH=" + config.string()}, 90);
        const std::vector<Row> rows = ReflectionRows(run.out);
        std::vector<Row> expected;
        for (std::size_t i = 1; i < rooms[r].taps.size(); ++i) {
            const double ms = rooms[r].taps[i].delay / 48.0;
            const double db =
                20.0 * std::log10(std::fabs(rooms[r].taps[i].gain / rooms[r].taps[0].gain));
            if (ms <= 50.0 && db >= -20.0) expected.push_back({ms, ms * 0.343, db});
        }
        ASSERT_EQ(rows.size(), expected.size()) << run.out;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_NEAR(rows[i].ms, expected[i].ms, 0.05) << "room " << r;
            EXPECT_NEAR(rows[i].metres, expected[i].metres, 0.02) << "room " << r;
            EXPECT_NEAR(rows[i].db, expected[i].db, 1.0) << "room " << r;
        }
        EXPECT_NE(run.out.find("Initial time gap: " +
                               [&] {
                                   char text[32];
                                   std::snprintf(text, sizeof text, "%.2f ms",
                                                 rows.empty() ? 0.0 : rows[0].ms);
                                   return std::string(text);
                               }()),
                  std::string::npos);
        // The file holds the same rows.
        const std::string file = FileEndingIn(run, "_reflections.txt");
        const std::size_t table = file.find("Reflections:");
        ASSERT_NE(table, std::string::npos) << file;
        EXPECT_EQ(ReflectionRows("Early reflections within 50 ms\n" + file.substr(table)).size(),
                  expected.size());
        std::filesystem::remove(wav);
        std::filesystem::remove(config);
    }
}

}  // namespace
