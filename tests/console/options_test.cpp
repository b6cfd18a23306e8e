// The command line, read in-process: each option, each error, and no
// arguments at all.

#include "console/options.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

// argv as the program gets it: its name first, nullptr last.
ProgramOptions Parse(const std::vector<std::string>& arguments) {
    std::vector<std::string> storage = {"zembrak"};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return ParseOptions(static_cast<int>(storage.size()), argv.data());
}

const std::string kLongName(255, 'n');
const std::string kTooLongName(256, 'n');
const std::string kTooLong = "Device name longer than 255 characters, not changed.";

struct OptionsCase {
    const char* name;
    std::vector<std::string> arguments;
    OptionsAction action;
    std::optional<std::string> device;
    std::optional<std::string> calibration;
    std::string error;
    std::string warning;
};

const OptionsAction kRun = OptionsAction::Run;
const OptionsAction kHelp = OptionsAction::Help;
const OptionsAction kVersion = OptionsAction::Version;
const OptionsAction kError = OptionsAction::Error;
const std::nullopt_t kNone = std::nullopt;

const std::vector<OptionsCase> kCases = {
    {"none", {}, kRun, kNone, kNone, "", ""},
    {"end_of_options_only", {"--"}, kRun, kNone, kNone, "", ""},
    {"device_short", {"-D", "rig"}, kRun, "rig", kNone, "", ""},
    {"device_short_joined", {"-Drig_room"}, kRun, "rig_room", kNone, "", ""},
    {"device_long", {"--device", "hw:1,0"}, kRun, "hw:1,0", kNone, "", ""},
    {"device_long_equals", {"--device=plughw:2"}, kRun, "plughw:2", kNone, "", ""},
    {"device_abbreviated", {"--dev", "rig"}, kRun, "rig", kNone, "", ""},
    {"device_255", {"-D", kLongName}, kRun, kLongName, kNone, "", ""},
    {"device_256_not_taken", {"-D", kTooLongName}, kRun, kNone, kNone, "", kTooLong},
    {"device_256_keeps_earlier",
     {"-D", "rig", "-D", kTooLongName},
     kRun,
     "rig",
     kNone,
     "",
     kTooLong},
    {"device_later_wins", {"-D", "one", "--device", "two"}, kRun, "two", kNone, "", ""},
    {"device_looks_like_option", {"-D", "--help"}, kRun, "--help", kNone, "", ""},
    {"calibration_short", {"-C", "mic.txt"}, kRun, kNone, "mic.txt", "", ""},
    {"calibration_long",
     {"--calibration", "/x/mic cal.txt"},
     kRun,
     kNone,
     "/x/mic cal.txt",
     "",
     ""},
    {"calibration_long_equals", {"--calibration=m.txt"}, kRun, kNone, "m.txt", "", ""},
    {"both", {"-C", "m.txt", "-D", "rig"}, kRun, "rig", "m.txt", "", ""},
    {"help_short", {"-h"}, kHelp, kNone, kNone, "", ""},
    {"help_long", {"--help"}, kHelp, kNone, kNone, "", ""},
    {"help_after_device", {"-D", "rig", "--help"}, kHelp, "rig", kNone, "", ""},
    {"help_before_bad_option", {"-h", "--bogus"}, kHelp, kNone, kNone, "", ""},
    {"version_short", {"-V"}, kVersion, kNone, kNone, "", ""},
    {"version_long", {"--version"}, kVersion, kNone, kNone, "", ""},
    {"version_in_cluster", {"-Vh"}, kVersion, kNone, kNone, "", ""},
    {"unknown_long", {"--bogus"}, kError, kNone, kNone, "unknown option '--bogus'", ""},
    {"unknown_long_with_value",
     {"--bogus=1"},
     kError,
     kNone,
     kNone,
     "unknown option '--bogus'",
     ""},
    {"unknown_short", {"-x"}, kError, kNone, kNone, "unknown option '-x'", ""},
    {"unknown_short_in_cluster", {"-Vx"}, kVersion, kNone, kNone, "", ""},
    {"unknown_before_help", {"-xh"}, kError, kNone, kNone, "unknown option '-x'", ""},
    {"bad_option_before_help",
     {"--bogus", "-h"},
     kError,
     kNone,
     kNone,
     "unknown option '--bogus'",
     ""},
    {"device_missing_value_short", {"-D"}, kError, kNone, kNone, "option '-D' needs a value", ""},
    {"device_missing_value_long",
     {"--device"},
     kError,
     kNone,
     kNone,
     "option '--device' needs a value",
     ""},
    {"calibration_missing_value",
     {"-D", "rig", "-C"},
     kError,
     kNone,
     kNone,
     "option '-C' needs a value",
     ""},
    {"calibration_missing_value_long",
     {"--calibration"},
     kError,
     kNone,
     kNone,
     "option '--calibration' needs a value",
     ""},
    {"value_for_help", {"--help=yes"}, kError, kNone, kNone, "option '--help' takes no value", ""},
    {"value_for_version",
     {"--version=2"},
     kError,
     kNone,
     kNone,
     "option '--version' takes no value",
     ""},
    {"empty_device", {"-D", ""}, kError, kNone, kNone, "empty device name", ""},
    {"stray", {"rig"}, kError, kNone, kNone, "unexpected argument 'rig'", ""},
    {"stray_after_device",
     {"-D", "rig", "extra"},
     kError,
     kNone,
     kNone,
     "unexpected argument 'extra'",
     ""},
    {"stray_before_version",
     {"extra", "-V"},
     kError,
     kNone,
     kNone,
     "unexpected argument 'extra'",
     ""},
    {"option_after_end_of_options",
     {"--", "-V"},
     kError,
     kNone,
     kNone,
     "unexpected argument '-V'",
     ""},
    {"dash", {"-"}, kError, kNone, kNone, "unexpected argument '-'", ""},
    {"control_characters_shown", {"--a\nb"}, kError, kNone, kNone, "unknown option '--a?b'", ""},
    {"control_character_short", {"-\t"}, kError, kNone, kNone, "unknown option '-?'", ""},
};

