// Settings a run cannot measure are refused with one line before anything is
// played or allocated, and the loop waits for "c" as after a finished run.

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

#include "run_support.h"

namespace {

// Device "nodev" does not exist: a run that got as far as the device would
// end with exit status 1, so exit status 0 shows that nothing was opened.
struct Refusal {
    const char* name;
    const char* commands;
    const char* line;  // the end of the refusal's line, or all of it
};

void PrintTo(const Refusal& refusal, std::ostream* os) {
    *os << '"' << refusal.commands << '"';
}

class RefusedRun : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedRun, SaysWhyAndGoesBackToTheLoop) {
    const Refusal& refusal = GetParam();
    // The "x" after the refusal is taken by the continue prompt, which
    // then waits for a "c" until the input ends: "x" at the menu would
    // show no second prompt.
    const ProgramRun run =
        RunProgram(std::string("c nodev\n") + refusal.commands + "\nr\nx\nc\nx\n", {});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Count(run.out, refusal.line), 1) << run.out;
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_EQ(Count(run.out, "Enter 'c' to continue\n"), 2);
    EXPECT_FALSE(run.resultsExist);
    // The refusal is one line of its own, right after the command list and
    // right before the continue prompt.
    const std::size_t at = run.out.find(refusal.line);
    ASSERT_NE(at, std::string::npos);
    const std::size_t lineStart = run.out.rfind('\n', at) + 1;
    EXPECT_EQ(run.out.rfind("      'x' to exit\n", at) + 18, lineStart);
    EXPECT_EQ(run.out.find('\n', at) + 1, run.out.find("Enter 'c' to continue\n", at));
}

constexpr const char* kTooShort =
    "is too short: a run needs 40384 frames at least. Nothing was measured.";
constexpr const char* kTooLong =
    "is too long: a run holds 715827882 frames at most. Nothing was measured.";
constexpr const char* kNotFinite = "The sweep length is not a finite number: nothing was measured.";
constexpr const char* kStartNotFinite =
    "The start frequency is not a finite number: nothing was measured.";
constexpr const char* kAliasing = "above 24000 Hz, half the sample rate: nothing was measured.";
constexpr const char* kNoLength = "s is not above 0 s: nothing was measured.";
constexpr const char* kNoStart = "Hz is not above 0 Hz: nothing was measured.";
constexpr const char* kNoBands =
    "makes no band: a run needs 1 band at least. Nothing was measured.";
constexpr const char* kNoQ = "makes no band: the Q must be above 0. Nothing was measured.";
constexpr const char* kNoRange = "is not above the start frequency";

