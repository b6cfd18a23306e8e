// Impulse responses through the device: long ones convolved exactly and in
// real time at the device's pace, files at another rate refused.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

#include <sndfile.h>

#include "rig_test_util.h"

using namespace rigtest;

namespace {

// Noise decaying by 60 dB over its length, as a room's tail does.
std::vector<double> DecayingNoise(std::size_t taps, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> h(taps);
    for (std::size_t k = 0; k < taps; ++k)
        h[k] = 0.05 * d(gen) * std::pow(10.0, -3.0 * static_cast<double>(k) / taps);
    return h;
}

std::string TempFile(const char* name) {
    return ::testing::TempDir() + name;
}

}  // namespace

TEST(RigIr, LongRandomResponseMatchesTheDirectSumWithinFloatRounding) {
    const std::string path = TempFile("rig_ir_long.wav");
    const std::vector<double> h = DecayingNoise(6000, 2);
    ASSERT_TRUE(writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 48000, 1, h));
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    std::vector<float> in(15000), out1, out2;
    for (float& v : in) v = d(gen);
    ASSERT_TRUE(
        duplexFloat("pcm.ir { type rig latency 0 ir \"" + path + "\" }", "ir", in, in, out1, out2));
    for (std::size_t n = 0; n < in.size(); ++n) {
        long double want = 0;
        for (std::size_t k = 0; k < h.size() && k <= n; ++k)
            want += static_cast<long double>(h[k]) * in[n - k];
        // The capture holds floats: their rounding, plus little for the sum.
        const double tolerance = 1e-6 * (std::fabs(static_cast<double>(want)) + 1e-3);
        ASSERT_NEAR(out1[n], static_cast<double>(want), tolerance) << "frame " << n;
    }
}

TEST(RigIr, ResponseAtAnotherRateIsRefusedNamingBothRates) {
    const std::string path = TempFile("rig_ir_44100.flac");
    std::vector<double> h(100, 0.0);
    h[0] = 0.5;
    ASSERT_TRUE(writeAudio(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, h));
    const std::string text = "pcm.r { type rig ir \"" + path + "\" }";
    for (snd_pcm_stream_t stream : {SND_PCM_STREAM_PLAYBACK, SND_PCM_STREAM_CAPTURE}) {
        snd_pcm_t* pcm = nullptr;
        ASSERT_EQ(openText(&pcm, text, "r", stream), 0);
        {
            ErrorCapture errors;
            StreamSetup s;  // 48000 Hz
            EXPECT_EQ(configure(pcm, s), -EINVAL);
            EXPECT_NE(ErrorCapture::text.find("field ir"), std::string::npos) << ErrorCapture::text;
            EXPECT_NE(ErrorCapture::text.find("44100"), std::string::npos) << ErrorCapture::text;
            EXPECT_NE(ErrorCapture::text.find("48000"), std::string::npos) << ErrorCapture::text;
        }
        StreamSetup s;
        s.rate = 44100;
        EXPECT_EQ(configure(pcm, s), 0);  // at its own rate the device works
        snd_pcm_close(pcm);
    }
}

// The longest response on a device paced by the clock: several seconds of
// duplex audio, one period each way per pass, without an xrun, and the room
// is heard.
TEST(RigIr, LongestResponseKeepsThePaceOfTheRealTimeDevice) {
    const std::string path = TempFile("rig_ir_10s.wav");
    ASSERT_TRUE(
        writeAudio(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, DecayingNoise(480000, 3)));
    const std::string text = "pcm.lr { type rig realtime true ir \"" + path + "\" }";
    snd_pcm_t* playback = nullptr;
    snd_pcm_t* capture = nullptr;
    StreamSetup s;
    ASSERT_EQ(openText(&playback, text, "lr", SND_PCM_STREAM_PLAYBACK), 0);
    ASSERT_EQ(configure(playback, s), 0);
    ASSERT_EQ(openText(&capture, text, "lr", SND_PCM_STREAM_CAPTURE), 0);
    ASSERT_EQ(configure(capture, s), 0);
    snd_pcm_prepare(capture);
    snd_pcm_prepare(playback);
    std::mt19937 gen(8);
    std::vector<unsigned char> play(6 * 1024), rec(6 * 1024);
    void* w[2] = {play.data(), play.data() + 3 * 1024};
    void* r[2] = {rec.data(), rec.data() + 3 * 1024};
    constexpr int passes = 235;  // 240640 frames, 5 s
    int heard = 0;
    // Two periods queued first, so that a pass may come up to two periods
    // late (the machine runs other work too); the device's own cost must
    // still fit in real time over the whole run.
    for (int k = 0; k < 2; ++k) ASSERT_EQ(snd_pcm_writen(playback, w, 1024), 1024);
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < passes; ++k) {
        for (auto& b : play) b = static_cast<unsigned char>(gen() & 0x3F);
        ASSERT_EQ(snd_pcm_writen(playback, w, 1024), 1024) << "pass " << k;
        ASSERT_EQ(snd_pcm_readn(capture, r, 1024), 1024) << "pass " << k;
        for (int f = 0; f < 1024; ++f)
            if (rec[3 * f] | rec[3 * f + 1] | rec[3 * f + 2]) ++heard;
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(snd_pcm_state(playback), SND_PCM_STATE_RUNNING);
    EXPECT_EQ(snd_pcm_state(capture), SND_PCM_STATE_RUNNING);
    EXPECT_GT(heard, passes * 1024 / 2);
    EXPECT_NEAR(took, passes * 1024 / 48000.0, 0.25);  // the device's pace, not faster
    snd_pcm_close(capture);
    snd_pcm_close(playback);
}
