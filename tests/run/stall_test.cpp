// A device that stops responding, and the playback kept ahead of the
// capture: the rig's stall faults (a stream whose pointer stops once its
// chunk 20 has passed, a playback that never plays out its last period, so a
// drain would never complete) and its record of the frames queued for
// playback at each capture read.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/play_rec.h"
#include "rig/room.h"
#include "run_support.h"

namespace {

constexpr const char* kRigEnvironment = "ALSA_CONFIG_PATH=" RIG_CONFIG;
constexpr const char* kStalled =
    "The sound device stopped responding: the measurement is void. Nothing was analyzed or "
    "saved.\n";
constexpr const char* kContinue = "Enter 'c' to continue\n";
constexpr std::int64_t kPeriod = 1024;  // the chunk the program asks for, granted by the rig
constexpr std::int64_t kRate = 48000;

struct StallCase {
    const char* device;
    TransferStall stall;
};
const StallCase kStallCases[] = {
    {"rig_stall_play", TransferStall::Playback},
    {"rig_stall_rec", TransferStall::Capture},
};

// The whole program on a device that stops: the run says so once, analyses
// and saves nothing, and the loop takes commands again. A second run on the
// same device opens it again, which only works when the first closed both
// streams (each direction of a rig device opens once per process). Without
// the bound the program would wait for good and be killed at the limit.
TEST(DeviceStall, RunSaysTheDeviceStoppedAndReturnsToTheLoop) {
    for (const StallCase& c : kStallCases) {
        SCOPED_TRACE(c.device);
        const ProgramRun run = RunProgram(Script(c.device, "r\nc\nr"), {kRigEnvironment}, 40);
        ASSERT_FALSE(run.timedOut) << run.out;
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(Count(run.out, "Running Test...\n"), 2);
        EXPECT_EQ(Count(run.out, std::string("Running Test...\n") + kStalled + kContinue), 2)
            << run.out;
        EXPECT_EQ(Count(run.out, "Analyzing data..."), 0);
        EXPECT_EQ(Count(run.out, "Sync Out"), 0);
        EXPECT_EQ(Count(run.out, "repeat the measurement"), 0);
        EXPECT_TRUE(TableText(run.out).empty());
        EXPECT_FALSE(run.resultsExist);
    }
}

// A playback that never plays out its queue holds nothing up: the run ends
// with its last recorded frame and drops what is still queued (silence past
// the sweep), so the take is measured and saved as on the flat rig. Waiting
// for the queue to play out would never end.
TEST(DeviceStall, DrainThatNeverCompletesDoesNotHoldTheRun) {
    const ProgramRun stuck = RunProgram(Script("rig_stuck_drain", "r"), {kRigEnvironment}, 40);
    ASSERT_FALSE(stuck.timedOut) << stuck.out;
    ASSERT_EQ(stuck.exitStatus, 0) << stuck.err;
    EXPECT_EQ(Count(stuck.out, "stopped responding"), 0);
    EXPECT_EQ(Count(stuck.out, "repeat the measurement"), 0);
    const ProgramRun flat = RunProgram(Script("rig", "r"), {kRigEnvironment}, 40);
    ASSERT_EQ(flat.exitStatus, 0) << flat.err;
    EXPECT_FALSE(TableText(stuck.out).empty());
    EXPECT_EQ(TableText(stuck.out), TableText(flat.out));
    EXPECT_EQ(stuck.results, TableText(stuck.out));
}

// Two-channel packed buffers of frameCount frames: every played sample
// distinct from silence, every capture byte 0x5a.
struct RunBuffers {
    std::int64_t frames;
    std::vector<std::int8_t> play, record;
    explicit RunBuffers(std::int64_t frameCount)
        : frames(frameCount), play(6 * frameCount), record(6 * frameCount, 0x5a) {
        for (std::int64_t f = 0; f < frames; ++f) {
            for (int c = 0; c < 2; ++c) {
                const std::int64_t v = 1000 + (f * 7 + c * 3) % 100000;
                for (int b = 0; b < 3; ++b) {
                    play[static_cast<std::size_t>(c * 3 * frames + 3 * f + b)] =
                        static_cast<std::int8_t>((v >> (8 * b)) & 0xff);
                }
            }
        }
    }
    std::uint32_t Sample(const std::vector<std::int8_t>& bytes, int channel,
                         std::int64_t frame) const {
        std::uint32_t v = 0;
        for (int b = 0; b < 3; ++b) {
            const auto at = static_cast<std::size_t>(channel * 3 * frames + 3 * frame + b);
            v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at])) << (8 * b);
        }
        return v;
    }
    // Capture frames [0, upTo) hold the playback after the cable's latency;
    // the rest is untouched.
    bool LoopedBackUpTo(std::int64_t upTo) const {
        for (int c = 0; c < 2; ++c) {
            for (std::int64_t f = 0; f < frames; ++f) {
                const std::uint32_t expected = f >= upTo ? 0x5a5a5au
                                               : f < rigDefaultLatency
                                                   ? 0u
                                                   : Sample(play, c, f - rigDefaultLatency);
                if (Sample(record, c, f) != expected) {
                    ADD_FAILURE() << "channel " << c << " frame " << f;
                    return false;
                }
            }
        }
        return true;
    }
};

