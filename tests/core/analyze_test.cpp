#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "console/run_report.h"
#include "signal/sweep.h"

namespace {

constexpr std::int64_t kFrames = 528000;
constexpr std::int64_t kLeadIn = 24000;

struct Outcome {
    std::string text;     // the results table
    std::string printed;  // everything the console prints of it
};

struct Plan {
    std::vector<double> lower;
    std::vector<double> upper;
};

Outcome RunAnalyze(std::int64_t frameCount, std::int32_t bandCount, std::span<const double> track,
                   std::span<const std::int64_t> mic, std::int64_t offset, const Plan& plan,
                   std::int64_t leadIn) {
    const AnalysisResult result =
        Analyze(frameCount, bandCount, track, mic, offset, plan.lower, plan.upper, leadIn);
    // The console prints the table, then the notes.
    Outcome out;
    out.text = ResultsText(result.levels, plan.lower, plan.upper);
    out.printed = out.text + AnalysisNotes(result);
    return out;
}

// Plan whose bands run between consecutive entries of edges.
Plan Bands(std::vector<double> edges) {
    Plan plan;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
        plan.lower.push_back(edges[i]);
        plan.upper.push_back(edges[i + 1]);
    }
    return plan;
}

// The band plan of constant relative width: each upper edge is the previous
// one plus a q-th of it, cut to whole hertz.
Plan ConstantQPlan(double q, int bands, double start) {
    Plan plan;
    double x = std::trunc(start);
    for (int i = 0; i < bands; ++i) {
        plan.lower.push_back(i == 0 ? start : x);
        x = std::trunc(x + x / q);
        plan.upper.push_back(x);
    }
    return plan;
}

// Level column of every row of a results text.
std::vector<double> Levels(const std::string& text) {
    std::vector<double> levels;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);  // title
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        const std::size_t tab = line.rfind('\t');
        levels.push_back(std::strtod(line.c_str() + tab + 1, nullptr));
    }
    return levels;
}

const char kHead[] = "Results:\nBand\tRange (Hz)\tdB\n";

TEST(Analyze, RtodB) {
    EXPECT_EQ(RtodB(1.0), 0.0);
    EXPECT_NEAR(RtodB(0.5), -6.0206, 1e-4);
    EXPECT_NEAR(RtodB(10.0), 20.0, 1e-12);
    EXPECT_EQ(RtodB(0.0), -std::numeric_limits<double>::infinity());
}

TEST(Analyze, EdgeValueCountsInItsBand) {
    const Plan plan = Bands({10, 20, 30});
    const double track[] = {15, 20, 25};
    const std::int64_t mic[] = {100, -100, 50};
    const Outcome out = RunAnalyze(3, 2, track, mic, 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t10\t20\t0.0\n2\t20\t30\t-6.0\n");
    EXPECT_EQ(out.printed, out.text + "Ch 1 (sweep): Return Level = -98.5 dB\n");
}

TEST(Analyze, FirstAndLastBandsTakeWhatLiesOutsideThePlan) {
    const Plan plan = Bands({10, 20, 30});
    const double track[] = {2, 5, 15, 100, 1000};
    const std::int64_t mic[] = {400, 400, 400, 100, 100};
    const Outcome out = RunAnalyze(5, 2, track, mic, 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t10\t20\t0.0\n2\t20\t30\t-12.0\n");
}

TEST(Analyze, SkippedBandsAreMissing) {
    const Plan plan = Bands({10, 20, 30, 40, 50});
    const double track[] = {15, 45, 46};
    const std::int64_t mic[] = {10, 20, 20};
    const Outcome out = RunAnalyze(3, 4, track, mic, 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) +
                            "1\t10\t20\t-6.0\n2\t20\t30\t-inf\n3\t30\t40\t-inf\n4\t40\t50\t0.0\n");
    EXPECT_EQ(out.printed, out.text +
                               "Band 2 is missing data\nBand 3 is missing data\n"
                               "Ch 1 (sweep): Return Level = -112.5 dB\n");
}

TEST(Analyze, ZeroWidthBands) {
    // A zero-width band in the middle never receives a sample; as the last
    // band it takes everything above the one before.
    const Plan plan = Bands({10, 20, 20, 30, 30});
    const double track[] = {15, 20, 25, 35};
    const std::int64_t mic[] = {8, 8, 8, 4};
    const Outcome out = RunAnalyze(4, 4, track, mic, 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) +
                            "1\t10\t20\t0.0\n2\t20\t20\t-inf\n3\t20\t30\t0.0\n4\t30\t30\t-6.0\n");
    EXPECT_NE(out.printed.find("Band 2 is missing data\n"), std::string::npos);
    EXPECT_EQ(out.printed.find("Band 4 is missing"), std::string::npos);
}

