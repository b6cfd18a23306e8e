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

#include "rig/room.h"
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

// The decay time of a resonance the rig applies, from its poles: the
// cookbook peaking filter's denominator 1 + a1 z^-1 + a2 z^-2 has poles of
// radius sqrt(a2), which ring down 60 dB in 6.91 / (-fs ln r) s.
double PeakingT60(double f0, double q, double gainDb) {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double alpha = std::sin(2.0 * M_PI * f0 / 48000.0) / (2.0 * q);
    const double a2 = (1.0 - alpha / a) / (1.0 + alpha / a);
    return 3.0 * std::log(10.0) / (-48000.0 * std::log(std::sqrt(a2)));
}

TEST(TimeViewsRun, AModeOfTheRoomRingsForTheTimeItsPolesGive) {
    const struct {
        double f0, q, gainDb;
        int noiseDb;
    } modes[] = {{70.0, 4.0, 18.0, -90}, {150.0, 10.0, 12.0, -80}, {45.0, 3.0, 20.0, -90}};
    const std::filesystem::path dir = testing::TempDir();
    for (const auto& m : modes) {
        const double truth = PeakingT60(m.f0, m.q, m.gainDb);
        ASSERT_GE(truth, 0.1);
        ASSERT_LE(truth, 1.5);
        const std::filesystem::path config = dir / "time_views_mode.conf";
        const RigFilter filter{RigFilterType::peaking, m.f0, m.gainDb, m.q};
        std::ofstream(config) << "<" RIG_CONFIG ">\npcm.mode { type rig gain -20 noise "
                              << m.noiseDb << " " << RigFiltersField(std::span(&filter, 1))
                              << " }\n";
        const ProgramRun run =
            RunProgram(Script("mode", "r"), {"ALSA_CONFIG_PATH=" + config.string()}, 90);
        std::filesystem::remove(config);
        const std::size_t at = run.out.find("Room modes below 300 Hz");
        ASSERT_NE(at, std::string::npos) << run.out;
        std::istringstream lines(run.out.substr(at, run.out.find("Files:", at) - at));
        std::string line;
        double frequency = 0.0, level = 0.0, t60 = 0.0;
        bool found = false;
        while (std::getline(lines, line)) {
            if (std::sscanf(line.c_str(), "%lf %lf %lf", &frequency, &level, &t60) == 3 &&
                std::fabs(frequency - m.f0) < 0.03 * m.f0) {
                found = true;
                break;
            }
        }
        ASSERT_TRUE(found) << m.f0 << " Hz\n" << run.out.substr(at);
        EXPECT_NEAR(t60, truth, 0.1 * truth) << m.f0 << " Hz Q " << m.q;
    }
}

}  // namespace