class StalledTransfer : public testing::Test {
  protected:
    void SetUp() override { setenv("ALSA_CONFIG_PATH", RIG_CONFIG, 1); }
};

// The transfer called directly: where each fault stops it, what came
// through before, and that the device was waited on for the whole bound
// (one second plus the 4096-frame buffer's time), not given up early.
TEST_F(StalledTransfer, StopsWhereTheDeviceStoppedAfterTheWholeBound) {
    constexpr std::int64_t kFrames = 100 * kPeriod;
    constexpr std::int64_t kBufferChunks = 4;
    const struct {
        const char* device;
        TransferStall stall;
        std::int64_t writes, reads;  // calls made, the stalled one included
        std::int64_t recorded;       // capture frames that came through
    } cases[] = {
        // The playback pointer stops at the end of chunk 20: the buffer takes
        // four chunks more, the fifth (chunk 25) finds no room. The capture
        // is read up to what was written: chunks 0 to 24.
        {"rig_stall_play", TransferStall::Playback, 26, 25, 25 * kPeriod},
        // The capture pointer stops at the end of chunk 20 with a full
        // buffer ahead: chunks 21 to 24 are still read, chunk 25 never comes.
        // The rig's playback, which takes every frame at once, goes on to
        // the end of the run meanwhile.
        {"rig_stall_rec", TransferStall::Capture, 100, 26, 25 * kPeriod},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        RunBuffers buffers(kFrames);
        Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex(c.device, 2, kRate);
        ASSERT_TRUE(opened.ok());
        OpenedDevice& setup = opened.value();
        ASSERT_EQ(setup.device.playback.period, kPeriod);
        ASSERT_EQ(setup.device.playback.buffer, kBufferChunks * kPeriod);
        TransferReport report;
        const auto begin = std::chrono::steady_clock::now();
        PLAY_REC(setup.device, kRate, kFrames, buffers.play, buffers.record, 3, 3 * kFrames,
                 report);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_EQ(report.stall, c.stall);
        EXPECT_EQ(report.writes, c.writes);
        EXPECT_EQ(report.reads, c.reads);
        EXPECT_EQ(report.total, 0);  // stopping is not an error of the stream
        EXPECT_GE(seconds, 1.0 + static_cast<double>(kBufferChunks * kPeriod) / kRate);
        EXPECT_TRUE(buffers.LoopedBackUpTo(c.recorded));
        // Both streams were dropped and closed: the device opens again.
        EXPECT_TRUE(OpenDuplex(c.device, 2, kRate).ok());
    }
}