void PrintTo(const OptionsCase& c, std::ostream* os) {
    *os << c.name;
}

class OptionsTable : public testing::TestWithParam<OptionsCase> {};

TEST_P(OptionsTable, Parses) {
    const OptionsCase& c = GetParam();
    const ProgramOptions options = Parse(c.arguments);
    EXPECT_EQ(options.action, c.action);
    EXPECT_EQ(options.error, c.error);
    if (c.action != kError) {
        EXPECT_EQ(options.device, c.device);
        EXPECT_EQ(options.calibrationPath, c.calibration);
        EXPECT_EQ(options.warning, c.warning);
    }
}

INSTANTIATE_TEST_SUITE_P(Options, OptionsTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// getopt keeps its place in globals; each parse starts afresh.
TEST(Options, EachParseStartsAfresh) {
    EXPECT_EQ(Parse({"-Vx"}).action, kVersion);
    EXPECT_EQ(Parse({"-x"}).error, "unknown option '-x'");
    EXPECT_EQ(Parse({"-D", "rig", "stray"}).action, kError);
    const ProgramOptions again = Parse({"-D", "rig"});
    EXPECT_EQ(again.action, kRun);
    EXPECT_EQ(again.device, "rig");
}

TEST(Options, ErrorLineNamesTheProblemAndTheHelp) {
    EXPECT_EQ(OptionsErrorLine(Parse({"--bogus"})),
              "zembrak: unknown option '--bogus' (try 'zembrak --help')");
}

TEST(Options, UsageNamesEveryOption) {
    const std::string usage = UsageText();
    for (const char* option :
         {"-D, --device NAME", "-C, --calibration FILE", "-h, --help", "-V, --version"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(usage.back(), '\n');
}

}  // namespace

namespace {

TEST(Options, SweepKindIsLogOrLinearAndTheLastOneCounts) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<SweepKind> sweep;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{"--sweep", "log"}, SweepKind::Exponential},
        {{"--sweep=log"}, SweepKind::Exponential},
        {{"--sweep", "linear"}, SweepKind::Linear},
        {{"--sweep", "log", "--sweep", "linear"}, SweepKind::Linear},
        {{"--sweep", "linear", "-D", "rig", "--sweep", "log"}, SweepKind::Exponential},
        {{"--swe", "log"}, SweepKind::Exponential},
    };
    for (const Case& c : cases) {
        const ProgramOptions options = Parse(c.arguments);
        EXPECT_EQ(options.action, kRun) << options.error;
        EXPECT_EQ(options.sweep, c.sweep) << c.arguments.size();
    }
}

