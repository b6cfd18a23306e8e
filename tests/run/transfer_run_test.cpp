// The room's transfer function through the real program and the simulated
// rig: band levels, the response file, the impulse response and the delay,
// each against what the room's own definition says.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rig/room.h"
#include "room_response.h"
#include "run_support.h"

namespace {

// Rooms of the tests' own, beside the rig's devices. "modes" has its modes
// and a dip below 100 Hz and a gain that keeps its loudest mode unclipped.
constexpr const char* kRoomDevices = R"(
pcm.modes { type rig delay 480 gain -12 filters [
    { type peaking freq 40 gain 10 q 8 }
    { type peaking freq 71 gain -9 q 5 }
    { type lowshelf freq 200 gain 4 q 0.7 }
    { type lowpass freq 12000 q 0.7 } ] }
pcm.delay480 { type rig delay 480 }
pcm.hot { type rig gain 12 }
pcm.deaf { type rig gain -120 }
)";
const RigFilter kModes[] = {{RigFilterType::peaking, 40, 10, 8},
                            {RigFilterType::peaking, 71, -9, 5},
                            {RigFilterType::lowshelf, 200, 4, 0.7},
                            {RigFilterType::lowpass, 12000, 0, 0.7}};

// "modes_echo": the modes and a reflection 1 ms after the direct sound at
// 0.9 of its level, convolved in from a file: dips of -20 dB every 1 kHz,
// narrower than a 1/96 octave above a few kHz.
constexpr int kEchoFrames = 48;
constexpr double kEchoLevel = -0.9;

// Writes the reflection's impulse response as a WAV file.
void WriteEcho(const std::filesystem::path& path) {
    std::vector<float> taps(kEchoFrames + 1, 0.0f);
    taps.front() = 1.0f;
    taps.back() = static_cast<float>(kEchoLevel);
    WriteMonoWav(path, taps);
}

class TransferRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        config = std::filesystem::path(testing::TempDir()) / "transfer_rooms.conf";
        echo = std::filesystem::path(testing::TempDir()) / "transfer_echo.wav";
        WriteEcho(echo);
        std::ofstream(config) << "<" RIG_CONFIG ">\n"
                              << kRoomDevices
                              << "pcm.modes_echo { type rig delay 480 gain -12 ir \""
                              << echo.string() << "\" filters [\n"
                              << "{ type peaking freq 40 gain 10 q 8 }\n"
                              << "{ type peaking freq 71 gain -9 q 5 }\n"
                              << "{ type lowshelf freq 200 gain 4 q 0.7 }\n"
                              << "{ type lowpass freq 12000 q 0.7 } ] }\n";
    }
    static void TearDownTestSuite() {
        std::filesystem::remove(config);
        std::filesystem::remove(echo);
    }
    static ProgramRun Run(const std::string& device, const std::string& commands,
                          const std::function<void(const std::filesystem::path&)>& prepare = {}) {
        return RunProgram(Script(device, commands), {"ALSA_CONFIG_PATH=" + config.string()}, 60,
                          prepare);
    }
    static std::filesystem::path config;
    static std::filesystem::path echo;
};
std::filesystem::path TransferRun::config;
std::filesystem::path TransferRun::echo;

struct Room {
    const char* device;
    std::span<const RigFilter> filters;
    double gainDb;
};

// Every preset of every room: each band within 0.5 dB of the room's band
// power; the flat loop reads 0.0 exactly.
TEST_F(TransferRun, EveryBandOfEveryPresetReadsTheRoomsBandPower) {
    const Room rooms[] = {{"rig", {}, 0}, {"rig_room", rigRoomFilters, 0}, {"modes", kModes, -12}};
    for (const Room& room : rooms) {
        SCOPED_TRACE(room.device);
        ExpectEveryPresetReadsTheRoom(
            [&room](const std::string& commands) { return Run(room.device, commands); },
            room.filters);
    }
}

// The response file: comments first, then rising points, each H at its own
// frequency: the room's magnitude (its gain included, relative to the loop)
// and phase (its filters', the reflection's and the 480 frames of delay,
// relative to the loop-back reference), in the reflection's dips too.
TEST_F(TransferRun, ResponseFilePointsAreTheRoomsResponseAtTheirFrequency) {
    const ProgramRun run = Run("modes_echo", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const auto frd = std::find_if(run.files.begin(), run.files.end(),
                                  [](const auto& file) { return file.first.ends_with(".frd"); });
    ASSERT_NE(frd, run.files.end());
    const std::string& text = frd->second;
    ASSERT_EQ(text.rfind("* Zembrak 1.00\n", 0), 0u);
    EXPECT_NE(text.find("\n* Frequency (Hz), magnitude (dB) and phase (degrees) of H at that "
                        "frequency (not smoothed)\n"),
              std::string::npos);
    std::istringstream lines(text);
    std::string line;
    std::vector<double> f;
    bool pointsBegun = false;
    int inDip = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("*", 0) == 0) {
            EXPECT_FALSE(pointsBegun) << "comment after the points: " << line;
            continue;
        }
        pointsBegun = true;
        double frequency = 0, magnitude = 0, phase = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf", &frequency, &magnitude, &phase), 3);
        if (!f.empty()) {
            ASSERT_GT(frequency, f.back());
        }
        EXPECT_GT(phase, -180.0);
        EXPECT_LE(phase, 180.0);
        f.push_back(frequency);
        const double w = 2.0 * M_PI * frequency / 48000;
        const std::complex<double> truth = RoomResponse(kModes, frequency, 48000) *
                                           (1.0 + kEchoLevel * std::polar(1.0, -w * kEchoFrames)) *
                                           std::polar(1.0, -w * 480);
        EXPECT_NEAR(magnitude, 20 * std::log10(std::abs(truth)) - 12, 0.1) << frequency << " Hz";
        EXPECT_NEAR(std::remainder(phase - std::arg(truth) * 180 / M_PI, 360.0), 0.0, 1.0)
            << frequency << " Hz";
        if (20 * std::log10(std::abs(truth)) < -15) ++inDip;
    }
    ASSERT_GT(f.size(), 900u);  // 1/96 octave over 9.8 octaves
    EXPECT_GE(inDip, 5);        // points near the bottom of a dip
}

