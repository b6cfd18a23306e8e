// Runs made from the command line (--measure), without reading standard
// input: their exit statuses, the summary file other programs read, checked
// against the printed figures, --json's standard output, the refusals and
// the sweep's level.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run_support.h"

namespace {

using nlohmann::json;

constexpr const char* kRigEnvironment = "ALSA_CONFIG_PATH=" RIG_CONFIG;

// Commands that would change the run, or wait at a prompt, if standard
// input were read.
constexpr const char* kInputNotRead = "c nodev\nb 3\nr\nx\n";

ProgramRun Measure(const std::vector<std::string>& arguments, const std::string& input = "") {
    return RunProgram(input, {kRigEnvironment}, 120, {}, 0, arguments);
}

// The summary file of a run, parsed; null (and a failure) when there is none.
json SummaryOf(const ProgramRun& run) {
    const std::string text = FileEndingIn(run, "_summary.json");
    EXPECT_FALSE(text.empty()) << "no summary file";
    if (text.empty()) return nullptr;
    return json::parse(text);
}

// The level of a summary value, NaN for null.
double Value(const json& value) {
    return value.is_number() ? value.get<double>() : std::nan("");
}

struct StatusCase {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    bool played;
    bool banner = true;  // a bad option ends the program before it
};

void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.name;
}

class ScriptedStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ScriptedStatus, EndsWithTheTakesStatusWithoutReadingInput) {
    const StatusCase& c = GetParam();
    const ProgramRun run = Measure(c.arguments, kInputNotRead);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, c.status) << run.out << run.err;
    // The banner, but no menu and no prompt.
    EXPECT_EQ(Count(run.out, "//  WARNING! This program will send a wide range of sine waves  //"),
              c.banner ? 1 : 0);
    EXPECT_EQ(Count(run.out, "Enter 'h' for help"), 0);
    EXPECT_EQ(Count(run.out, "Enter 'c' to continue"), 0);
    EXPECT_EQ(Count(run.out, "Running Test..."), c.played ? 1 : 0);
    // The device of the options was used, not "nodev" from the input.
    EXPECT_EQ(Count(run.out, "Soundcard:  nodev"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rig, ScriptedStatus,
    testing::Values(StatusCase{"Clean", {"-D", "rig", "--measure", "1", "--length", "2"}, 0, true},
                    StatusCase{"Disturbed", {"-D", "rig_cut_rec", "--measure", "1"}, 3, true},
                    StatusCase{"NoPulse", {"-D", "rig_nocable", "--measure", "1"}, 3, true},
                    StatusCase{"UnknownDevice", {"-D", "nosuchdev", "--measure", "1"}, 1, false},
                    StatusCase{"NoCapture", {"-D", "rig_nocapture", "--measure", "1"}, 1, false},
                    StatusCase{
                        "Refused", {"-D", "rig", "--measure", "1", "--bands", "0"}, 2, false},
                    StatusCase{"BadOption", {"-D", "rig", "--measure", "0"}, 2, false, false}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST(ScriptedRun, EveryTakeIsMadeAndAFlawedOneDecides) {
    const ProgramRun clean = Measure({"-D", "rig", "--measure", "3", "--length", "1"});
    ASSERT_EQ(clean.exitStatus, 0) << clean.err;
    EXPECT_EQ(Count(clean.out, "Running Test..."), 3);
    EXPECT_EQ(Count(clean.out, "Results:\n"), 3);
    EXPECT_EQ(Count(clean.results, "Results:\n"), 3);
    int summaries = 0;
    for (const auto& [name, text] : clean.files) {
        summaries += name.ends_with("_summary.json") ? 1 : 0;
    }
    EXPECT_EQ(summaries, 3);

    // Two takes without the pulse: both are made, and the status says so.
    const ProgramRun flawed = Measure({"-D", "rig_nocable", "--measure", "2", "--length", "1"});
    EXPECT_EQ(flawed.exitStatus, 3);
    EXPECT_EQ(Count(flawed.out, "The sync pulse was not found on input 2"), 2);
}

TEST(ScriptedRun, SummaryHoldsThePrintedFigures) {
    const ProgramRun run = Measure({"-D", "rig_room", "--measure", "1", "--length", "3", "--preset",
                                    "2", "--start", "20", "--sweep", "log", "--level", "-12"});
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    const json summary = SummaryOf(run);
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary["device"], "rig_room");
    EXPECT_EQ(summary["clean"], true);
    EXPECT_EQ(summary["sweep"]["kind"], "exponential");
    // Preset 2's Q and bands, the start given over it.
    EXPECT_EQ(Value(summary["settings"]["q"]), 1.3);
    EXPECT_EQ(summary["settings"]["bands"], 12);
    EXPECT_EQ(Value(summary["settings"]["startHz"]), 20.0);
    EXPECT_EQ(Value(summary["settings"]["lengthSeconds"]), 3.0);
    EXPECT_EQ(Value(summary["settings"]["levelDbfs"]), -12.0);
    EXPECT_EQ(summary["settings"]["bandsCapped"], false);
    EXPECT_EQ(summary["calibration"], nullptr);

    // The table as printed: edges in whole hertz, levels to 0.1 dB.
    const std::vector<BandRow> rows = TableRows(TableText(run.out));
    ASSERT_EQ(rows.size(), 12u);
    ASSERT_EQ(summary["bands"].size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const json& band = summary["bands"][i];
        EXPECT_EQ(band["band"], rows[i].band);
        EXPECT_NEAR(Value(band["lowHz"]), rows[i].low, 0.5);
        EXPECT_NEAR(Value(band["highHz"]), rows[i].high, 0.5);
        EXPECT_NEAR(Value(band["levelDb"]), rows[i].level, 0.05) << "band " << i + 1;
    }
    EXPECT_NEAR(Value(summary["signal"]["returnLevelDb"]),
                NumberAfter(run.out, "Ch 1 (sweep): Return Level = "), 0.05);
    EXPECT_NEAR(Value(summary["signal"]["syncReturnLevelDb"]),
                NumberAfter(run.out, "Ch 2 (sync): Return Level = "), 0.05);
    EXPECT_NEAR(Value(summary["delay"]["milliseconds"]), NumberAfter(run.out, "Acoustic delay: "),
                0.005);
    EXPECT_EQ(summary["signal"]["dropouts"], 0);
    EXPECT_EQ(summary["signal"]["clippedSamples"], 0);
    EXPECT_EQ(summary["disturbance"]["disturbed"], false);
    // The exponential sweep's distortion, at the figures the line gives.
    ASSERT_TRUE(summary["distortion"].is_array());
    EXPECT_FALSE(summary["distortion"].empty());
    // Eight octaves, each value or null with the reason.
    ASSERT_EQ(summary["acoustics"].size(), 8u);
    for (const json& octave : summary["acoustics"]) {
        for (const char* name : {"EDT", "T20", "T30", "C50", "C80", "D50"}) {
            if (octave[name].is_null()) {
                EXPECT_TRUE(octave[std::string(name) + "Reason"].is_string()) << octave;
            } else {
                EXPECT_TRUE(octave[name].is_number()) << octave;
            }
        }
    }
    // The files it names are the run's others, the summary last of all.
    const std::vector<std::string> named = summary["files"];
    ASSERT_FALSE(named.empty());
    std::string filesLine = "Files:";
    for (const std::string& name : named) {
        EXPECT_TRUE(run.files.contains(name)) << name;
        filesLine += " " + name;
    }
    EXPECT_NE(
        run.out.find(filesLine + " " + named[0].substr(0, named[0].size() - 4) + "_summary.json\n"),
        std::string::npos)
        << run.out;
    EXPECT_EQ(named.size() + 1, run.files.size());
}

TEST(ScriptedRun, JsonPrintsOneLinePerRunAndNothingElse) {
    const ProgramRun run =
        Measure({"-D", "rig", "--measure", "2", "--length", "1", "--json"}, kInputNotRead);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_EQ(Count(run.out, "\n"), 2) << run.out;
    ASSERT_EQ(run.out.back(), '\n');
    // Every human line went to standard error.
    EXPECT_EQ(Count(run.err, "WARNING! This program"), 1);
    EXPECT_EQ(Count(run.err, "Results:\n"), 2);
    std::vector<json> files;
    for (const auto& [name, text] : run.files) {
        if (name.ends_with("_summary.json")) files.push_back(json::parse(text));
    }
    ASSERT_EQ(files.size(), 2u);
    const std::size_t split = run.out.find('\n');
    const json first = json::parse(run.out.substr(0, split));
    const json second = json::parse(run.out.substr(split + 1));
    // The lines are the files' summaries, in the runs' order.
    EXPECT_TRUE(first == files[0] || first == files[1]);
    EXPECT_TRUE(second == files[0] || second == files[1]);
    EXPECT_NE(first, second);
}

TEST(ScriptedRun, JsonGivesATakeWithoutPulseItsLine) {
    const ProgramRun run = Measure({"-D", "rig_nocable", "--measure", "1", "--json"});
    EXPECT_EQ(run.exitStatus, 3);
    ASSERT_EQ(Count(run.out, "\n"), 1) << run.out;
    const json line = json::parse(run.out);
    EXPECT_EQ(line["analyzed"], false);
    EXPECT_EQ(line["clean"], false);
    EXPECT_EQ(line["analyzedReason"], "the sync pulse was not found");
    EXPECT_TRUE(run.files.empty());
}

TEST(ScriptedRun, DisturbedTakeIsInTheSummaryWithItsTime) {
    const ProgramRun run = Measure({"-D", "rig_cut_rec", "--measure", "1"});
    EXPECT_EQ(run.exitStatus, 3);
    const json summary = SummaryOf(run);
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary["clean"], false);
    EXPECT_EQ(summary["disturbance"]["disturbed"], true);
    const double printed = NumberAfter(run.out, "Warning: the take was disturbed at ");
    ASSERT_FALSE(std::isnan(printed)) << run.out;
    EXPECT_NEAR(Value(summary["disturbance"]["seconds"]), printed, 0.005);
}

TEST(ScriptedRun, BandsBeyondThePlanAreCappedAndSaidSo) {
    // From 1000 Hz at Q 1000 the bands are 1 or 2 Hz wide: 1024 of them
    // stay far below half the sample rate.
    const ProgramRun run = Measure({"-D", "rig", "--measure", "1", "--length", "1", "--start",
                                    "1000", "--q", "1000", "--bands", "2000"});
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_EQ(Count(run.out, "2000 bands asked for: a run measures 1024 bands at most"), 1);
    const json summary = SummaryOf(run);
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary["settings"]["bands"], 2000);
    EXPECT_EQ(summary["settings"]["bandsMeasured"], 1024);
    EXPECT_EQ(summary["settings"]["bandsCapped"], true);
    const std::vector<BandRow> rows = TableRows(TableText(run.out));
    ASSERT_EQ(rows.size(), 1024u);
    ASSERT_EQ(summary["bands"].size(), 1024u);
    EXPECT_EQ(Value(summary["bands"][0]["lowHz"]), 1000.0);
    EXPECT_EQ(Value(summary["bands"][1023]["highHz"]), rows[1023].high);
    EXPECT_EQ(Count(run.results, "\n1024\t"), 1);
    EXPECT_EQ(Count(run.results, "\n1025\t"), 0);
}

