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

    // Opens device and runs PLAY_REC on it with the buffers; returns whether
    // the device granted another period than asked.
    bool Transfer(const char* device, Buffers& buffers) {
        Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex(device, 2, 48000);
        EXPECT_TRUE(opened.ok()) << device;
        if (!opened) return false;
        OpenedDevice& setup = opened.value();
        PLAY_REC(setup.device, 48000, buffers.frames, buffers.play, buffers.record, 3,
                 3 * buffers.frames, report);
        EXPECT_FALSE(setup.device.playback.pcm || setup.device.capture.pcm) << "left open";
        return setup.periodDiffers;
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

TEST_F(RigTransfer, PlaysAndRecordsEveryFrameOfTheRun) {
    Buffers buffers(9000);
    const std::vector<std::int8_t> played = buffers.play;
    EXPECT_FALSE(Transfer("rig", buffers));
    EXPECT_EQ(report.refusal, TransferRefusal::None);
    EXPECT_EQ(report.chunkFrames, 1024);
    // Eight whole chunks and the last 808 frames padded to a ninth.
    EXPECT_EQ(report.writes, 9);
    EXPECT_EQ(report.reads, 9);
    EXPECT_EQ(report.total, 0);
    ExpectLoopedBack(buffers, 9000);
    EXPECT_EQ(buffers.play, played);
}

TEST_F(RigTransfer, ChunkCountAtTheEdges) {
    const struct {
        std::int64_t frames;
        std::int64_t chunks;
    } cases[] = {{2049, 3}, {2048, 2}, {1025, 2}, {1024, 1}, {1000, 1}, {1, 1}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        Buffers buffers(c.frames);
        Transfer("rig", buffers);
        EXPECT_EQ(report.writes, c.chunks);
        EXPECT_EQ(report.reads, c.chunks);
        ExpectLoopedBack(buffers, c.frames);
    }
}

TEST_F(RigTransfer, OpenAndConfigureOnlyMovesNothing) {
    Buffers buffers(5000);
    Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex("rig", 2, 48000);
    ASSERT_TRUE(opened.ok());
    const DuplexDevice& device = opened.value().device;
    EXPECT_TRUE(device.playback.pcm && device.capture.pcm);
    EXPECT_EQ(device.playback.period, 1024);
    EXPECT_FALSE(opened.value().periodDiffers);
    ExpectLoopedBack(buffers, 0);
}

// The device layer says what failed and closes what it opened; the program
// is not ended there. Each direction of a rig device opens once per
// process, so a stream left open would make the next open fail.
TEST_F(RigTransfer, SetupFailuresAreReturnedWithStageAndDirection) {
    const struct {
        const char* device;
        SetupStage stage;
        StreamDirection direction;
    } cases[] = {
        {"nodev", SetupStage::Open, StreamDirection::Playback},
        {"rig_nocapture", SetupStage::Open, StreamDirection::Capture},
        {"rig_badformat_play", SetupStage::Format, StreamDirection::Playback},
        {"rig_badformat_rec", SetupStage::Format, StreamDirection::Capture},
        {"rig_badparams_play", SetupStage::Params, StreamDirection::Playback},
        {"rig_badparams_rec", SetupStage::Params, StreamDirection::Capture},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.device);
            const Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex(c.device, 2, 48000);
            ASSERT_FALSE(opened.ok());
            EXPECT_EQ(opened.reason().stage, c.stage);
            EXPECT_EQ(opened.reason().direction, c.direction);
            EXPECT_LT(opened.reason().error, 0);
            // These devices grant the period asked for.
            EXPECT_FALSE(opened.reason().periodDiffers);
        }
    }
    for (int channels : {0, 1, 3, -2}) {
        const Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex("nodev", channels, 48000);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.reason().stage, SetupStage::Channels);
        EXPECT_EQ(opened.reason().channelCount, channels);
        EXPECT_TRUE(opened.reason().diagnostics.empty());
    }
}

TEST_F(RigTransfer, RefusesWhatItCannotTransfer) {
    // Buffers one byte short, blocks overlapping, another sample width, a
    // negative or absurd frame count, or no open device.
    Buffers buffers(5000);
    const auto refused = [&](std::span<const std::int8_t> play, int width, std::int64_t frames,
                             std::int64_t stride, bool open = true) {
        DuplexDevice device;
        if (open) {
            Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex("rig", 2, 48000);
            EXPECT_TRUE(opened.ok());
            if (opened) device = std::move(opened.value().device);
        }
        PLAY_REC(device, 48000, frames, play, buffers.record, width, stride, report);
        return report.refusal == TransferRefusal::Buffers && report.writes == 0;
    };
    EXPECT_TRUE(refused(std::span(buffers.play).first(29999), 3, 5000, 15000));
    EXPECT_TRUE(refused(buffers.play, 3, 5000, 14999));
    EXPECT_TRUE(refused(buffers.play, 2, 5000, 15000));
    EXPECT_TRUE(refused(buffers.play, 3, -1, 15000));
    EXPECT_TRUE(refused(buffers.play, 3, INT64_MAX, 15000));
    EXPECT_TRUE(refused(buffers.play, 3, 5000, INT64_MAX));
    EXPECT_TRUE(refused(buffers.play, 3, 5000, 15000, false));
    ExpectLoopedBack(buffers, 0);
}

TEST_F(RigTransfer, SmallerGrantedPeriodBecomesTheChunk) {
    Buffers buffers(528000);
    EXPECT_TRUE(Transfer("rig_period512", buffers));
    EXPECT_EQ(report.chunkFrames, 512);
    // 1031 whole chunks and the last 128 frames padded to a 1032nd.
    EXPECT_EQ(report.writes, 1032);
    EXPECT_EQ(report.reads, 1032);
    EXPECT_EQ(report.total, 0);
    ExpectLoopedBack(buffers, 528000);
}

TEST_F(RigTransfer, InterleavedOnlyDeviceMovesTheSameFrames) {
    Buffers buffers(20000);
    Transfer("rig_interleaved", buffers);
    EXPECT_EQ(report.total, 0);
    ExpectLoopedBack(buffers, 20000);
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
    EXPECT_EQ(report.writes, 196);
    EXPECT_EQ(report.reads, 196);

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