TEST_F(StalledTransfer, DrainThatNeverCompletesIsNotWaitedFor) {
    constexpr std::int64_t kFrames = 100 * kPeriod;
    RunBuffers buffers(kFrames);
    Outcome<OpenedDevice, DeviceFailure> opened = OpenDuplex("rig_stuck_drain", 2, kRate);
    ASSERT_TRUE(opened.ok());
    TransferReport report;
    PLAY_REC(opened.value().device, kRate, kFrames, buffers.play, buffers.record, 3, 3 * kFrames,
             report);
    EXPECT_EQ(report.stall, TransferStall::None);
    EXPECT_EQ(report.writes, 100);
    EXPECT_EQ(report.reads, 100);
    EXPECT_EQ(report.total, 0);
    EXPECT_TRUE(buffers.LoopedBackUpTo(kFrames));
    EXPECT_TRUE(OpenDuplex("rig_stuck_drain", 2, kRate).ok());
}

// The queue record of a run: one "read <capture frame> <queued> <buffer>"
// line per capture read and an "underrun <frame>" line where the playback
// lost a chunk.
struct QueueRead {
    std::int64_t frame, queued, buffer;
};
struct QueueRecord {
    std::vector<QueueRead> reads;
    std::vector<std::int64_t> underruns;
    std::vector<std::size_t> readsBeforeUnderrun;  // reads logged before each underrun
};

QueueRecord ReadQueueRecord(const std::filesystem::path& path) {
    QueueRecord record;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string what;
        fields >> what;
        if (what == "read") {
            QueueRead read{};
            fields >> read.frame >> read.queued >> read.buffer;
            EXPECT_FALSE(fields.fail()) << line;
            record.reads.push_back(read);
        } else if (what == "underrun") {
            std::int64_t frame = -1;
            fields >> frame;
            record.underruns.push_back(frame);
            record.readsBeforeUnderrun.push_back(record.reads.size());
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    return record;
}

// The playback is kept a whole device buffer ahead of the capture: full
// before the first read, full again before the first read after it ran dry
// (the rig loses chunk 100 of the playback), and full at every read while
// the run still has frames to write.
TEST(PlaybackAhead, QueueIsFullBeforeTheFirstReadAndAgainAfterAnUnderrun) {
    const std::filesystem::path dir(testing::TempDir());
    const std::filesystem::path log = dir / "zembrak_queue_record.txt";
    const std::filesystem::path config = dir / "zembrak_queue_record.conf";
    std::filesystem::remove(log);
    std::ofstream(config) << "<" RIG_CONFIG ">\n"
                          << "pcm.rig_queue { type rig xrun_playback 100 queue_log \""
                          << log.string() << "\" }\n";
    const ProgramRun run =
        RunProgram(Script("rig_queue", "r"), {"ALSA_CONFIG_PATH=" + config.string()}, 60);
    std::filesystem::remove(config);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const QueueRecord record = ReadQueueRecord(log);
    std::filesystem::remove(log);

    // The default run: 528000 frames, read a period at a time.
    constexpr std::int64_t kRunFrames = 528000;
    const std::int64_t chunks = (kRunFrames + kPeriod - 1) / kPeriod;
    ASSERT_EQ(static_cast<std::int64_t>(record.reads.size()), chunks);
    ASSERT_EQ(record.underruns.size(), 1u);
    EXPECT_EQ(record.underruns[0], 100 * kPeriod);
    const std::int64_t buffer = record.reads[0].buffer;
    EXPECT_GE(buffer, 2 * kPeriod);

    EXPECT_GE(record.reads[0].queued, buffer) << "before the first read";
    const std::size_t afterUnderrun = record.readsBeforeUnderrun[0];
    ASSERT_LT(afterUnderrun, record.reads.size());
    EXPECT_GE(record.reads[afterUnderrun].queued, buffer) << "after the underrun";
    for (std::size_t i = 0; i < record.reads.size(); ++i) {
        const QueueRead& read = record.reads[i];
        EXPECT_EQ(read.frame, static_cast<std::int64_t>(i) * kPeriod);
        if (read.frame + buffer < kRunFrames) {
            EXPECT_GE(read.queued, buffer) << "read " << i;
        }
    }
}

}  // namespace
