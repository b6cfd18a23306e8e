#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "console/run_report.h"
#include "signal/sync_pulse.h"

namespace {

// The peak's index, and in `printed` the line the console prints of it.
std::int64_t FindPeakPrinting(const std::vector<std::int64_t>& samples, std::int64_t count,
                              std::string& printed) {
    const SyncPeak peak = FindPeak(samples, count);
    printed = SyncLevelLine(peak.returnLevel);
    return peak.index;
}

TEST(SyncPulse, OnePeriodAfterTheLeadIn) {
    std::vector<std::int64_t> pulse(40384, 77);
    EXPECT_EQ(MakePulse(pulse, 48000, 40384, 24000), 24032);
    for (std::int64_t i = 0; i < 40384; ++i) {
        if (i < 24000 || i >= 24048) {
            ASSERT_EQ(pulse[i], 0) << i;
        } else {
            ASSERT_NE(pulse[i], 0) << i;
            ASSERT_LE(pulse[i], 4194304) << i;
            ASSERT_GE(pulse[i], -4194304) << i;
        }
    }
    EXPECT_EQ(pulse[24000], -2087706);
    EXPECT_EQ(pulse[24032], 4194289);
    EXPECT_EQ(pulse[24047], -1594996);
    // One period of a sine: the samples rise to the peak and fall after it.
    EXPECT_LT(pulse[24031], pulse[24032]);
    EXPECT_LT(pulse[24033], pulse[24032]);
}

TEST(SyncPulse, LengthAndLeadInVariants) {
    // At 44100 Hz the period spans 44.1 samples, so 45 are written.
    std::vector<std::int64_t> pulse(200, 77);
    MakePulse(pulse, 44100, 200, 0);
    for (int i = 0; i < 45; ++i) {
        EXPECT_NE(pulse[i], 0) << i;
    }
    for (int i = 45; i < 200; ++i) {
        ASSERT_EQ(pulse[i], 0) << i;
    }
    // With no lead-in the pulse starts at index 0, its phase still taken
    // from index - 500.
    std::vector<std::int64_t> early(60, 77);
    const std::int64_t peak = MakePulse(early, 48000, 60, 0);
    std::int64_t expectedPeak = 0;
    for (int i = 0; i < 48; ++i) {
        const double expected = 4194304.0 * std::sin(6.28318 * 1000.0 / 48000.0 * (i - 500));
        EXPECT_NEAR(static_cast<double>(early[i]), expected, 1.0) << i;
        if (early[i] > early[expectedPeak]) {
            expectedPeak = i;
        }
    }
    EXPECT_EQ(peak, expectedPeak);
    EXPECT_GT(early[peak], 4190000);
    for (int i = 48; i < 60; ++i) {
        EXPECT_EQ(early[i], 0) << i;
    }
}

TEST(SyncPulse, NeverWritesPastTheBuffer) {
    std::vector<std::int64_t> storage(30, 77);
    std::span<std::int64_t> pulse(storage.data(), 20);
    // length claims more than the span holds; the pulse would run past it.
    MakePulse(pulse, 48000, std::numeric_limits<std::int32_t>::max(), 0);
    EXPECT_NE(storage[19], 77);
    for (int i = 20; i < 30; ++i) {
        EXPECT_EQ(storage[i], 77) << i;
    }
    MakePulse(pulse, 48000, -1, 0);  // negative length writes nothing
    EXPECT_NE(storage[0], 0);
    EXPECT_EQ(MakePulse(pulse, 48000, 20, std::numeric_limits<std::int64_t>::max()), 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(storage[i], 0) << i;
    }
    // A rate of 0 gives no pulse samples at all: only silence.
    std::fill(storage.begin(), storage.end(), 77);
    EXPECT_EQ(MakePulse(pulse, 0, 20, 5), 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(storage[i], 0) << i;
    }
}

TEST(SyncPulse, FindPeakOnThePulse) {
    std::vector<std::int64_t> pulse(40384);
    MakePulse(pulse, 48000, 40384, 24000);
    std::string printed;
    EXPECT_EQ(FindPeakPrinting(pulse, 40384, printed), 24032);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -6.0 dB\n");
    EXPECT_EQ(PeakIndex(pulse, 40384), 24032);
    EXPECT_EQ(PeakIndex(pulse, 24032), 24031);  // the peak itself lies outside the search
}

TEST(SyncPulse, FindPeakLevelsAndTies) {
    std::string printed;
    EXPECT_EQ(FindPeakPrinting({0, 8388608, 3}, 3, printed), 1);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = 0.0 dB\n");
    EXPECT_EQ(FindPeakPrinting({838861}, 1, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -20.0 dB\n");
    // Equal maxima: the first wins.
    EXPECT_EQ(FindPeakPrinting({1, 500, -9000000, 500, 2}, 5, printed), 1);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -84.5 dB\n");
}

TEST(SyncPulse, FindPeakWithNothingPositive) {
    std::string printed;
    EXPECT_EQ(FindPeakPrinting({-5, -8388608, -1}, 3, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -inf dB\n");
    EXPECT_EQ(FindPeakPrinting({0, 0, 0}, 3, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -inf dB\n");
    EXPECT_EQ(FindPeakPrinting({}, 0, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -inf dB\n");
    // A positive sample outside the counted range is not seen.
    EXPECT_EQ(FindPeakPrinting({0, 100}, 1, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -inf dB\n");
    EXPECT_EQ(FindPeakPrinting({100, 0}, 0, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -inf dB\n");
    EXPECT_EQ(FindPeakPrinting({100, 0}, -3, printed), 0);
    EXPECT_EQ(printed, "Ch 2 (sync): Return Level = -inf dB\n");
}

TEST(SyncPulse, CountBeyondTheSamplesIsClamped) {
    std::vector<std::int64_t> storage = {1, 2, 3, 1000};
    std::span<const std::int64_t> samples(storage.data(), 3);
    EXPECT_EQ(PeakIndex(samples, std::numeric_limits<std::int64_t>::max()), 2);
    const SyncPeak peak = FindPeak(samples, 1000);
    EXPECT_EQ(peak.index, 2);
    EXPECT_EQ(SyncLevelLine(peak.returnLevel), "Ch 2 (sync): Return Level = -128.9 dB\n");
}

}  // namespace
