#include "console/live_meter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct MeterCase {
    ChunkLevels levels;
    const char* line;
};

// The line's fields worked out by hand: seconds at 48000 Hz, a 20-character
// bar, peaks in dBFS (0.5 of full scale is -6.0 dBFS).
TEST(LiveMeter, LineShowsTimeBarAndPeaks) {
    const MeterCase cases[] = {
        {{0, 528000, 0.0, 0.0, false, false},
         "   0.0 / 11.0 s [....................] in 1   -inf      in 2   -inf      dBFS"},
        {{264000, 528000, 0.5, 0.05, false, false},
         "   5.5 / 11.0 s [##########..........] in 1   -6.0      in 2  -26.0      dBFS"},
        {{528000, 528000, 1.0, 0.001, true, false},
         "  11.0 / 11.0 s [####################] in 1    0.0 CLIP in 2  -60.0      dBFS"},
        {{600000, 528000, 1e-30, 0.0, false, true},
         "  12.5 / 11.0 s [####################] in 1 -199.9      in 2   -inf CLIP dBFS"},
    };
    for (const MeterCase& c : cases) {
        const std::string line = MeterLine(c.levels, 48000);
        EXPECT_EQ(line, c.line);
        EXPECT_LE(line.size(), 79u);
    }
}

// Drawn lines are erased with blanks and a carriage return, so the next
// line printed starts at the left edge; a meter that is not enabled draws
// nothing at all.
TEST(LiveMeter, DrawsOnlyWhenEnabledAndErasesItsLine) {
    for (const bool enabled : {true, false}) {
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        ASSERT_NE(out, nullptr);
        {
            LiveMeter meter(out, enabled, 48000);
            meter.Update({1024, 528000, 0.25, 0.5, false, false});
        }
        std::fclose(out);
        const std::string written(text, size);
        std::free(text);
        if (!enabled) {
            EXPECT_EQ(written, "");
            continue;
        }
        ASSERT_EQ(written.rfind("\r", 0), 0u);
        EXPECT_NE(written.find("in 1  -12.0"), std::string::npos) << written;
        EXPECT_EQ(written.substr(written.size() - 81), "\r" + std::string(79, ' ') + "\r");
    }
}

}  // namespace