TEST(Options, SweepKindErrors) {
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{"--sweep", "cubic"}, "option '--sweep' takes 'log' or 'linear', not 'cubic'"},
        {{"--sweep", "LOG"}, "option '--sweep' takes 'log' or 'linear', not 'LOG'"},
        {{"--sweep="}, "option '--sweep' takes 'log' or 'linear', not ''"},
        {{"--sweep", "lo\ng"}, "option '--sweep' takes 'log' or 'linear', not 'lo?g'"},
        {{"--sweep"}, "option '--sweep' needs a value"},
        {{"--sweep", "log", "--sweep", "exp"},
         "option '--sweep' takes 'log' or 'linear', not 'exp'"},
    };
    for (const Case& c : cases) {
        const ProgramOptions options = Parse(c.arguments);
        EXPECT_EQ(options.action, kError);
        EXPECT_EQ(options.error, c.error);
    }
    EXPECT_NE(UsageText().find("--sweep KIND"), std::string::npos);
}

}  // namespace

namespace {

// --average's kind as the next argument or after '=', and the files of
// --average-files: what is taken, and what is refused.
TEST(Options, AverageKindsAndFiles) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<AverageKind> average;
        std::vector<std::string> files;
        std::string error;
    };
    const std::string kTwoFiles = "option '--average-files' needs two files or more";
    const Case cases[] = {
        {{"--average"}, AverageKind::Power, {}, ""},
        {{"--average", "vector"}, AverageKind::Vector, {}, ""},
        {{"--average=power", "-D", "rig"}, AverageKind::Power, {}, ""},
        {{"--average", "-D", "rig"}, AverageKind::Power, {}, ""},
        {{"--average", "vector", "--average"}, AverageKind::Power, {}, ""},
        {{"--average=mean"},
         std::nullopt,
         {},
         "option '--average' takes 'power' or 'vector', not 'mean'"},
        {{"--average", "mean"}, std::nullopt, {}, "unexpected argument 'mean'"},
        {{"--average-files", "a.frd", "b.txt"}, std::nullopt, {"a.frd", "b.txt"}, ""},
        {{"--average", "vector", "--average-files", "a", "-D", "b"},
         AverageKind::Vector,
         {"a", "-D", "b"},
         ""},
        {{"--average-files", "a.frd"}, std::nullopt, {}, kTwoFiles},
        {{"--average-files"}, std::nullopt, {}, kTwoFiles},
        {{"-C", "mic.txt", "--average-files", "a", "b"},
         std::nullopt,
         {},
         "option '--calibration' does not apply to '--average-files': the files are averaged as "
         "they are"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " ... " + c.arguments.back());
        const ProgramOptions options = Parse(c.arguments);
        EXPECT_EQ(options.error, c.error);
        if (!c.error.empty()) continue;
        EXPECT_EQ(options.average, c.average);
        EXPECT_EQ(options.files, c.files);
    }
}

}  // namespace

