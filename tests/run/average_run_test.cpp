// The session's average of microphone positions through the real program
// and the simulated rig: each position a rig room of known filters.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/band_plan.h"
#include "rig/room.h"
#include "room_response.h"
#include "run_support.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kGainDb = -8.0;

// The typical room with its two modes moved and scaled, one set per seat.
struct Seat {
    const char* device;
    int delay;
    std::vector<RigFilter> filters;
};
std::vector<RigFilter> Modes(double f1, double g1, double q1, double f2, double g2, double q2) {
    return {{RigFilterType::highpass, 35.0, 0.0, 0.707},
            {RigFilterType::peaking, f1, g1, q1},
            {RigFilterType::peaking, f2, g2, q2},
            {RigFilterType::highshelf, 8000.0, -6.0, 0.707}};
}
const std::vector<Seat> kSeats = {
    {"seat1", 420, Modes(52.0, 8.0, 5.0, 118.0, 6.0, 4.0)},
    {"seat2", 500, Modes(60.0, -6.0, 4.0, 105.0, 9.0, 6.0)},
    {"seat3", 380, Modes(45.0, 4.0, 3.0, 140.0, -8.0, 5.0)},
};

std::string Device(const Seat& seat, const std::string& extra = "") {
    return std::string("pcm.") + seat.device + extra + " { type rig gain " +
           std::to_string(kGainDb) + " delay " + std::to_string(seat.delay) + " noise -90 seed 3 " +
           (extra.empty() ? "" : "cut_capture 100 ") + RigFiltersField(seat.filters) + " }\n";
}

class AverageRun : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        config = std::filesystem::path(testing::TempDir()) / "average_seats.conf";
        std::ofstream file(config);
        file << "<" RIG_CONFIG ">\n";
        for (const Seat& seat : kSeats) file << Device(seat);
        file << Device(kSeats[1], "_cut");
        // One seat at two distances from the loudspeaker.
        Seat near = kSeats[0], far = kSeats[0];
        near.device = "near";
        near.delay = 100;
        far.device = "far";
        far.delay = 340;
        file << Device(near) << Device(far);
    }
    static void TearDownTestSuite() { std::filesystem::remove(config); }
    static ProgramRun Run(const std::string& input, const std::vector<std::string>& arguments) {
        return RunProgram(input, {"ALSA_CONFIG_PATH=" + config.string()}, 120, {}, 0, arguments);
    }
    static std::filesystem::path config;
};
std::filesystem::path AverageRun::config;

// Runs on each device in turn, each answered with "c".
std::string Runs(const std::vector<std::string>& devices, const std::string& then = "") {
    std::string input;
    for (const std::string& device : devices) input += "c " + device + "\nr\nc\n";
    return input + then + "x\n";
}

// The mean of |H|^2 over [low, high] on a fine uniform grid, the room's
// gain included.
double BandPower(const std::vector<RigFilter>& filters, double low, double high) {
    constexpr int kSteps = 4000;
    double sum = 0.0;
    for (int i = 0; i < kSteps; ++i) {
        sum += RoomPower(filters, low + (high - low) * (i + 0.5) / kSteps, kRate);
    }
    return sum / kSteps * std::pow(10.0, kGainDb / 10.0);
}

struct AverageRow {
    double level, lowest, highest, deviation;
};

// The rows of the last average table printed.
std::vector<AverageRow> AverageRows(const std::string& out) {
    std::vector<AverageRow> rows;
    const std::size_t table = out.rfind("Band\tRange (Hz)\tdB\tLowest\tHighest\tSD\n");
    if (table == std::string::npos) return rows;
    std::istringstream lines(out.substr(table));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        int band;
        double low, high;
        AverageRow row;
        if (std::sscanf(line.c_str(), "%d\t%lf\t%lf\t%lf\t%lf\t%lf\t%lf", &band, &low, &high,
                        &row.level, &row.lowest, &row.highest, &row.deviation) != 7) {
            break;
        }
        rows.push_back(row);
    }
    return rows;
}

