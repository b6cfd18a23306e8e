// The run's summary as another program reads it: every value that is not a
// finite number comes out as null beside its reason, never as a token a
// JSON reader refuses.

#include "console/run_summary.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

RunDescription HostileRun() {
    RunDescription run;
    run.program = "Zembrak 1.00";
    run.date = "2026-12-08 14:00:00";
    run.device = "rig";
    run.q = kNaN;
    run.bands = 3;
    run.bandsMeasured = 3;
    run.startFrequency = 18.0;
    run.sweepLength = kInf;
    run.sweepLow = 18.0;
    run.sweepHigh = 27.0;
    return run;
}

// An analysed take whose figures are everything but finite.
RunResult HostileResult() {
    RunResult result;
    result.transfer = TransferStatus::Ok;
    result.bands = {{-3.5, false, 0.5}, {0.0, true, 0.0}, {-kInf, false, 0.0}};
    result.signal.silent = false;
    result.signal.tooLow = false;
    result.signal.signalLevelDb = kNaN;
    result.signal.returnLevelDb = -kInf;
    result.signal.snrKnown = true;
    result.signal.snrDb = kInf;
    result.disturbance.known = true;
    result.disturbance.disturbed = true;
    result.disturbance.seconds = kNaN;
    result.disturbance.excessDb = 12.0;
    result.delay.milliseconds = kInf;
    result.delay.metres = 1.5;
    result.acoustics.bands[0].nominalHz = 63;
    result.acoustics.bands[0].t30.value = kNaN;
    result.acoustics.bands[0].edt.value = 0.4;
    result.acoustics.bands[0].c50.gap = AcousticsGap::kNoDecay;
    DistortionFigures distortion;
    DistortionPoint point;
    point.frequency = 100.0;
    point.thdPercent = kInf;
    distortion.summary.push_back(point);
    result.distortion = distortion;
    return result;
}

TEST(RunSummary, NumbersThatAreNotFiniteAreNullWithAReason) {
    const std::vector<double> lower = {18, 22, kNaN}, upper = {22, 27, kInf};
    const RunResult result = HostileResult();
    for (const int indent : {-1, 2}) {
        SCOPED_TRACE(indent);
        const std::string text =
            SummaryText(HostileRun(), result, lower, upper, {0, -kInf, nullptr}, {"a.frd"}, indent);
        // No bare token: a reason may say "(nan)", a value never.
        for (const char* token : {":nan", ": nan", ":-inf", ": -inf", ":inf", ": inf", "NaN"}) {
            EXPECT_EQ(text.find(token), std::string::npos) << token;
        }
        EXPECT_EQ(indent < 0, text.find('\n') == std::string::npos);
        const json summary = json::parse(text);  // throws on an invalid token

        // Each case: the value, which is null, and its reason.
        const struct {
            json value;
            json reason;
        } nulls[] = {
            {summary["settings"]["q"], summary["settings"]["qReason"]},
            {summary["settings"]["lengthSeconds"], summary["settings"]["lengthSecondsReason"]},
            {summary["bands"][1]["levelDb"], summary["bands"][1]["levelDbReason"]},
            {summary["bands"][2]["levelDb"], summary["bands"][2]["levelDbReason"]},
            {summary["bands"][2]["lowHz"], summary["bands"][2]["lowHzReason"]},
            {summary["bands"][2]["highHz"], summary["bands"][2]["highHzReason"]},
            {summary["signal"]["signalLevelDbfs"], summary["signal"]["signalLevelDbfsReason"]},
            {summary["signal"]["returnLevelDb"], summary["signal"]["returnLevelDbReason"]},
            {summary["signal"]["snrDb"], summary["signal"]["snrDbReason"]},
            {summary["signal"]["syncReturnLevelDb"], summary["signal"]["syncReturnLevelDbReason"]},
            {summary["disturbance"]["seconds"], summary["disturbance"]["secondsReason"]},
            {summary["delay"]["milliseconds"], summary["delay"]["millisecondsReason"]},
            {summary["acoustics"][0]["T30"], summary["acoustics"][0]["T30Reason"]},
            {summary["acoustics"][0]["C50"], summary["acoustics"][0]["C50Reason"]},
            {summary["distortion"][0]["thdPercent"], summary["distortion"][0]["thdPercentReason"]},
        };
        for (std::size_t i = 0; i < std::size(nulls); ++i) {
            EXPECT_TRUE(nulls[i].value.is_null()) << i;
            EXPECT_TRUE(nulls[i].reason.is_string()) << i;
        }
        // The finite ones stay numbers.
        EXPECT_EQ(summary["bands"][0]["levelDb"], -3.5);
        EXPECT_EQ(summary["delay"]["metres"], 1.5);
        EXPECT_EQ(summary["acoustics"][0]["EDT"], 0.4);
        EXPECT_EQ(summary["acoustics"][0]["C50Reason"], "no decay above the noise floor");
        EXPECT_EQ(summary["signal"]["returnLevelDbReason"], "no signal (-inf)");
        EXPECT_EQ(summary["clean"], false);  // disturbed
        EXPECT_EQ(summary["files"], json({"a.frd"}));
    }
}

TEST(RunSummary, CleanTakeNeedsEveryCheck) {
    RunResult clean;
    clean.transfer = TransferStatus::Ok;
    clean.signal.silent = false;
    clean.signal.tooLow = false;
    EXPECT_TRUE(CleanTake(clean, 0));
    EXPECT_FALSE(CleanTake(clean, 1));
    const auto flawed = [&](auto change) {
        RunResult result = clean;
        change(result);
        return !CleanTake(result, 0);
    };
    EXPECT_TRUE(flawed([](RunResult& r) { r.signal.clippedSamples = 1; }));
    EXPECT_TRUE(flawed([](RunResult& r) { r.signal.tooLow = true; }));
    EXPECT_TRUE(flawed([](RunResult& r) { r.signal.silent = true; }));
    EXPECT_TRUE(flawed([](RunResult& r) { r.disturbance = {true, true}; }));
    EXPECT_TRUE(flawed([](RunResult& r) { r.transfer = TransferStatus::NoResponse; }));
    // A check that could not be made is no disturbance.
    EXPECT_FALSE(flawed([](RunResult& r) { r.disturbance = {false, true}; }));
}

TEST(RunSummary, VoidTakeSaysWhy) {
    const json summary =
        json::parse(VoidTakeSummaryText(HostileRun(), "the sync pulse was not found"));
    EXPECT_EQ(summary["analyzed"], false);
    EXPECT_EQ(summary["analyzedReason"], "the sync pulse was not found");
    EXPECT_TRUE(summary["settings"]["q"].is_null());
    EXPECT_EQ(summary["files"], json::array());
}

}  // namespace
