// The device transfer called directly on the simulated rig: what is played
// comes back on the capture after the rig's cable latency, chunk by chunk.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/play_rec.h"
#include "rig/room.h"
#include "run_support.h"

namespace {

constexpr std::int8_t kUntouched = 0x5a;

// A two-channel packed buffer pair of frameCount frames: every played sample
// distinct, every capture byte set to kUntouched.
struct Buffers {
    std::int64_t frames;
    std::vector<std::int8_t> play, record;

    explicit Buffers(std::int64_t frameCount)
        : frames(frameCount), play(6 * frameCount), record(6 * frameCount, kUntouched) {
        for (std::int64_t f = 0; f < frames; ++f) {
            Put(play, 0, f, (f * 37) % 8000000 - 4000000);
            Put(play, 1, f, -((f * 11) % 8000000) + 3999999);
        }
    }
    void Put(std::vector<std::int8_t>& bytes, int channel, std::int64_t frame, std::int64_t v) {
        const std::size_t at = static_cast<std::size_t>(channel * 3 * frames + 3 * frame);
        for (int b = 0; b < 3; ++b) bytes[at + b] = static_cast<std::int8_t>((v >> (8 * b)) & 0xff);
    }
    // The three bytes of one sample as one number (no sign), for comparing.
    std::uint32_t Raw(const std::vector<std::int8_t>& bytes, int channel,
                      std::int64_t frame) const {
        const std::size_t at = static_cast<std::size_t>(channel * 3 * frames + 3 * frame);
        std::uint32_t v = 0;
        for (int b = 0; b < 3; ++b)
            v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + b])) << (8 * b);
        return v;
    }
    bool Untouched(int channel, std::int64_t frame) const {
        return Raw(record, channel, frame) == 0x5a5a5au;
    }
};

class RigTransfer : public testing::Test {
  protected:
    void SetUp() override { setenv("ALSA_CONFIG_PATH", RIG_CONFIG, 1); }

    // Runs PLAY_REC on device with the buffers; returns what it printed.
    std::string Transfer(const char* device, Buffers& buffers, int mode = 3, int channels = 2) {
        testing::internal::CaptureStdout();
        PLAY_REC(channels, mode, device, 48000, buffers.frames, buffers.play, buffers.record, 3,
                 3 * buffers.frames, report);
        return testing::internal::GetCapturedStdout();
    }

    // Frames [0, transferred) came back after the cable latency, the rest of
    // the capture was left alone.
    void ExpectLoopedBack(const Buffers& b, std::int64_t transferred) {
        for (int c = 0; c < 2; ++c) {
            for (std::int64_t f = 0; f < b.frames; ++f) {
                std::uint32_t expected;
                if (f >= transferred) {
                    ASSERT_TRUE(b.Untouched(c, f)) << "channel " << c << " frame " << f;
                    continue;
                }
                expected = f < rigDefaultLatency ? 0u : b.Raw(b.play, c, f - rigDefaultLatency);
                ASSERT_EQ(b.Raw(b.record, c, f), expected) << "channel " << c << " frame " << f;
            }
        }
    }

    TransferReport report;
};

TEST_F(RigTransfer, PlaysAndRecordsEveryWholeChunkBeforeTheLast) {
    Buffers buffers(9000);
    const std::vector<std::int8_t> played = buffers.play;
    EXPECT_EQ(Transfer("rig", buffers), "Running Test...\n");
    EXPECT_FALSE(report.refused);
    EXPECT_EQ(report.chunkFrames, 1024);
    // Chunks k with k * 1024 + 1024 < 9000: eight of them, frames 0 to 8191.
    EXPECT_EQ(report.writes, 8);
    EXPECT_EQ(report.reads, 8);
    EXPECT_EQ(report.total, 0);
    ExpectLoopedBack(buffers, 8192);
    EXPECT_EQ(buffers.play, played);
}