// Three seats, and a disturbed take between them: the average of the three
// is the power average of their rooms, band by band and point by point, and
// its spread theirs.
TEST_F(AverageRun, ThreeSeatsReadThePowerAverageOfTheirRooms) {
    const ProgramRun run =
        Run(Runs({"seat1", "seat2_cut", "seat2", "seat3"}, "b 20\nr\nc\n"), {"--average"});
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, "This take is not added to the average: the take was disturbed.\n"),
              1);
    EXPECT_EQ(Count(run.out, "Position 3 added to the power average.\n"), 1);
    EXPECT_EQ(Count(run.out, "Position 4 added"), 0);
    EXPECT_EQ(Count(run.out,
                    "The settings changed: a new average begins with this take. The "
                    "average of 3 positions stays in "),
              1);

    // The bands of the default plan, from the seats' filters.
    BandPlan plan;
    FindHighFreq(4.0, 31, 18.0, plan.lowerEdges, plan.upperEdges);
    const std::size_t bands = 31;
    std::vector<std::vector<double>> power(bands);
    double loudest = 0.0;
    std::vector<double> mean(bands, 0.0);
    for (std::size_t b = 0; b < bands; ++b) {
        for (const Seat& seat : kSeats) {
            power[b].push_back(BandPower(seat.filters, plan.lowerEdges[b], plan.upperEdges[b]));
            mean[b] += power[b].back() / 3.0;
        }
        loudest = std::max(loudest, mean[b]);
    }
    const std::vector<AverageRow> rows =
        AverageRows(run.out.substr(0, run.out.find("The settings changed")));
    ASSERT_EQ(rows.size(), bands);
    for (std::size_t b = 0; b < bands; ++b) {
        SCOPED_TRACE(b + 1);
        std::vector<double> levels;
        for (const double p : power[b]) levels.push_back(10.0 * std::log10(p / loudest));
        const double average = (levels[0] + levels[1] + levels[2]) / 3.0;
        double squares = 0.0;
        for (const double level : levels) squares += (level - average) * (level - average);
        EXPECT_NEAR(rows[b].level, 10.0 * std::log10(mean[b] / loudest), 0.2);
        EXPECT_NEAR(rows[b].lowest, *std::min_element(levels.begin(), levels.end()), 0.2);
        EXPECT_NEAR(rows[b].highest, *std::max_element(levels.begin(), levels.end()), 0.2);
        EXPECT_NEAR(rows[b].deviation, std::sqrt(squares / 2.0), 0.2);
    }

    // The file: the mean of |H|^2 of the three rooms at each point.
    const auto points = ResponseFilePoints(FileEndingIn(run, "_average.frd"));
    ASSERT_GT(points.size(), 900u);
    int checked = 0;
    for (const auto& [f, level] : points) {
        if (f < 25.0 || f > 12000.0) continue;
        double sum = 0.0;
        for (const Seat& seat : kSeats) sum += RoomPower(seat.filters, f, kRate) / 3.0;
        ASSERT_NEAR(level, 10.0 * std::log10(sum) + kGainDb, 0.2) << f << " Hz";
        ++checked;
    }
    EXPECT_GT(checked, 800);
}

// One seat at two distances: each moved back by its own delay, the vector
// average reads the seat's room. Without that alignment the two would
// cancel at 100 Hz (half a period apart).
TEST_F(AverageRun, VectorAverageOfOneSeatAtTwoDelaysReadsThatSeat) {
    const ProgramRun run = Run(Runs({"near", "far"}), {"--average", "vector"});
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, "Position 2 added to the vector average.\n"), 1);
    const auto points = ResponseFilePoints(FileEndingIn(run, "_average.frd"));
    ASSERT_GT(points.size(), 900u);
    for (const auto& [f, level] : points) {
        if (f < 25.0 || f > 12000.0) continue;
        ASSERT_NEAR(level, 10.0 * std::log10(RoomPower(kSeats[0].filters, f, kRate)) + kGainDb, 0.2)
            << f << " Hz";
    }
}

}  // namespace
