// The check for disturbed takes through the real program and the simulated
// rig: a block of the capture lost or repeated inside the device is reported
// at its time; clean takes, quiet or noisy, flat, reverberant or through a
// loudspeaker that distorts (by 1, 2.7, 10 and 14 % THD), are not.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "run_support.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kChunkFrames = 1024.0;  // the rig's period

class DisturbanceRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::filesystem::path dir = testing::TempDir();
        config = dir / "disturbance_rooms.conf";
        reverberant = dir / "disturbance_reverberant.wav";
        WriteReverberantRoom(reverberant);
        std::ofstream(config) << "<" RIG_CONFIG ">\n"
                              << "pcm.noise100 { type rig noise -100 }\n"
                              << "pcm.noise80 { type rig noise -80 }\n"
                              << "pcm.noise60 { type rig noise -60 }\n"
                              << "pcm.noise50 { type rig noise -50 }\n"
                              << "pcm.reverberant { type rig noise -70 ir \""
                              << reverberant.string() << "\" }\n"
                              << "pcm.bent { type rig distortion2 0.1 distortion3 0.2 }\n"
                              << "pcm.soft { type rig delay 240 distortion2 -0.03 distortion3 "
                                 "-0.12 }\n"
                              << "pcm.harsh { type rig distortion2 0.4 distortion3 0.8 }\n"
                              << "pcm.harshroom { type rig room typical distortion2 0.6 "
                                 "distortion3 1.2 }\n"
                              << "pcm.cut250harsh { type rig distortion2 0.4 distortion3 0.8 "
                                 "cut_capture 250 }\n"
                              << "pcm.cut100 { type rig cut_capture 100 }\n"
                              << "pcm.repeat100 { type rig repeat_capture 100 }\n"
                              << "pcm.cut300room { type rig room typical cut_capture 300 }\n"
                              << "pcm.repeat300room { type rig room typical repeat_capture 300 }\n"
                              << "pcm.cut40noise50 { type rig noise -50 cut_capture 40 }\n"
                              << "pcm.repeat450noise50 { type rig noise -50 repeat_capture 450 }\n"
                              << "pcm.cut200reverberant { type rig noise -70 cut_capture 200 ir \""
                              << reverberant.string() << "\" }\n";
    }
    static void TearDownTestSuite() {
        std::filesystem::remove(config);
        std::filesystem::remove(reverberant);
    }
    // Exponentially decaying noise: a diffuse room with a reverberation time
    // of 0.5 s (60 dB of decay in 0.5 s), one second long, its energy that of
    // a gain of -6 dB.
    static void WriteReverberantRoom(const std::filesystem::path& path) {
        const int frames = 48000;
        std::vector<float> samples(frames);
        std::mt19937 random(3);
        std::normal_distribution<double> noise(0.0, 1.0);
        double energy = 0.0;
        std::vector<double> values(frames);
        for (int n = 0; n < frames; ++n) {
            const double seconds = n / kRate;
            values[n] = noise(random) * std::pow(10.0, -3.0 * seconds / 0.5);
            energy += values[n] * values[n];
        }
        const double scale = 0.5 / std::sqrt(energy);
        for (int n = 0; n < frames; ++n) samples[n] = static_cast<float>(values[n] * scale);
        WriteMonoWav(path, samples);
    }
    static ProgramRun Run(const std::string& device, const std::string& commands, bool logSweep) {
        std::vector<std::string> arguments;
        if (logSweep) arguments = {"--sweep", "log"};
        return RunProgram(Script(device, commands), {"ALSA_CONFIG_PATH=" + config.string()}, 90, {},
                          0, arguments);
    }
    static std::filesystem::path config;
    static std::filesystem::path reverberant;
};
std::filesystem::path DisturbanceRun::config;
std::filesystem::path DisturbanceRun::reverberant;

// The warning's time, or a negative value when there is no warning.
double DisturbedAt(const std::string& out) {
    const std::string head = "Warning: the take was disturbed at ";
    const std::size_t at = out.find(head);
    if (at == std::string::npos) return -1.0;
    double seconds = -1.0;
    if (std::sscanf(out.c_str() + at + head.size(), "%lf s", &seconds) != 1) return -2.0;
    const std::size_t end = out.find('\n', at);
    if (out.substr(at, end - at).find("repeat the measurement") == std::string::npos) return -3.0;
    return seconds;
}

TEST_F(DisturbanceRun, ALostOrRepeatedBlockIsReportedAtItsTime) {
    const struct {
        const char* device;
        int chunk;
        bool logSweep;
    } cases[] = {
        {"cut100", 100, false},
        {"repeat100", 100, false},
        {"cut300room", 300, false},
        {"repeat300room", 300, false},
        {"cut40noise50", 40, false},
        {"repeat450noise50", 450, false},
        {"cut200reverberant", 200, false},
        {"cut300room", 300, true},
        {"repeat100", 100, true},
        {"cut250harsh", 250, false},
        {"cut250harsh", 250, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + (c.logSweep ? ", exponential sweep" : ""));
        const ProgramRun run = Run(c.device, "r", c.logSweep);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        ASSERT_NE(run.out.find("Results:"), std::string::npos) << run.out;
        // The block enters the capture at chunk * 1024 frames; the first
        // block over the limit holds the jump.
        const double truth = c.chunk * kChunkFrames / kRate;
        const double seconds = DisturbedAt(run.out);
        EXPECT_NEAR(seconds, truth, 0.05) << run.out;
        // One warning only.
        const std::size_t first = run.out.find("take was disturbed");
        EXPECT_EQ(run.out.find("take was disturbed", first + 1), std::string::npos);
    }
}

TEST_F(DisturbanceRun, CleanTakesAreNotReported) {
    const struct {
        const char* device;
        const char* commands;
        bool logSweep;
    } cases[] = {
        {"rig", "r", false},
        {"noise100", "r", false},
        {"noise80", "r", false},
        {"noise60", "r", false},
        {"noise50", "r", false},
        {"rig_room", "r", false},
        {"reverberant", "r", false},
        {"rig_room", "p 5\nr", false},
        {"noise50", "p 1\nr", false},
        {"soft", "r", false},
        {"bent", "r", true},
        {"rig_room", "r", true},
        {"noise50", "r", true},
        {"reverberant", "r", true},
        // Loudspeakers that distort by 10 and by 11 to 14 % (THD): their
        // harmonics are no disturbance, with either sweep.
        {"harsh", "r", false},
        {"harsh", "r", true},
        {"harshroom", "r", false},
        {"harshroom", "r", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " / " + c.commands +
                     (c.logSweep ? ", exponential sweep" : ""));
        const ProgramRun run = Run(c.device, c.commands, c.logSweep);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        ASSERT_NE(run.out.find("Results:"), std::string::npos) << run.out;
        EXPECT_EQ(DisturbedAt(run.out), -1.0) << run.out;
    }
}

}  // namespace
