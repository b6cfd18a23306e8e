// The lines an evaluated run prints, and the description its files carry.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/version.h"
#include "console/run_description.h"
#include "console/run_report.h"

namespace {

const double kLower[] = {18.0, 22.0, 27.0};
const double kUpper[] = {22.0, 27.0, 33.0};

// A measured run of three bands, the second missing.
RunResult Measured() {
    RunResult result;
    result.bands = {{-3.0, false}, {-HUGE_VAL, true}, {0.0, false}};
    result.transfer = TransferStatus::Ok;
    result.signal.silent = false;
    result.signal.tooLow = false;
    result.signal.snrKnown = true;
    result.signal.snrDb = 60.0;
    result.signal.signalLevelDb = -0.04;
    result.signal.noiseLevelDb = -72.0;
    result.signal.returnLevelDb = -0.01;
    result.delay = Delay{-0.1, -0.002, -0.0007};
    return result;
}

std::string Printed(const RunResult& result) {
    testing::internal::CaptureStdout();
    PrintRunResult(result, ResultsText(result, kLower, kUpper));
    return testing::internal::GetCapturedStdout();
}

TEST(RunLines, EveryLineInItsOrderWithoutASignedZero) {
    const std::string text = Printed(Measured());
    const std::string expected =
        "Results:\nBand\tRange (Hz)\tdB\n1\t18\t22\t-3.0\n2\t22\t27\t-inf\n3\t27\t33\t0.0\n"
        "Band 2 is missing data\n"
        "Ch 1 (sweep): Return Level = 0.0 dB\n"
        "Signal-to-noise ratio: 60.0 dB (sweep 0.0 dBFS, lead-in noise -72.0 dBFS).\n"
        "Acoustic delay: 0.00 ms (0.00 m at 343 m/s)\n"
        "Room acoustics per octave:\n";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
}

TEST(RunLines, NoResponseEndsWithItsReason) {
    RunResult result = Measured();
    result.transfer = TransferStatus::NoResponse;
    const std::string text = Printed(result);
    const std::string last =
        "The room's response could not be computed (the sweep has no energy in the swept "
        "range): no response files were written.\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(text.find("Acoustic delay"), std::string::npos);
}

TEST(RunLines, LongTablesAreWrittenWhole) {
    std::vector<double> lower(1100);
    std::vector<double> upper(1100);
    std::vector<double> levels(1100, -HUGE_VAL);
    for (std::size_t i = 0; i < lower.size(); ++i) {
        lower[i] = 1e6 + static_cast<double>(i);
        upper[i] = lower[i] + 1.0;
    }
    upper.back() = 1e300;  // prints as 301 digits
    const std::string text = ResultsText(levels, lower, upper);
    EXPECT_GT(text.size(), 4096u);
    const std::size_t lastRow = text.rfind("\n1100\t1001099\t1");
    ASSERT_NE(lastRow, std::string::npos);
    const std::string row = text.substr(lastRow + 1);
    EXPECT_EQ(row.size(),
              std::string("1100\t1001099\t").size() + 301 + std::string("\t-inf\n").size());
}

struct DescriptionCase {
    const char* name;
    SweepKind sweep;
    double low, high;
    const char* settings;
    const char* sweepLine;
    const char* sweepName;
};

TEST(RunDescription, OneDescriptionForEveryFile) {
    const DescriptionCase cases[] = {
        {"linear", SweepKind::Linear, 18.0, 16175.0, "Q 4, 31 bands, start 18.0 Hz, length 10.0 s",
         "Linear sweep: 18.0 Hz to 16175.0 Hz", "linear sweep"},
        {"exponential", SweepKind::Exponential, 9.0, 22800.0,
         "Q 4, 31 bands, start 18.0 Hz, length 10.0 s", "Exponential sweep: 9.0 Hz to 22800.0 Hz",
         "exponential sweep"},
    };
    for (const DescriptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestSettings settings;
        settings.deviceName = "hw:1\x1b[31m\n";
        settings.sweep = c.sweep;
        const RunDescription run = DescribeRun(settings, 0, c.low, c.high);
        EXPECT_EQ(run.program, kProgramName);
        EXPECT_EQ(run.device, "hw:1?[31m?");
        EXPECT_EQ(run.date.size(), std::string("1970-01-01 00:00:00").size());
        EXPECT_EQ(SettingsLine(run), c.settings);
        EXPECT_EQ(SweepLine(run), c.sweepLine);
        EXPECT_STREQ(SweepName(run.sweep), c.sweepName);
    }
}

}  // namespace