namespace {

// The correction's options: each value within its limits, or refused.
TEST(Options, CorrectionValuesAndTheirLimits) {
    const ProgramOptions taken = Parse({"--eq-range", "25-250", "--eq-filters", "4", "--eq-boost",
                                        "3.5", "--apply-eq", "room_eq.txt"});
    ASSERT_EQ(taken.error, "");
    EXPECT_TRUE(taken.eq);
    EXPECT_EQ(taken.eqLow, 25.0);
    EXPECT_EQ(taken.eqHigh, 250.0);
    EXPECT_EQ(taken.eqFilters, 4);
    EXPECT_EQ(taken.eqBoost, 3.5);
    EXPECT_EQ(taken.applyEqPath, "room_eq.txt");
    EXPECT_FALSE(Parse({"--apply-eq", "x"}).eq);
    const std::vector<std::vector<std::string>> refused = {
        {"--eq-range", "300-20"}, {"--eq-range", "0-300"},   {"--eq-range", "20"},
        {"--eq-range", "20-nan"}, {"--eq-range", "-20-300"}, {"--eq-filters", "0"},
        {"--eq-filters", "21"},   {"--eq-filters", "2.5"},   {"--eq-boost", "7"},
        {"--eq-boost", "-1"},     {"--eq-boost", "1e999"},   {"--eq-filters", " 3"},
    };
    for (const auto& arguments : refused) {
        const ProgramOptions options = Parse(arguments);
        EXPECT_EQ(options.action, kError) << arguments[0] << " " << arguments[1];
        EXPECT_NE(options.error.find(arguments[0]), std::string::npos) << options.error;
    }
}

}  // namespace

namespace {

// The options of scripted runs: what each takes, and what it refuses with a
// line naming it.
struct RunOptionsCase {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<int> measure;
    std::optional<double> q;
    std::optional<int> bands;
    std::optional<double> start;
    std::optional<double> length;
    std::optional<int> preset;
    double levelDb;
    bool json;
};

struct RefusedOptionCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string error;  // a part of the error line
};

void PrintTo(const RefusedOptionCase& c, std::ostream* os) {
    *os << c.name;
}

void PrintTo(const RunOptionsCase& c, std::ostream* os) {
    *os << c.name;
}

class RunOptionsTable : public testing::TestWithParam<RunOptionsCase> {};

TEST_P(RunOptionsTable, Parses) {
    const RunOptionsCase& c = GetParam();
    const ProgramOptions options = Parse(c.arguments);
    ASSERT_EQ(options.action, kRun) << options.error;
    EXPECT_EQ(options.measure, c.measure);
    EXPECT_EQ(options.q, c.q);
    EXPECT_EQ(options.bands, c.bands);
    EXPECT_EQ(options.start, c.start);
    EXPECT_EQ(options.length, c.length);
    EXPECT_EQ(options.preset, c.preset);
    EXPECT_EQ(options.levelDb, c.levelDb);
    EXPECT_EQ(options.json, c.json);
}

const std::vector<RunOptionsCase> kRunCases = {
    {"nothing", {}, kNone, kNone, kNone, kNone, kNone, kNone, -6.0, false},
    {"measure_once", {"--measure", "1"}, 1, kNone, kNone, kNone, kNone, kNone, -6.0, false},
    {"measure_most", {"--measure=1000"}, 1000, kNone, kNone, kNone, kNone, kNone, -6.0, false},
    {"settings",
     {"--q", "1.3", "--bands", "12", "--start", "20.5", "--length", "2"},
     kNone,
     1.3,
     12,
     20.5,
     2.0,
     kNone,
     -6.0,
     false},
    // Values a run refuses are taken here, as the commands take them.
    {"settings_a_run_refuses",
     {"--q", "0", "--bands", "-3", "--start", "-5", "--length", "-1"},
     kNone,
     0.0,
     -3,
     -5.0,
     -1.0,
     kNone,
     -6.0,
     false},
    {"bands_beyond_the_plan",
     {"--bands", "2000"},
     kNone,
     kNone,
     2000,
     kNone,
     kNone,
     kNone,
     -6.0,
     false},
    {"bands_int_max",
     {"--bands", "2147483647"},
     kNone,
     kNone,
     2147483647,
     kNone,
     kNone,
     kNone,
     -6.0,
     false},
    {"preset", {"--preset", "5"}, kNone, kNone, kNone, kNone, kNone, 5, -6.0, false},
    {"level_default_given",
     {"--level", "-6"},
     kNone,
     kNone,
     kNone,
     kNone,
     kNone,
     kNone,
     -6.0,
     false},
    {"level_lowest", {"--level", "-40"}, kNone, kNone, kNone, kNone, kNone, kNone, -40.0, false},
    {"level_between", {"--level=-20.5"}, kNone, kNone, kNone, kNone, kNone, kNone, -20.5, false},
    {"json", {"--json"}, kNone, kNone, kNone, kNone, kNone, kNone, -6.0, true},
};

