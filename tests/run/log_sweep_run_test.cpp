// The exponential sweep through the real program and the simulated rig: the
// bands it reads, and the harmonic distortion of nonlinearities whose
// harmonics follow in closed form. For x = A cos(wt) the rig's
// y = x + a x^2 + b x^3 holds the fundamental A (1 + 3 b A^2 / 4), the 2nd
// harmonic a A^2 / 2 and the 3rd b A^3 / 4; the sweep's amplitude A is half
// of full scale.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rig/room.h"
#include "room_response.h"
#include "run_support.h"

namespace {

constexpr double kAmplitude = 0.5;

constexpr const char* kDevices = R"(
pcm.bent { type rig distortion2 0.1 distortion3 0.2 }
pcm.soft { type rig delay 240 distortion2 -0.03 distortion3 -0.12 }
pcm.noisy { type rig noise -80 seed 5 }
pcm.noisy_odd { type rig noise -80 seed 5 distortion3 0.1649484536 }
)";

// The typical room 6 dB lower, with its noise: rig_room itself clips at its
// 52 Hz mode (+8 dB over a sweep at half of full scale), which the
// exponential sweep, dwelling in the bass, shows as odd harmonics.
std::string QuietRoom() {
    return "pcm.quiet_room { type rig gain -6 delay " + std::to_string(rigRoomDelay) + " noise " +
           std::to_string(rigRoomNoise) + " " + RigFiltersField(rigRoomFilters) + " }\n";
}

class LogSweepRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        config = std::filesystem::path(testing::TempDir()) / "log_sweep_rooms.conf";
        std::ofstream(config) << "<" RIG_CONFIG ">\n" << kDevices << QuietRoom();
    }
    static void TearDownTestSuite() { std::filesystem::remove(config); }
    static ProgramRun Run(const std::string& device, const std::string& commands,
                          const std::vector<std::string>& arguments = {"--sweep", "log"}) {
        return RunProgram(Script(device, commands), {"ALSA_CONFIG_PATH=" + config.string()}, 90, {},
                          0, arguments);
    }
    static std::filesystem::path config;
};
std::filesystem::path LogSweepRun::config;

// One line of the distortion file: frequency, THD, H2..H5 (NaN for '-'
// and for '<' with its limit, which limited marks).
struct DistortionRow {
    double frequency = 0;
    double values[5] = {};
    bool limited[5] = {};
    double limits[5] = {};
};

std::vector<DistortionRow> DistortionRows(const std::string& text) {
    std::vector<DistortionRow> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '*') continue;
        std::istringstream fields(line);
        DistortionRow row;
        std::string field;
        fields >> row.frequency;
        for (int i = 0; i < 5; ++i) {
            fields >> field;
            row.limited[i] = !field.empty() && field[0] == '<';
            if (row.limited[i]) row.limits[i] = std::stod(field.substr(1));
            row.values[i] = field == "-" || row.limited[i] ? std::nan("") : std::stod(field);
        }
        if (fields.fail()) ADD_FAILURE() << "bad line: " << line;
        rows.push_back(row);
    }
    return rows;
}

// The row nearest f; its frequency lies within a 24th of an octave of f.
DistortionRow RowNear(const std::vector<DistortionRow>& rows, double f) {
    DistortionRow best;
    for (const DistortionRow& row : rows) {
        if (std::fabs(std::log2(row.frequency / f)) < std::fabs(std::log2(best.frequency / f)))
            best = row;
    }
    EXPECT_LT(std::fabs(std::log2(best.frequency / f)), 1.0 / 24.0 + 1e-9) << f;
    return best;
}

double Db(double ratio) {
    return 20.0 * std::log10(ratio);
}

// Every preset on the flat loop and the typical room: the same band levels
// as the linear sweep reads (the flat loop 0.0 in every band).
TEST_F(LogSweepRun, BandsReadTheRoomsBandPower) {
    struct Room {
        const char* device;
        std::span<const RigFilter> filters;
    };
    const Room rooms[] = {{"rig", {}}, {"rig_room", rigRoomFilters}};
    for (const Room& room : rooms) {
        SCOPED_TRACE(room.device);
        ExpectEveryPresetReadsTheRoom(
            [&room](const std::string& commands) { return Run(room.device, commands); },
            room.filters);
    }
}