struct RefusedSetting {
    const char* name;
    std::vector<std::string> arguments;
    const char* line;
};

void PrintTo(const RefusedSetting& c, std::ostream* os) {
    *os << c.name;
}

class ScriptedRefusal : public testing::TestWithParam<RefusedSetting> {};

TEST_P(ScriptedRefusal, NothingIsPlayedOrAppended) {
    const RefusedSetting& c = GetParam();
    std::vector<std::string> arguments = {"-D", "rig", "--measure", "2"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ProgramRun run = Measure(arguments);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(Count(run.out, c.line), 1) << run.out;
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_FALSE(run.resultsExist);
    EXPECT_TRUE(run.files.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rig, ScriptedRefusal,
    testing::Values(
        RefusedSetting{
            "StartZero", {"--start", "0"}, "A start frequency of 0 Hz is not above 0 Hz"},
        RefusedSetting{"StartNegative", {"--start", "-5"}, "A start frequency of -5 Hz"},
        RefusedSetting{"EndAtStart", {"--q", "1e300"}, "is not above the start frequency 18.0 Hz"},
        RefusedSetting{"EndBelowStart", {"--start", "0.9"}, "The end frequency 0.0 Hz"},
        RefusedSetting{"NoBands", {"--bands", "0"}, "A band count of 0 makes no band"},
        RefusedSetting{"QZero", {"--q", "0"}, "A Q of 0 makes no band: the Q must be above 0."},
        RefusedSetting{"LengthZero", {"--length", "0"}, "A sweep length of 0 s is not above 0 s"},
        RefusedSetting{"LengthNegative", {"--length", "-0.01"}, "A sweep length of -0.01 s"},
        RefusedSetting{"EndAboveHalfRate", {"--start", "20000"}, "above 24000 Hz"}),
    [](const testing::TestParamInfo<RefusedSetting>& info) {
        return std::string(info.param.name);
    });

// The return level of a flat loop at each level against the default's.
TEST(ScriptedRun, LevelMovesTheReturnLevelByTheDifference) {
    const auto run = [](const char* level) {
        std::vector<std::string> arguments = {"-D", "rig", "--measure", "1", "--length", "1"};
        if (level != nullptr) arguments.insert(arguments.end(), {"--level", level});
        return Measure(arguments);
    };
    const ProgramRun reference = run(nullptr);
    ASSERT_EQ(reference.exitStatus, 0) << reference.out;
    EXPECT_EQ(Count(reference.out, "Sweep level:"), 0);
    const double returned = NumberAfter(reference.out, "Ch 1 (sweep): Return Level = ");
    const double sync = NumberAfter(reference.out, "Ch 2 (sync): Return Level = ");
    const struct {
        const char* level;
        double db;
    } levels[] = {{"-6", -6.0}, {"-12.5", -12.5}, {"-20", -20.0}, {"-40", -40.0}};
    for (const auto& l : levels) {
        SCOPED_TRACE(l.level);
        const ProgramRun lowered = run(l.level);
        ASSERT_EQ(lowered.exitStatus, 0) << lowered.out;
        EXPECT_NEAR(NumberAfter(lowered.out, "Ch 1 (sweep): Return Level = ") - returned,
                    l.db + 6.0, 0.2);
        // The pulse keeps its level.
        EXPECT_EQ(NumberAfter(lowered.out, "Ch 2 (sync): Return Level = "), sync);
        // One line right after the banner, unless the level is the banner's.
        const std::size_t banner = lowered.out.find("//  your speakers.");
        ASSERT_NE(banner, std::string::npos);
        const std::string rule = std::string(66, '/') + "\n";
        const std::size_t next = lowered.out.find(rule, banner) + rule.size();
        if (l.db == -6.0) {
            EXPECT_EQ(Count(lowered.out, "Sweep level:"), 0);
        } else {
            EXPECT_EQ(lowered.out.substr(next, 13), "Sweep level: ");
            EXPECT_EQ(NumberAfter(lowered.out, "Sweep level: "), l.db);
        }
    }
}

}  // namespace

namespace {

// With the command loop too: the menu and prompts on standard error, one
// line per run on standard output, and a refused run has none.
TEST(ScriptedRun, JsonKeepsTheCommandLoopOffStandardOutput) {
    const ProgramRun run =
        RunProgram("c rig\nt 1\nr\nc\nb 0\nr\nc\nx\n", {kRigEnvironment}, 60, {}, 0, {"--json"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_EQ(Count(run.out, "\n"), 1) << run.out;
    EXPECT_EQ(json::parse(run.out)["settings"]["lengthSeconds"], 1.0);
    // A pass before each of the six commands read at the menu.
    EXPECT_EQ(Count(run.err, "Enter 'h' for help"), 6);
    EXPECT_EQ(Count(run.err, "A band count of 0 makes no band"), 1);
    EXPECT_EQ(Count(run.err, "Enter 'c' to continue"), 2);
}

}  // namespace

namespace {

// The calibration in use is in the summary as the files name it.
TEST(ScriptedRun, SummaryNamesTheCalibration) {
    const std::filesystem::path file =
        std::filesystem::path(testing::TempDir()) / "scripted_mic.txt";
    std::ofstream(file) << "20 0\n1000 1.5\n20000 0\n";
    const ProgramRun run =
        Measure({"-D", "rig", "--measure", "1", "--length", "1", "-C", file.string()});
    std::filesystem::remove(file);
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    const json summary = SummaryOf(run);
    ASSERT_TRUE(summary["calibration"].is_string()) << summary["calibration"];
    const std::string named = summary["calibration"];
    EXPECT_NE(named.find("scripted_mic.txt"), std::string::npos) << named;
    EXPECT_NE(FileEndingIn(run, ".frd").find(named), std::string::npos);
}

}  // namespace
