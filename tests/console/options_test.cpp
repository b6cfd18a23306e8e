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