// The impulse response file of the exponential sweep, alone, reads the
// typical room's power in every third octave of the bands' range.
TEST_F(LogSweepRun, ImpulseFileReadsTheRoomInEveryThirdOctave) {
    const ProgramRun run = Run("quiet_room", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    ExpectImpulseFileReadsTheRoom(run, rigRoomFilters, 18.0, 16175.0, rigRoomDelay);
}

// The 2nd and 3rd harmonics of a known polynomial at 100 Hz, 1 kHz and
// 5 kHz, and THD from them on the console.
TEST_F(LogSweepRun, KnownNonlinearityGivesItsHarmonics) {
    struct Device {
        const char* name;
        double a, b;
    };
    for (const Device& device : {Device{"bent", 0.1, 0.2}, Device{"soft", -0.03, -0.12}}) {
        SCOPED_TRACE(device.name);
        const ProgramRun run = Run(device.name, "r");
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const double fundamental = 1.0 + 3.0 * device.b * kAmplitude * kAmplitude / 4.0;
        const double h2 = 100.0 * std::fabs(device.a) * kAmplitude / 2.0 / fundamental;
        const double h3 = 100.0 * std::fabs(device.b) * kAmplitude * kAmplitude / 4.0 / fundamental;
        const std::vector<DistortionRow> rows =
            DistortionRows(FileEndingIn(run, "_distortion.txt"));
        ASSERT_GT(rows.size(), 100u);
        for (double f : {100.0, 1000.0, 5000.0}) {
            const DistortionRow row = RowNear(rows, f);
            EXPECT_NEAR(Db(row.values[1]), Db(h2), 0.5) << f;
            EXPECT_NEAR(Db(row.values[2]), Db(h3), 0.5) << f;
        }
        // The summary's THD at 1 kHz: the root sum of both (the 4th and
        // 5th are absent from this polynomial).
        EXPECT_NEAR(Db(NumberAfter(run.out, "Harmonic distortion (THD): ") / std::hypot(h2, h3)),
                    0.0, 0.5)
            << run.out;
        const std::size_t at = run.out.find("Harmonic distortion (THD): ");
        ASSERT_NE(at, std::string::npos);
        const std::string line = run.out.substr(at, run.out.find('\n', at) - at);
        EXPECT_NE(line.find(" % at 100 Hz, "), std::string::npos) << line;
        EXPECT_NE(line.find(" % at 1 kHz, "), std::string::npos) << line;
        EXPECT_NE(line.find(" % at 10 kHz"), std::string::npos) << line;
        // The compression of the fundamental is the same at every
        // frequency: the bands stay flat.
        for (const BandRow& row : TableRows(TableText(run.out))) {
            EXPECT_EQ(row.level, 0.0) << "band " << row.band;
        }
    }
}

// The typical room, below clipping, is linear: only its noise shows ahead
// of the response.
TEST_F(LogSweepRun, LinearRoomShowsNoDistortion) {
    const ProgramRun run = Run("quiet_room", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out.find("clipped"), std::string::npos);
    const std::vector<DistortionRow> rows = DistortionRows(FileEndingIn(run, "_distortion.txt"));
    ASSERT_GT(rows.size(), 100u);
    // THD below 0.01 %, as a figure or as the noise's limit.
    int checked = 0;
    for (const DistortionRow& row : rows) {
        if (row.frequency < 30.0 || row.frequency > 5000.0) continue;
        EXPECT_LT(row.limited[0] ? row.limits[0] : row.values[0], 0.01) << row.frequency;
        ++checked;
    }
    EXPECT_GT(checked, 80);
    const std::size_t at = run.out.find("Harmonic distortion (THD): ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string line = run.out.substr(at, run.out.find('\n', at) - at);
    for (const char* frequency : {"100 Hz", "1 kHz"}) {
        const std::size_t end = line.find(std::string(" %) at ") + frequency);
        const std::size_t figure = line.find(std::string(" % at ") + frequency);
        ASSERT_TRUE(end != std::string::npos || figure != std::string::npos) << line;
        const std::size_t stop = end != std::string::npos ? end : figure;
        const std::size_t start = line.rfind(' ', stop - 1) + 1;
        EXPECT_LT(std::stod(line.substr(start, stop - start)), 0.01) << line;
    }
}

// A flat loop with white noise at -80 dBFS and no distortion: nowhere is
// the noise given as THD (it read 0.077 % at 24 Hz as such); the file and
// the console say the reading is below the noise, with its limit.
TEST_F(LogSweepRun, NoiseIsNotGivenAsDistortion) {
    const ProgramRun run = Run("noisy", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<DistortionRow> rows = DistortionRows(FileEndingIn(run, "_distortion.txt"));
    ASSERT_GT(rows.size(), 100u);
    int limited = 0;
    for (const DistortionRow& row : rows) {
        SCOPED_TRACE(row.frequency);
        for (int i = 0; i < 5; ++i) EXPECT_TRUE(std::isnan(row.values[i])) << i;
        if (row.limited[0]) {
            EXPECT_GT(row.limits[0], 0.0);
            EXPECT_LT(row.limits[0], 1.0);
            ++limited;
        }
    }
    EXPECT_GT(limited, 100);
    EXPECT_GT(RowNear(rows, 24.0).limits[0], 0.0);
    EXPECT_EQ(Count(run.out, "below the noise (< "), 3) << run.out;
    EXPECT_NE(run.out.find(" %) at 100 Hz, below the noise (< "), std::string::npos) << run.out;
}

// 1 % of third harmonic above that noise reads as it does without it; the
// absent 2nd harmonic is below the noise.
TEST_F(LogSweepRun, DistortionAboveTheNoiseReadsItsValue) {
    const ProgramRun run = Run("noisy_odd", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<DistortionRow> rows = DistortionRows(FileEndingIn(run, "_distortion.txt"));
    ASSERT_GT(rows.size(), 100u);
    for (double f : {100.0, 1000.0, 5000.0}) {
        const DistortionRow row = RowNear(rows, f);
        EXPECT_NEAR(Db(row.values[2]), 0.0, 0.5) << f;
        EXPECT_NEAR(Db(row.values[0]), 0.0, 0.5) << f;
        EXPECT_TRUE(row.limited[1]) << f;
    }
    EXPECT_NEAR(Db(NumberAfter(run.out, "Harmonic distortion (THD): ")), 0.0, 0.5) << run.out;
}

// The exponential sweep adds the distortion file and a note in the response
// file; the default linear sweep leaves both out, on the same distorting
// device.
TEST_F(LogSweepRun, DistortionFileOnlyWithTheExponentialSweep) {
    const ProgramRun log = Run("bent", "r");
    ASSERT_EQ(log.exitStatus, 0) << log.err;
    EXPECT_FALSE(FileEndingIn(log, "_distortion.txt").empty());
    EXPECT_NE(FileEndingIn(log, ".frd").find("* Harmonic distortion"), std::string::npos);
    EXPECT_EQ(Count(log.out, "Harmonic distortion"), 1);
    const std::string text = FileEndingIn(log, "_distortion.txt");
    EXPECT_NE(text.find("* Exponential sweep: 9.0 Hz to 22800.0 Hz\n"), std::string::npos);

    const ProgramRun linear = Run("bent", "r", {});
    ASSERT_EQ(linear.exitStatus, 0) << linear.err;
    EXPECT_TRUE(FileEndingIn(linear, "_distortion.txt").empty());
    EXPECT_FALSE(FileEndingIn(linear, ".frd").empty());
    EXPECT_EQ(FileEndingIn(linear, ".frd").find("Harmonic"), std::string::npos);
    EXPECT_EQ(linear.out.find("Harmonic distortion"), std::string::npos);
    EXPECT_EQ(log.files.size(), linear.files.size() + 1);
}

}  // namespace

namespace {

// A start of 0 Hz has no half for the exponential sweep to begin at: the run
// is refused before anything is played, and the session goes on.
TEST_F(LogSweepRun, StartOfZeroIsRefused) {
    const ProgramRun run = Run("rig", "f\n0\nr");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("An exponential sweep needs a start frequency above 0 Hz"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Running Test..."), std::string::npos);
    EXPECT_TRUE(run.files.empty());
    EXPECT_FALSE(run.resultsExist);
}

}  // namespace
