#include "console/live_meter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

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
         "   0.0 / 11.0 s [....................] in 1   -inf      in 2 no pulse yet"},
        {{264000, 528000, 0.5, 0.05, false, false},
         "   5.5 / 11.0 s [##########..........] in 1   -6.0      in 2  -26.0      dBFS"},
        // Input 2 below -40 dBFS: noise, not the pulse.
        {{528000, 528000, 1.0, 0.001, true, false},
         "  11.0 / 11.0 s [####################] in 1    0.0 CLIP in 2 no pulse yet"},
        {{528000, 528000, 0.5, 0.0099, false, false},
         "  11.0 / 11.0 s [####################] in 1   -6.0      in 2 no pulse yet"},
        {{528000, 528000, 0.5, 0.01, false, false},
         "  11.0 / 11.0 s [####################] in 1   -6.0      in 2  -40.0      dBFS"},
        {{528000, 528000, 0.5, std::nan(""), false, false},
         "  11.0 / 11.0 s [####################] in 1   -6.0      in 2 no pulse yet"},
        {{600000, 528000, 1e-30, 1.0, false, true},
         "  12.5 / 11.0 s [####################] in 1 -199.9      in 2    0.0 CLIP dBFS"},
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

// The pulse comes back on input 2 once, early in the run: its level stays
// on the line at every later redraw, and before it the line says it has
// not come back. Each redraw is a tenth of a second after the last.
TEST(LiveMeter, InputTwoHoldsThePulseOnceItCameBack) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    const struct {
        ChunkLevels chunk;
        const char* inputTwo;  // the end of the line drawn
    } steps[] = {
        {{1024, 528000, 0.0, 0.0, false, false}, "in 2 no pulse yet"},
        {{2048, 528000, 0.0, 0.002, false, false}, "in 2 no pulse yet"},
        {{3072, 528000, 0.5, 0.25, false, false}, "in 2  -12.0      dBFS"},
        // Silence on input 2 after the pulse, then a smaller peak: held.
        {{4096, 528000, 0.5, 0.0, false, false}, "in 2  -12.0      dBFS"},
        {{5120, 528000, 0.5, 0.05, false, false}, "in 2  -12.0      dBFS"},
        // A louder one, clipped, is held from then on.
        {{6144, 528000, 0.5, 1.0, false, true}, "in 2    0.0 CLIP dBFS"},
        {{7168, 528000, 0.5, 0.0, false, false}, "in 2    0.0 CLIP dBFS"},
    };
    {
        LiveMeter meter(out, true, 48000);
        for (const auto& step : steps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(110));
            meter.Update(step.chunk);
        }
        std::fflush(out);
        const std::string written(text, size);
        // One drawing per step, each after a carriage return.
        std::vector<std::string> lines;
        for (std::size_t at = written.find('\r'); at != std::string::npos;) {
            const std::size_t next = written.find('\r', at + 1);
            lines.push_back(
                written.substr(at + 1, next == std::string::npos ? next : next - at - 1));
            at = next;
        }
        ASSERT_EQ(lines.size(), std::size(steps)) << written;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string end = steps[i].inputTwo;
            ASSERT_GE(lines[i].size(), end.size()) << i;
            EXPECT_EQ(lines[i].substr(lines[i].size() - end.size()), end) << i << ": " << lines[i];
        }
    }
    std::fclose(out);
    std::free(text);
}

}  // namespace