TEST(Analyze, OneBandTakesEverything) {
    const Plan plan = Bands({100, 200});
    const double track[] = {1, 150, 1e9, -5};
    const std::int64_t mic[] = {3, -3, 3, -8388608};
    const Outcome out = RunAnalyze(4, 1, track, mic, 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t100\t200\t0.0\n");
    EXPECT_EQ(out.printed, out.text + "Ch 1 (sweep): Return Level = 0.0 dB\n");
}

TEST(Analyze, BandOfSilenceHasNoLevelButIsNotMissing) {
    const Plan plan = Bands({10, 20, 30});
    const double track[] = {15, 25};
    const std::int64_t mic[] = {0, 0};
    const Outcome out = RunAnalyze(2, 2, track, mic, 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t10\t20\t-inf\n2\t20\t30\t-inf\n");
    EXPECT_EQ(out.printed, out.text + "Ch 1 (sweep): Return Level = -inf dB\n");
}

TEST(Analyze, NoVisitedSample) {
    const Plan plan = Bands({10, 20, 30});
    const double track[] = {15, 25, 25, 25};
    const std::int64_t mic[] = {5, 5, 5, 5};
    // The first visited capture index, leadIn + offset, lies at the end.
    for (std::int64_t offset :
         {std::int64_t{3}, std::int64_t{4}, std::numeric_limits<std::int64_t>::max()}) {
        const Outcome out = RunAnalyze(4, 2, track, mic, offset, plan, 1);
        EXPECT_EQ(out.text, std::string(kHead) + "1\t10\t20\t-inf\n2\t20\t30\t-inf\n") << offset;
        EXPECT_EQ(out.printed, out.text +
                                   "Band 1 is missing data\nBand 2 is missing data\n"
                                   "Ch 1 (sweep): Return Level = -inf dB\n")
            << offset;
    }
}

TEST(Analyze, NoBands) {
    const Plan plan = Bands({10, 20, 30});
    const double track[] = {15, 25};
    const std::int64_t mic[] = {5, 5};
    for (std::int32_t bands : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
        const Outcome out = RunAnalyze(2, bands, track, mic, 0, plan, 0);
        EXPECT_EQ(out.text, kHead);
        EXPECT_EQ(out.printed, out.text + "Ch 1 (sweep): Return Level = -inf dB\n");
    }
}

TEST(Analyze, VisitsOnlyTheSweepsOwnSamples) {
    // frameCount 10, leadIn 2: the sweep's samples are j = 0..5, answered at
    // capture index 2 + offset + j; what follows is the silence after it.
    const Plan plan = Bands({0, 100, 200});
    const double track[] = {50, 50, 50, 150, 150, 150, 0, 0, 0, 0};
    const std::int64_t mic[] = {9000, 9000, 10, 10, 10, 20, 20, 20, 9000, 9000};
    Outcome out = RunAnalyze(10, 2, track, mic, 0, plan, 2);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t0\t100\t-6.0\n2\t100\t200\t0.0\n");
    EXPECT_EQ(out.printed, out.text + "Ch 1 (sweep): Return Level = -112.5 dB\n");

    // Shifted by the offset the visit stops at the capture's end: j = 0..3
    // at indices 6..9.
    out = RunAnalyze(10, 2, track, mic, 4, plan, 2);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t0\t100\t-9.5\n2\t100\t200\t0.0\n");
    EXPECT_EQ(out.printed, out.text + "Ch 1 (sweep): Return Level = -59.4 dB\n");

    // A negative offset reaching before the capture skips the sweep samples
    // it has no capture for (j = 0, 1) and keeps the pairing of the rest.
    out = RunAnalyze(10, 2, track, mic, -4, plan, 2);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t0\t100\t0.0\n2\t100\t200\t-9.5\n");
}

TEST(Analyze, CountsBeyondTheArraysAreClamped) {
    const Plan plan = Bands({10, 20, 30, 40});
    const double trackStore[] = {15, 25, 35, 35};
    const std::int64_t micStore[] = {4, 4, 2, 1000000};
    // Two track entries and three samples, but frameCount claims a million
    // and the band count 1000: only what the spans hold is read.
    const Outcome out = RunAnalyze(1000000, 1000, std::span(trackStore).first(2),
                                   std::span(micStore).first(3), 0, plan, 0);
    EXPECT_EQ(out.text, std::string(kHead) + "1\t10\t20\t0.0\n2\t20\t30\t0.0\n3\t30\t40\t-inf\n");
    EXPECT_EQ(out.printed, out.text +
                               "Band 3 is missing data\n"
                               "Ch 1 (sweep): Return Level = -126.4 dB\n");
    // Huge lead-ins and frame counts neither overflow nor read anywhere.
    const Outcome huge = RunAnalyze(std::numeric_limits<std::int64_t>::max(), 3, trackStore,
                                    micStore, std::numeric_limits<std::int64_t>::max(), plan,
                                    std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(huge.text,
              std::string(kHead) + "1\t10\t20\t-inf\n2\t20\t30\t-inf\n3\t30\t40\t-inf\n");
    const Outcome low = RunAnalyze(std::numeric_limits<std::int64_t>::min(), 3, trackStore,
                                   micStore, std::numeric_limits<std::int64_t>::min(), plan,
                                   std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(low.text, huge.text);
}

TEST(Analyze, LongTablesAreWrittenWhole) {
    std::vector<double> edges(1101);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        edges[i] = 1e6 + static_cast<double>(i);
    }
    Plan plan = Bands(edges);
    plan.upper.back() = 1e300;  // prints as 301 digits
    const double track[] = {0};
    const std::int64_t mic[] = {1};
    const Outcome out = RunAnalyze(1, 1100, track, mic, 0, plan, 0);
    EXPECT_GT(out.text.size(), 4096u);
    EXPECT_EQ(Levels(out.text).size(), 1100u);
    const std::string firstRow = std::string(kHead) + "1\t1000000\t1000001\t0.0\n";
    EXPECT_EQ(out.text.substr(0, firstRow.size()), firstRow);
    // The last row keeps all 301 digits of its upper edge.
    const std::size_t lastRow = out.text.rfind("\n1100\t1001099\t1");
    ASSERT_NE(lastRow, std::string::npos);
    const std::string row = out.text.substr(lastRow + 1);
    EXPECT_EQ(row.size(),
              std::string("1100\t1001099\t").size() + 301 + std::string("\t-inf\n").size());
    EXPECT_EQ(row.substr(row.size() - 6), "\t-inf\n");
    EXPECT_EQ(out.text.back(), '\n');
}

struct DefaultRun {
    std::vector<std::int64_t> samples = std::vector<std::int64_t>(kFrames);
    std::vector<double> track = std::vector<double>(kFrames);
    Plan plan = ConstantQPlan(4.0, 31, 18.0);
};

DefaultRun MakeDefaultRun() {
    DefaultRun run;
    MakeSweep(48000, run.samples, run.track, 18.0, run.plan.upper.back(), kFrames, 0.5, kLeadIn);
    return run;
}

TEST(Analyze, DefaultPlanBandStarts) {
    const DefaultRun run = MakeDefaultRun();
    ASSERT_EQ(run.plan.upper.back(), 16175.0);
    // Visited samples 0..118 fall in band 1, 119..267 in band 2, and band 3
    // begins at 268: give band 2's samples a magnitude a million times
    // larger, so a single sample on the wrong side of either border moves a
    // level visibly.
    std::vector<std::int64_t> mic(kFrames, 1);
    for (std::int64_t j = 119; j <= 267; ++j) {
        mic[kLeadIn + j] = j % 2 == 0 ? 1000000 : -1000000;
    }
    const Outcome out = RunAnalyze(kFrames, 31, run.track, mic, 0, run.plan, kLeadIn);
    const std::string firstRows =
        std::string(kHead) + "1\t18\t22\t-120.0\n2\t22\t27\t0.0\n3\t27\t33\t-120.0\n";
    EXPECT_EQ(out.text.substr(0, firstRows.size()), firstRows);
    EXPECT_NE(out.text.find("\n31\t12940\t16175\t-120.0\n"), std::string::npos);
    EXPECT_EQ(out.printed.find("missing"), std::string::npos);
    EXPECT_NE(out.printed.find("Ch 1 (sweep): Return Level = -18.5 dB\n"), std::string::npos);
}

// RBJ audio-EQ-cookbook peaking filter.
struct Biquad {
    double b0, b1, b2, a1, a2;  // normalised by a0

    Biquad(double rate, double centre, double gainDb, double q) {
        const double a = std::pow(10.0, gainDb / 40.0);
        const double w0 = 2.0 * std::numbers::pi * centre / rate;
        const double alpha = std::sin(w0) / (2.0 * q);
        const double a0 = 1.0 + alpha / a;
        b0 = (1.0 + alpha * a) / a0;
        b1 = -2.0 * std::cos(w0) / a0;
        b2 = (1.0 - alpha * a) / a0;
        a1 = -2.0 * std::cos(w0) / a0;
        a2 = (1.0 - alpha / a) / a0;
    }

    // Magnitude of the frequency response at f Hz.
    double Magnitude(double rate, double f) const {
        const std::complex<double> z = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
        return std::abs((b0 + b1 * z + b2 * z * z) / (1.0 + a1 * z + a2 * z * z));
    }

    // Runs the difference equation over the samples; the output truncated
    // toward zero as a capture would hold it.
    std::vector<std::int64_t> Filter(const std::vector<std::int64_t>& in) const {
        std::vector<std::int64_t> out(in.size());
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (std::size_t n = 0; n < in.size(); ++n) {
            const double x = static_cast<double>(in[n]);
            const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            out[n] = static_cast<std::int64_t>(y);
        }
        return out;
    }
};

TEST(Analyze, FlatCaptureGivesEqualLevels) {
    const DefaultRun run = MakeDefaultRun();
    const Outcome out = RunAnalyze(kFrames, 31, run.track, run.samples, 0, run.plan, kLeadIn);
    const std::vector<double> levels = Levels(out.text);
    ASSERT_EQ(levels.size(), 31u);
    double lowest = 0.0;
    double highest = -1000.0;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        if (run.plan.lower[k] >= 100.0) {
            lowest = std::min(lowest, levels[k]);
            highest = std::max(highest, levels[k]);
        }
    }
    // Levels are printed to a tenth of a decibel.
    EXPECT_LE(highest - lowest, 0.1 + 1e-9);
    EXPECT_GE(levels.back(),
              highest - 0.1 - 1e-9);  // the top band is measured over its whole width
    EXPECT_EQ(out.printed.find("missing"), std::string::npos);
    EXPECT_NE(out.printed.find("Ch 1 (sweep): Return Level = -6.0 dB\n"), std::string::npos);
}

TEST(Analyze, PeakingFilterMatchesItsBandMeanMagnitude) {
    const DefaultRun run = MakeDefaultRun();
    const Biquad filter(48000.0, 1000.0, 6.0, 2.0);
    const std::vector<std::int64_t> mic = filter.Filter(run.samples);
    const Outcome out = RunAnalyze(kFrames, 31, run.track, mic, 0, run.plan, kLeadIn);
    const std::vector<double> levels = Levels(out.text);
    ASSERT_EQ(levels.size(), 31u);

    // The analysis averages sample magnitudes over a band the sweep crosses
    // at a steady rate: the expected level is that of the mean of |H| over
    // the band's frequencies.
    auto bandMean = [&](std::size_t k) {
        constexpr int kSteps = 2000;
        double sum = 0.0;
        for (int i = 0; i <= kSteps; ++i) {
            const double f =
                run.plan.lower[k] + (run.plan.upper[k] - run.plan.lower[k]) * i / kSteps;
            sum += filter.Magnitude(48000.0, f);
        }
        return sum / (kSteps + 1);
    };
    const std::size_t reference = 9;  // band 10, 121 to 151 Hz
    ASSERT_GE(run.plan.lower[reference], 100.0);
    int checked = 0;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        if (run.plan.lower[k] < 100.0) {
            continue;
        }
        const double expected = RtodB(bandMean(k) / bandMean(reference));
        EXPECT_NEAR(levels[k] - levels[reference], expected, 0.5) << "band " << k + 1;
        ++checked;
    }
    EXPECT_EQ(checked, 22);
    // The band around 1 kHz stands out by close to the filter's gain.
    EXPECT_GT(levels[18] - levels[reference], 5.0);
}

}  // namespace
