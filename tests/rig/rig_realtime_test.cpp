// Real-time mode: the device runs from the clock like hardware. These are
// behaviour checks of the device (one second of audio lasts one second), not
// speed targets of the program.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "rig_test_util.h"

using namespace rigtest;

namespace {

const std::string live = "pcm.rt { type rig realtime true }";

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

struct Live {
    snd_pcm_t* playback = nullptr;
    snd_pcm_t* capture = nullptr;
    Live() {
        StreamSetup s;
        EXPECT_EQ(openText(&playback, live, "rt", SND_PCM_STREAM_PLAYBACK), 0);
        EXPECT_EQ(configure(playback, s), 0);
        EXPECT_EQ(openText(&capture, live, "rt", SND_PCM_STREAM_CAPTURE), 0);
        EXPECT_EQ(configure(capture, s), 0);
        snd_pcm_prepare(capture);
        snd_pcm_prepare(playback);
    }
    ~Live() {
        snd_pcm_close(capture);
        snd_pcm_close(playback);
    }
    snd_pcm_sframes_t write(std::vector<unsigned char>& b) {
        void* w[2] = {b.data(), b.data() + 3 * 1024};
        return snd_pcm_writen(playback, w, 1024);
    }
    snd_pcm_sframes_t read(std::vector<unsigned char>& b) {
        void* r[2] = {b.data(), b.data() + 3 * 1024};
        return snd_pcm_readn(capture, r, 1024);
    }
};

}  // namespace

TEST(RigRealtime, OneSecondOfDuplexAudioTakesOneSecond) {
    Live d;
    std::vector<unsigned char> a(6 * 1024, 1), b(6 * 1024);
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 47; ++k) {  // 48128 frames
        ASSERT_EQ(d.write(a), 1024) << k;
        ASSERT_EQ(d.read(b), 1024) << k;
    }
    const double took = seconds(t0, std::chrono::steady_clock::now());
    EXPECT_NEAR(took, 48128.0 / 48000.0, 0.05 * 48128.0 / 48000.0);
}

TEST(RigRealtime, PlaybackOfOneSecondEndsWithItsDrainAfterOneSecond) {
    Live d;
    std::vector<unsigned char> a(6 * 1024, 1);
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 47; ++k) ASSERT_EQ(d.write(a), 1024) << k;
    const double writing = seconds(t0, std::chrono::steady_clock::now());
    ASSERT_EQ(snd_pcm_drain(d.playback), 0);
    const double took = seconds(t0, std::chrono::steady_clock::now());
    // The writes block while the buffer is full; the drain waits for the rest.
    EXPECT_LT(writing, took - 0.05);
    EXPECT_NEAR(took, 48128.0 / 48000.0, 0.05 * 48128.0 / 48000.0);
}

TEST(RigRealtime, AProgramThatStopsWritingGetsBrokenPipe) {
    Live d;
    std::vector<unsigned char> a(6 * 1024, 1), b(6 * 1024);
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(d.write(a), 1024);
        ASSERT_EQ(d.read(b), 1024);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(d.write(a), -EPIPE);
    EXPECT_EQ(snd_pcm_state(d.playback), SND_PCM_STATE_XRUN);
    // The capture was not read for as long: it overran.
    EXPECT_EQ(d.read(b), -EPIPE);
    // Prepared again, both go on.
    ASSERT_EQ(snd_pcm_prepare(d.playback), 0);
    ASSERT_EQ(snd_pcm_prepare(d.capture), 0);
    EXPECT_EQ(d.write(a), 1024);
    EXPECT_EQ(d.read(b), 1024);
}

TEST(RigRealtime, LoopDelayIsTheLatencyPlusTheProgramsOwnStartOffset) {
    // Channel 2 comes back `latency` frames after it was played on the loop's
    // clock; the playback starts a few frames before the capture, so a click
    // played at frame 0 arrives at 300 minus that head start, never earlier
    // than 300 - one period.
    Live d;
    std::vector<unsigned char> a(6 * 1024, 0), b(6 * 1024);
    a[3 * 1024 + 2] = 0x40;  // channel 2, frame 0
    long found = -1;
    for (int k = 0; k < 4 && found < 0; ++k) {
        ASSERT_EQ(d.write(a), 1024);
        a[3 * 1024 + 2] = 0;
        ASSERT_EQ(d.read(b), 1024);
        for (int f = 0; f < 1024; ++f)
            if (b[3 * 1024 + 3 * f + 2] == 0x40) found = k * 1024 + f;
    }
    ASSERT_GE(found, 0);
    EXPECT_LE(found, 300);
    EXPECT_GT(found, 300 - 1024);
}
