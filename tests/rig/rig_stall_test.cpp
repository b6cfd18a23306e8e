// The faults of a device that stops responding: a stream whose pointer
// stands still once its chunk K has passed (no error, nothing to poll for),
// and a playback that never plays out its last period, so that a drain never
// completes; and of one that loses or repeats a block of its capture without
// telling.

#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <string>
#include <vector>

#include "rig_test_util.h"

using namespace rigtest;

namespace {

constexpr snd_pcm_uframes_t kPeriod = 1024;
constexpr snd_pcm_uframes_t kBuffer = 4096;

// Moves periods through one non-blocking stream until it takes or gives no
// more; returns the frames moved, or a negative error.
long MoveUntilRefused(snd_pcm_t* pcm, bool playback, std::vector<unsigned char>& data,
                      int limitChunks) {
    long moved = 0;
    for (int k = 0; k < limitChunks; ++k) {
        void* channels[2] = {data.data(), data.data() + 3 * kPeriod};
        const snd_pcm_sframes_t r = playback ? snd_pcm_writen(pcm, channels, kPeriod)
                                             : snd_pcm_readn(pcm, channels, kPeriod);
        if (r == -EAGAIN) return moved;
        if (r < 0) return r;
        moved += r;
        if (r < static_cast<snd_pcm_sframes_t>(kPeriod)) return moved;
    }
    return moved;
}

// Polls the stream's descriptors as a waiting program does: poll() for
// `ms` milliseconds, and when woken ask the stream what it is ready for; a
// wake-up that finds it ready for nothing is followed by one more poll().
// Returns the ready events, 0 when it slept the whole time at the end.
int PollFor(snd_pcm_t* pcm, int ms) {
    pollfd fds[8];
    const int count = snd_pcm_poll_descriptors(pcm, fds, 8);
    if (count <= 0) return -1;
    for (int round = 0; round < 2; ++round) {
        const int polled = poll(fds, static_cast<nfds_t>(count), ms);
        if (polled <= 0) return polled;
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(count), &revents) < 0)
            return -1;
        if (revents != 0) return revents;
    }
    return poll(fds, static_cast<nfds_t>(count), 0) > 0 ? -2 : 0;
}

TEST(RigStall, StreamStopsAfterItsChunkWithoutAnError) {
    // Chunks 0 to 20 pass; the pointer then stands still, so a playback takes
    // one buffer more and a capture gives the buffer it had ahead.
    const struct {
        const char* device;
        snd_pcm_stream_t stream;
    } cases[] = {
        {"rig_stall_play", SND_PCM_STREAM_PLAYBACK},
        {"rig_stall_rec", SND_PCM_STREAM_CAPTURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        const bool playback = c.stream == SND_PCM_STREAM_PLAYBACK;
        snd_pcm_t* pcm = nullptr;
        ASSERT_EQ(openDevice(&pcm, c.device, c.stream), 0);
        StreamSetup setup;
        snd_pcm_uframes_t period = 0;
        ASSERT_EQ(configure(pcm, setup, &period), 0);
        ASSERT_EQ(period, kPeriod);
        ASSERT_EQ(snd_pcm_nonblock(pcm, 1), 0);
        std::vector<unsigned char> data(6 * kPeriod, 0x11);
        EXPECT_EQ(MoveUntilRefused(pcm, playback, data, 100),
                  static_cast<long>(21 * kPeriod + kBuffer));
        // Stopped, not failed: still running, nothing to move, nothing to
        // wake a poll, and it stays that way.
        EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_RUNNING);
        EXPECT_EQ(snd_pcm_avail(pcm), 0);
        EXPECT_EQ(PollFor(pcm, 200), 0);
        EXPECT_EQ(MoveUntilRefused(pcm, playback, data, 1), 0);
        EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_RUNNING);
        snd_pcm_close(pcm);
    }
}

