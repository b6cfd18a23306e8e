// Room correction through the real program and the simulated rig: a room
// of modes corrected, and the correction played back through the rig.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "rig/room.h"
#include "room_response.h"
#include "run_support.h"

namespace {

constexpr double kRate = 48000.0;

// The typical room's high-pass and two modes, 10 dB down.
const std::vector<RigFilter> kRoom = {{RigFilterType::highpass, 30.0, 0.0, 0.707},
                                      {RigFilterType::peaking, 52.0, 9.0, 5.0},
                                      {RigFilterType::peaking, 118.0, 6.0, 4.0},
                                      {RigFilterType::peaking, 180.0, 5.0, 6.0}};
constexpr double kGainDb = -10.0;

class CorrectionRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        config = std::filesystem::path(testing::TempDir()) / "correction_rooms.conf";
        std::ofstream file(config);
        file << "<" RIG_CONFIG ">\npcm.modes { type rig gain " << kGainDb << " filters [\n";
        for (const RigFilter& f : kRoom) {
            static const char* const kinds[] = {"peaking", "lowshelf", "highshelf", "highpass",
                                                "lowpass"};
            file << "{ type " << kinds[static_cast<int>(f.type)] << " freq " << f.freq << " gain "
                 << f.gain << " q " << f.q << " }\n";
        }
        file << "] }\n";
    }
    static void TearDownTestSuite() { std::filesystem::remove(config); }
    static ProgramRun Run(const std::vector<std::string>& arguments,
                          const std::function<void(const std::filesystem::path&)>& prepare = {}) {
        return RunProgram(Script("modes", "r"), {"ALSA_CONFIG_PATH=" + config.string()}, 120,
                          prepare, 0, arguments);
    }
    static std::filesystem::path config;
};
std::filesystem::path CorrectionRun::config;

// The filters of an equalizer text, read here with sscanf.
struct Eq {
    double preamp = 0.0;
    std::vector<RigFilter> filters;
};
Eq ReadEq(const std::string& text) {
    Eq eq;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        int n;
        double f, g, q;
        if (std::sscanf(line.c_str(), "Preamp: %lf dB", &eq.preamp) == 1) continue;
        if (std::sscanf(line.c_str(), "Filter %d: ON PK Fc %lf Hz Gain %lf dB Q %lf", &n, &f, &g,
                        &q) == 4) {
            eq.filters.push_back({RigFilterType::peaking, f, g, q});
        }
    }
    return eq;
}

// The power mean of the points within 1/24 octave of f, in dB.
double Smoothed(const std::vector<std::pair<double, double>>& points, double f,
                const std::function<double(double)>& level) {
    double sum = 0.0, weights = 0.0;
    for (const auto& [g, measured] : points) {
        if (std::fabs(std::log2(g / f)) > 1.0 / 24.0) continue;
        sum += g * std::pow(10.0, level ? level(g) / 10.0 : measured / 10.0);
        weights += g;
    }
    return 10.0 * std::log10(sum / weights);
}

// The room's modes are designed away, the correction's files are written,
// and the same correction played through the rig reads what the design
// predicted: the room and the filters (the cookbook's formulas) within
// 0.5 dB at 1/12 octave, flat within the design's tolerance.
TEST_F(CorrectionRun, DesignedCorrectionPlayedThroughTheRigReadsItsPrediction) {
    const ProgramRun designed = Run({"--eq"});
    ASSERT_FALSE(designed.timedOut);
    ASSERT_EQ(designed.exitStatus, 0) << designed.err;
    ASSERT_NE(designed.out.find("Filter\tFc (Hz)\tGain (dB)\tQ\n"), std::string::npos);
    for (const char* ending :
         {"_eq.txt", "_eq_camilladsp.yml", "_eq_pipewire.conf", "_eq_biquads.txt"}) {
        EXPECT_NE(FileEndingIn(designed, ending), "") << ending;
    }
    const std::string eqText = FileEndingIn(designed, "_eq.txt");
    const Eq eq = ReadEq(eqText);
    ASSERT_GE(eq.filters.size(), 3u);

    const ProgramRun played = Run({"--apply-eq", "room_eq.txt"}, [&eqText](const auto& dir) {
        std::ofstream(dir / "room_eq.txt") << eqText;
    });
    ASSERT_FALSE(played.timedOut);
    ASSERT_EQ(played.exitStatus, 0) << played.err;
    EXPECT_NE(played.out.find("Played through the correction in room_eq.txt: "), std::string::npos);
    const auto points = ResponseFilePoints(FileEndingIn(played, ".frd"));
    ASSERT_GT(points.size(), 900u);
    const auto expected = [&eq](double f) {
        return 10.0 * std::log10(RoomPower(kRoom, f, kRate) * RoomPower(eq.filters, f, kRate)) +
               kGainDb + eq.preamp;
    };
    const double flat = Smoothed(points, 400.0, {});
    for (double f = 25.0; f <= 300.0; f *= std::exp2(1.0 / 12.0)) {
        const double measured = Smoothed(points, f, {});
        EXPECT_NEAR(measured, Smoothed(points, f, expected), 0.5) << f;
        // Above the high-pass the modes are gone.
        if (f >= 40.0) {
            EXPECT_NEAR(measured, flat, 1.5) << f;
        }
    }
}

// A correction whose boost would drive the sweep past full scale is refused
// before anything is played.
TEST_F(CorrectionRun, ABoostThatWouldClipIsRefusedBeforeThePlay) {
    const ProgramRun run = Run({"--apply-eq", "loud.txt"}, [](const auto& dir) {
        std::ofstream(dir / "loud.txt")
            << "Preamp: 0 dB\nFilter 1: ON PK Fc 1000 Hz Gain 12 dB Q 1\n";
    });
    ASSERT_FALSE(run.timedOut);
    EXPECT_NE(run.out.find("The correction in loud.txt would make the sweep clip"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_FALSE(run.resultsExist);
}

}  // namespace