TEST_F(RigTransfer, ChunkCountAtTheEdges) {
    const struct {
        std::int64_t frames;
        std::int64_t chunks;
    } cases[] = {{2049, 2}, {2048, 1}, {1025, 1}, {1024, 0}, {1000, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        Buffers buffers(c.frames);
        // Even without a chunk the test starts.
        EXPECT_EQ(Transfer("rig", buffers), "Running Test...\n");
        EXPECT_EQ(report.writes, c.chunks);
        EXPECT_EQ(report.reads, c.chunks);
        ExpectLoopedBack(buffers, c.chunks * 1024);
    }
}

TEST_F(RigTransfer, OtherModesOnlyOpenAndClose) {
    Buffers buffers(5000);
    EXPECT_EQ(Transfer("rig", buffers, 2), "");
    EXPECT_FALSE(report.refused);
    EXPECT_EQ(report.writes, 0);
    EXPECT_EQ(report.reads, 0);
    ExpectLoopedBack(buffers, 0);
}

TEST_F(RigTransfer, RefusesWhatItCannotTransferWithoutOpeningTheDevice) {
    // "nodev" cannot be opened: had the call tried, the process would end.
    for (int channels : {0, 1, 3, -2}) {
        Buffers buffers(5000);
        EXPECT_EQ(Transfer("nodev", buffers, 3, channels),
                  "The sound device transfer handles 2 channels, not " + std::to_string(channels) +
                      ".\n");
        EXPECT_TRUE(report.refused);
        ExpectLoopedBack(buffers, 0);
    }
    const std::string tooSmall =
        "The sound device transfer needs two blocks of 3-byte samples that fit its buffers.\n";
    Buffers buffers(5000);
    testing::internal::CaptureStdout();
    // Buffers one byte short, blocks overlapping, another sample width, a
    // negative or absurd frame count.
    PLAY_REC(2, 3, "nodev", 48000, 5000, std::span(buffers.play).first(29999), buffers.record, 3,
             15000, report);
    EXPECT_TRUE(report.refused);
    PLAY_REC(2, 3, "nodev", 48000, 5000, buffers.play, buffers.record, 3, 14999, report);
    EXPECT_TRUE(report.refused);
    PLAY_REC(2, 3, "nodev", 48000, 5000, buffers.play, buffers.record, 2, 15000, report);
    EXPECT_TRUE(report.refused);
    PLAY_REC(2, 3, "nodev", 48000, -1, buffers.play, buffers.record, 3, 15000, report);
    EXPECT_TRUE(report.refused);
    PLAY_REC(2, 3, "nodev", 48000, INT64_MAX, buffers.play, buffers.record, 3, 15000, report);
    EXPECT_TRUE(report.refused);
    PLAY_REC(2, 3, "nodev", 48000, 5000, buffers.play, buffers.record, 3, INT64_MAX, report);
    EXPECT_TRUE(report.refused);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, tooSmall + tooSmall + tooSmall + tooSmall + tooSmall + tooSmall);
    ExpectLoopedBack(buffers, 0);
}

TEST_F(RigTransfer, SmallerGrantedPeriodBecomesTheChunk) {
    Buffers buffers(528000);
    EXPECT_EQ(Transfer("rig_period512", buffers),
              "Driver did not return requested period size.\nRunning Test...\n");
    EXPECT_EQ(report.chunkFrames, 512);
    // 1031 chunks cover frames 0 to 527871; the last 128 are not moved.
    EXPECT_EQ(report.writes, 1031);
    EXPECT_EQ(report.reads, 1031);
    EXPECT_EQ(report.total, 0);
    ExpectLoopedBack(buffers, 527872);
}

TEST_F(RigTransfer, InterleavedOnlyDeviceMovesTheSameFrames) {
    Buffers buffers(20000);
    EXPECT_EQ(Transfer("rig_interleaved", buffers), "Running Test...\n");
    EXPECT_EQ(report.total, 0);
    ExpectLoopedBack(buffers, 19456);
}

TEST_F(RigTransfer, LogsTheChunkAnXrunCost) {
    // Both devices lose their chunk 100 once: frames 102400 to 103423.
    Buffers playBuffers(200000);
    Transfer("rig_xrun_play", playBuffers);
    ASSERT_EQ(report.total, 1);
    EXPECT_EQ(report.events[0].fault, TransferFault::PlaybackUnderrun);
    EXPECT_EQ(report.events[0].begin, 102400);
    EXPECT_EQ(report.events[0].end, 103424);
    // Every other chunk was still written and read.
    EXPECT_EQ(report.writes, 195);
    EXPECT_EQ(report.reads, 195);

    Buffers recordBuffers(200000);
    Transfer("rig_xrun_rec", recordBuffers);
    ASSERT_EQ(report.total, 1);
    EXPECT_EQ(report.events[0].fault, TransferFault::CaptureOverrun);
    EXPECT_EQ(report.events[0].begin, 102400);
    EXPECT_EQ(report.events[0].end, 103424);
    // The lost chunk's part of the capture keeps what was there.
    for (std::int64_t f = 102400; f < 103424; ++f) {
        ASSERT_TRUE(recordBuffers.Untouched(0, f) && recordBuffers.Untouched(1, f)) << f;
    }
    EXPECT_FALSE(recordBuffers.Untouched(0, 103424));
}

}  // namespace