TEST(RigStall, StuckDrainKeepsTheLastPeriodQueued) {
    snd_pcm_t* pcm = nullptr;
    ASSERT_EQ(openDevice(&pcm, "rig_stuck_drain", SND_PCM_STREAM_PLAYBACK), 0);
    StreamSetup setup;
    ASSERT_EQ(configure(pcm, setup), 0);
    ASSERT_EQ(snd_pcm_nonblock(pcm, 1), 0);
    std::vector<unsigned char> data(6 * kPeriod, 0x22);
    // Writing goes on: one period is held, the rest of the buffer is free.
    EXPECT_EQ(MoveUntilRefused(pcm, true, data, 10), static_cast<long>(10 * kPeriod));
    EXPECT_EQ(snd_pcm_avail(pcm), static_cast<snd_pcm_sframes_t>(kBuffer - kPeriod));
    snd_pcm_sframes_t delay = 0;
    ASSERT_EQ(snd_pcm_delay(pcm, &delay), 0);
    EXPECT_EQ(delay, static_cast<snd_pcm_sframes_t>(kPeriod));
    // The drain never completes: a non-blocking one says so and leaves the
    // stream draining, with the period still queued; a drop ends it.
    EXPECT_EQ(snd_pcm_drain(pcm), -EAGAIN);
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_DRAINING);
    EXPECT_GT(PollFor(pcm, 100), 0);  // there is room: the poll is not what hangs
    EXPECT_EQ(snd_pcm_avail(pcm), static_cast<snd_pcm_sframes_t>(kBuffer - kPeriod));
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_DRAINING);
    EXPECT_EQ(snd_pcm_drop(pcm), 0);
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_SETUP);
    snd_pcm_close(pcm);
}

// A block lost or repeated inside the device, with no error: from the chunk
// on, the capture delivers what came one period later (a cut) or one period
// earlier (a repeat). Channel 2 is the cable: what was played, 300 frames on.
TEST(RigStall, CaptureCutOrRepeatShiftsTheRestByAPeriod) {
    const long period = static_cast<long>(kPeriod);
    const struct {
        const char* fields;
        long shift;  // capture frames from `from` on come from this far ahead
        long from;
    } cases[] = {
        {"cut_capture 3", period, 3 * period},
        {"repeat_capture 3", -period, 4 * period},
        {"cut_capture 0", period, 0},
    };
    const long frames = 8 * period;
    std::vector<float> ch1(static_cast<std::size_t>(frames), 0.0f), ch2(ch1.size());
    for (long f = 0; f < frames; ++f) ch2[static_cast<std::size_t>(f)] = (f + 1) / 16384.0f;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        std::vector<float> out1, out2;
        ASSERT_TRUE(duplexFloat(std::string("pcm.jump { type rig ") + c.fields + " }", "jump", ch1,
                                ch2, out1, out2));
        for (long f = 0; f < frames; ++f) {
            const long source = f - 300 + (f >= c.from ? c.shift : 0);
            // Each chunk is read right after the same chunk was written: what
            // lies beyond it has not been played yet and reads as silence.
            const long written = (f / period + 1) * period;
            const float expected =
                source >= 0 && source < written ? ch2[static_cast<std::size_t>(source)] : 0.0f;
            ASSERT_EQ(out2[static_cast<std::size_t>(f)], expected) << "frame " << f;
        }
    }
}

TEST(RigStall, BadValuesAreRefusedAtOpenByName) {
    const struct {
        std::string fields;
        const char* named;
        int error;
    } cases[] = {
        {"stall_playback -1", "stall_playback", -EINVAL},
        {"stall_capture 2000000000", "stall_capture", -EINVAL},
        {"stall_capture yes", "stall_capture", -EINVAL},
        {"stuck_drain maybe", "stuck_drain", -EINVAL},
        {"cut_capture -2", "cut_capture", -EINVAL},
        {"repeat_capture 1.5", "repeat_capture", -EINVAL},
        {"queue_log \"\"", "queue_log", -EINVAL},
        {"queue_log 3", "queue_log", -EINVAL},
        {"queue_log \"/nonexistent-zembrak-dir/queue.txt\"", "queue_log", -ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        ErrorCapture errors;
        snd_pcm_t* pcm = nullptr;
        const int err =
            openText(&pcm, "pcm.bad { type rig " + c.fields + " }", "bad", SND_PCM_STREAM_PLAYBACK);
        EXPECT_EQ(err, c.error);
        EXPECT_NE(ErrorCapture::text.find(c.named), std::string::npos) << ErrorCapture::text;
        if (err == 0) snd_pcm_close(pcm);
    }
}

}  // namespace