INSTANTIATE_TEST_SUITE_P(
    Settings, RefusedRun,
    testing::Values(
        // 48000 x -0.15869 = -7617.1: 40383 frames, one too few.
        Refusal{"ShortBy1Frame", "t -0.15869", kTooShort},
        Refusal{"MinusOneSecond", "t -1", kTooShort},
        Refusal{"HugeNegative", "t -1e300", kTooShort},
        // 715828800 frames: one channel block would pass 2147483647 bytes.
        Refusal{"LongBy1Frame", "t 14912.1", kTooLong}, Refusal{"Huge", "t 1e300", kTooLong},
        Refusal{"NaN", "t nan", kNotFinite}, Refusal{"Inf", "t inf", kNotFinite},
        Refusal{"MinusInf", "t -inf", kNotFinite},
        // Start 20 kHz, 31 bands of Q 4: the plan ends far above 24 kHz.
        Refusal{"EndAbove24k", "f 20000", kAliasing},
        // One band of Q 4 from 19201 Hz ends at 24001.25 Hz, cut to 24001.
        Refusal{"EndAboveBy1Hz", "b 1 f 19201", kAliasing},
        // A tiny Q makes every edge overflow to the largest int.
        Refusal{"EndHuge", "q 1e-300", kAliasing}, Refusal{"StartInf", "f inf", kStartNotFinite},
        Refusal{"LengthZero", "t 0", "A sweep length of 0 s is not above 0 s"},
        Refusal{"LengthJustBelowZero", "t -0.1", kNoLength},
        Refusal{"StartZero", "f 0", "A start frequency of 0 Hz is not above 0 Hz"},
        Refusal{"StartNegative", "f -5", kNoStart}, Refusal{"StartTiny", "f -1e-300", kNoStart},
        Refusal{"NoBands", "b 0", "A band count of 0 makes no band"},
        Refusal{"NegativeBands", "b -3", kNoBands}, Refusal{"QZero", "q 0", "A Q of 0 makes"},
        Refusal{"QNegative", "q -1", kNoQ}, Refusal{"QNaN", "q nan", kNoQ},
        // A start below 1 Hz is cut to 0: every edge is 0.
        Refusal{"EndZero", "f 0.5",
                "The end frequency 0.0 Hz is not above the start "
                "frequency 0.5 Hz: nothing was measured."},
        // A Q so large that no edge grows: the end is the start.
        Refusal{"EndAtStart", "q 1e300", kNoRange}, Refusal{"StartNaN", "f nan", kStartNotFinite}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(RefusedRun, LeavesTheSettingsAsTheyWere) {
    const ProgramRun run = RunProgram("t nan\nq 2\nr\nc\nx\n", {});
    ASSERT_EQ(run.exitStatus, 0);
    const std::size_t refusal = run.out.find(kNotFinite);
    ASSERT_NE(refusal, std::string::npos);
    // The summary before and after the refused run is the same.
    const std::string summary = "Q: 2 --- Bands: 31 --- Length: nan sec\n";
    EXPECT_NE(run.out.rfind(summary, refusal), std::string::npos);
    EXPECT_NE(run.out.find(summary, refusal), std::string::npos);
}

TEST(RefusedRun, MemoryThatCannotBeObtainedIsReported) {
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "needs the sanitizer's allocator to refuse large blocks";
#else
    // The allocator refuses blocks above 64 MB: a 200 s run needs 77 MB for
    // each of its sample arrays. The device opens first, so it is a real one.
    const ProgramRun run =
        RunProgram("c rig\nt 200\nr\nc\nx\n",
                   {"ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=64",
                    "ALSA_CONFIG_PATH=" RIG_CONFIG});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(
        Count(run.out, "Not enough memory for a run of 9648000 frames: nothing was measured.\n"),
        1);
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_EQ(Count(run.out, "Enter 'c' to continue"), 1);
    EXPECT_FALSE(run.resultsExist);
#endif
}

TEST(RefusedRun, RunLargerThanTheMemoryIsRefusedBeforeObtainingIt) {
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "needs the sanitizer's RSS limit to stop a run that would fill the memory";
#else
    // 14912 s: 715824000 frames, within the longest run, but its buffers
    // take 36 bytes a frame, more than the machine's physical memory. Blocks
    // that large are granted by the kernel and fail only as they are filled,
    // so the run must see that before obtaining them. The RSS limit stops
    // a program that tries anyway long before the machine runs short.
    constexpr double kNeeded = 715824000.0 * 36;
    const double physical =
        static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (physical >= kNeeded) GTEST_SKIP() << "this machine could hold the run";
    const ProgramRun run =
        RunProgram("c nodev\nt 14912\nr\nc\nx\n", {"ASAN_OPTIONS=hard_rss_limit_mb=1024"}, 120);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(
        Count(run.out, "Not enough memory for a run of 715824000 frames: nothing was measured.\n"),
        1);
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_EQ(Count(run.out, "Enter 'c' to continue"), 1);
    EXPECT_FALSE(run.resultsExist);
#endif
}

TEST(DeviceFailure, DeviceIsOpenedBeforeTheRunsBuffersAreObtained) {
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "needs the sanitizer's RSS limit to stop a run that fills its buffers first";
#else
    // A 1000 s run's buffers take 1.7 GB; the RSS limit ends a program that
    // fills them before it finds that the device cannot be opened.
    const ProgramRun run = RunProgram(
        "t 1000\nr\n", {"ALSA_CONFIG_PATH=/nonexistent", "ASAN_OPTIONS=hard_rss_limit_mb=512"}, 60);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err.rfind("Playback device could not be opened: ", 0), 0u) << run.err;
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_FALSE(run.resultsExist);
#endif
}

TEST(DeviceFailure, UnknownDeviceEndsTheProgramWithItsMessage) {
    const ProgramRun run = RunProgram(Script("nodev", "r"), {});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    // The fatal line, then alsa-lib's own word on the name.
    const std::string fatal = "Playback device could not be opened: No such file or directory\n";
    ASSERT_EQ(run.err.rfind(fatal, 0), 0u) << run.err;
    const std::string said = run.err.substr(fatal.size());
    EXPECT_EQ(said.rfind("  alsa-lib: ", 0), 0u) << run.err;
    EXPECT_NE(said.find("nodev"), std::string::npos) << run.err;
    // alsa-lib's line, then the one naming the device as typed.
    EXPECT_EQ(Count(said, "\n"), 2) << run.err;
    ASSERT_GE(said.size(), DeviceHint("nodev").size());
    EXPECT_EQ(said.substr(said.size() - DeviceHint("nodev").size()), DeviceHint("nodev"));
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    // Everything printed before the failure reached standard output.
    EXPECT_EQ(run.out.substr(run.out.size() - 18), "      'x' to exit\n");
    EXPECT_FALSE(run.resultsExist);
}

}  // namespace