// The impulse response file alone, transformed, reads the typical room's
// power in every third octave of the swept range, the lowest (18 to
// 22.4 Hz) included, and marks time zero.
TEST_F(TransferRun, ImpulseFileReadsTheRoomInEveryThirdOctave) {
    const ProgramRun run = Run("rig_room", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    ExpectImpulseFileReadsTheRoom(run, rigRoomFilters, 18.0, 16175.0, rigRoomDelay);
}

// A pure delay of 480 frames: 10.00 ms, and the impulse response read back
// through libsndfile peaks there after time zero, which its cue point marks.
TEST_F(TransferRun, DelayAndImpulseResponseOfAPureDelay) {
    const ProgramRun run = Run("delay480", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("Acoustic delay: 10.00 ms (3.43 m at 343 m/s)\n"), std::string::npos);
    const ImpulseFile file = ReadImpulseFile(run);
    ASSERT_TRUE(file.read);
    const std::vector<float>& samples = file.samples;
    ASSERT_EQ(file.cues.size(), 1u);
    const std::size_t zero = file.cues[0];
    EXPECT_EQ(zero, 48000u);  // 1 s into the file
    // To 2.5 s after the direct sound.
    EXPECT_EQ(samples.size(), zero + 480 + 120000 + 1);
    std::size_t peak = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > std::fabs(samples[peak])) peak = i;
    }
    EXPECT_EQ(peak, zero + 480);
    // A unit impulse band-limited to the swept 18 to 16175 Hz peaks at the
    // band's share of the whole band up to 24000 Hz.
    EXPECT_NEAR(samples[peak], (16175.0 - 18.0) / 24000.0, 0.01);
}

TEST_F(TransferRun, ClippedAndSilentInputsAreSaid) {
    const ProgramRun hot = Run("hot", "r");
    EXPECT_NE(hot.out.find("Input 1 clipped: "), std::string::npos) << hot.out;
    EXPECT_EQ(Run("rig", "r").out.find("clipped"), std::string::npos);
    const ProgramRun deaf = Run("deaf", "r");
    // -120 dB: the sweep arrives at -129 dBFS RMS, a few steps of 24 bits.
    EXPECT_NE(deaf.out.find("Input 1 is too low to measure (-12"), std::string::npos) << deaf.out;
}

// Files of earlier runs under the same time are never replaced: the run
// takes the next free number.
TEST_F(TransferRun, TakenNamesMoveTheRunToTheNextNumber) {
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> taken;
    const ProgramRun run = Run("rig", "r", [&](const std::filesystem::path& dir) {
        for (std::time_t t = now - 1; t < now + 60; ++t) {
            char name[64];
            std::strftime(name, sizeof name, "sweep_%Y%m%d_%H%M%S_ir.wav", std::localtime(&t));
            std::ofstream(dir / name) << "earlier";
            taken.push_back(name);
        }
    });
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    int numbered = 0;
    for (const auto& [name, contents] : run.files) {
        if (contents == "earlier") continue;
        EXPECT_NE(name.find("_2"), std::string::npos) << name;
        ++numbered;
    }
    // .frd, _ir.wav, .png, .svg, _acoustics.txt, _reflections.txt,
    // _time.png, _time.svg, _summary.json
    EXPECT_EQ(numbered, 9);
    for (const std::string& name : taken) EXPECT_EQ(run.files.at(name), "earlier");
}

}  // namespace

namespace {

// A microphone 6 dB hot from 1 to 2 kHz: its calibration lowers exactly the
// bands inside that range by 6 dB and leaves those outside it alone, and the
// run's files name it.
TEST(CalibratedRun, BandsInsideTheCalibrationsRangeMoveByItsGain) {
    const std::filesystem::path file = std::filesystem::path(testing::TempDir()) / "mic.txt";
    std::ofstream(file) << "\"Sens Factor =-1.2dB\"\n999.9 0\n1000 6\n2000 6\n2000.1 0\n";
    const ProgramRun run = RunProgram(Script("rig", "r"), {"ALSA_CONFIG_PATH=" RIG_CONFIG}, 60, {},
                                      0, {"-C", file.string()});
    std::filesystem::remove(file);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<BandRow> rows = TableRows(TableText(run.out));
    ASSERT_EQ(rows.size(), 31u);
    int inside = 0;
    for (const BandRow& row : rows) {
        if (row.low >= 1000 && row.high <= 2000) {
            EXPECT_EQ(row.level, -6.0) << "band " << row.band;
            ++inside;
        } else if (row.high <= 999 || row.low >= 2001) {
            EXPECT_EQ(row.level, 0.0) << "band " << row.band;
        }
    }
    EXPECT_EQ(inside, 2);  // 1113-1391 and 1391-1738 Hz
    for (const auto& [name, contents] : run.files) {
        if (name.ends_with(".frd")) {
            EXPECT_NE(contents.find("* Calibration:  "), std::string::npos);
            EXPECT_NE(contents.find("mic.txt (4 points, 999.9 Hz to 2000.1 Hz)\n"),
                      std::string::npos);
        }
    }
}

}  // namespace