const std::vector<RefusedOptionCase> kRefusedCases = {
    {"measure_zero", {"--measure", "0"}, "'--measure' takes a whole number from 1 to 1000"},
    {"measure_1001", {"--measure", "1001"}, "'--measure'"},
    {"measure_fraction", {"--measure", "2.5"}, "'--measure'"},
    {"measure_nan", {"--measure", "nan"}, "'--measure'"},
    {"measure_huge", {"--measure", "1e300"}, "'--measure'"},
    {"measure_word", {"--measure", "three"}, "not 'three'"},
    {"measure_no_value", {"--measure"}, "option '--measure' needs a value"},
    {"bands_beyond_int", {"--bands", "2147483648"}, "'--bands' takes a whole number"},
    {"bands_fraction", {"--bands", "3.5"}, "'--bands'"},
    {"q_nan", {"--q", "nan"}, "'--q' takes a finite number, not 'nan'"},
    {"q_inf", {"--q", "inf"}, "'--q'"},
    {"start_overflow", {"--start", "1e999"}, "'--start'"},
    {"length_empty", {"--length", ""}, "'--length'"},
    {"length_trailing", {"--length", "2s"}, "'--length'"},
    {"preset_zero", {"--preset", "0"}, "'--preset' takes 1 to 5"},
    {"preset_six", {"--preset", "6"}, "'--preset'"},
    {"level_louder", {"--level", "-5.9"}, "'--level' takes -40 to -6 (dBFS)"},
    {"level_zero", {"--level", "0"}, "'--level'"},
    {"level_positive", {"--level", "6"}, "'--level'"},
    {"level_too_low", {"--level", "-40.1"}, "'--level'"},
    {"level_nan", {"--level", "nan"}, "'--level'"},
    {"level_minus_inf", {"--level", "-inf"}, "'--level'"},
    {"json_with_value", {"--json=yes"}, "option '--json' takes no value"},
    {"measure_with_files",
     {"--measure", "2", "--average-files", "a.frd", "b.frd"},
     "'--measure' does not apply to '--average-files'"},
    {"control_characters_shown", {"--q", "4\x1b[2J"}, "not '4?[2J'"},
};

INSTANTIATE_TEST_SUITE_P(Options, RunOptionsTable, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RunOptionsCase>& info) {
                             return std::string(info.param.name);
                         });

class RefusedOptionTable : public testing::TestWithParam<RefusedOptionCase> {};

TEST_P(RefusedOptionTable, NamesTheOption) {
    const RefusedOptionCase& c = GetParam();
    const ProgramOptions options = Parse(c.arguments);
    EXPECT_EQ(options.action, kError);
    EXPECT_NE(options.error.find(c.error), std::string::npos) << options.error;
}

INSTANTIATE_TEST_SUITE_P(Options, RefusedOptionTable, testing::ValuesIn(kRefusedCases),
                         [](const testing::TestParamInfo<RefusedOptionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Options, UsageNamesTheRunOptionsAndEveryExitStatus) {
    const std::string usage = UsageText();
    for (const char* text :
         {"--measure N", "--q Q", "--bands N", "--start HZ", "--length S", "--preset 1-5",
          "--level DB", "--json", "Exit status: 0", "1 when", "2 for bad options", "3 when"}) {
        EXPECT_NE(usage.find(text), std::string::npos) << text;
    }
}

}  // namespace
