// The loop: what is played comes back on the capture of the same device name,
// channel 2 after `latency` frames, channel 1 after latency + delay, bit-exact
// through a flat room.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "rig/room.h"
#include "rig_test_util.h"

using namespace rigtest;

namespace {

struct Pair {
    snd_pcm_t* playback = nullptr;
    snd_pcm_t* capture = nullptr;
    ~Pair() {
        if (capture != nullptr) snd_pcm_close(capture);
        if (playback != nullptr) snd_pcm_close(playback);
    }
};

// Random bytes for every sample; float samples are kept finite.
std::vector<unsigned char> randomSignal(const StreamSetup& s, std::size_t frames, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> out(frames * s.channels * snd_pcm_format_physical_width(s.format) /
                                   8);
    if (s.format == SND_PCM_FORMAT_FLOAT_LE) {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (std::size_t i = 0; i + 4 <= out.size(); i += 4) {
            const float v = d(gen);
            std::memcpy(&out[i], &v, 4);
        }
    } else {
        for (auto& b : out) b = static_cast<unsigned char>(gen());
    }
    return out;
}

void expectLoop(const char* name, const std::string& text, const StreamSetup& s, long ch2Delay,
                long ch1Delay) {
    SCOPED_TRACE(std::string(name) + " format " + snd_pcm_format_name(s.format) + " access " +
                 snd_pcm_access_name(s.access));
    Pair p;
    auto open = [&](snd_pcm_t** pcm, snd_pcm_stream_t st) {
        return text.empty() ? openDevice(pcm, name, st) : openText(pcm, text, name, st);
    };
    ASSERT_EQ(open(&p.playback, SND_PCM_STREAM_PLAYBACK), 0);
    ASSERT_EQ(configure(p.playback, s), 0);
    ASSERT_EQ(open(&p.capture, SND_PCM_STREAM_CAPTURE), 0);
    ASSERT_EQ(configure(p.capture, s), 0);
    const std::size_t frames = 8 * s.period + 100;
    const auto play = randomSignal(s, frames, 7);
    std::vector<unsigned char> rec(play.size(), 0xAA);
    ASSERT_TRUE(duplex(p.playback, p.capture, s, play, rec, frames));
    const std::size_t bytes = snd_pcm_format_physical_width(s.format) / 8;
    const long delays[2] = {ch1Delay, ch2Delay};
    for (unsigned ch = 0; ch < 2; ++ch) {
        const unsigned char zero[4] = {0, 0, 0, 0};
        for (std::size_t f = 0; f < frames; ++f) {
            const unsigned char* got = &rec[offsetOf(s, ch, f, frames)];
            const long src = static_cast<long>(f) - delays[ch];
            const unsigned char* want =
                src < 0 ? zero : &play[offsetOf(s, ch, static_cast<std::size_t>(src), frames)];
            if (std::memcmp(got, want, bytes) != 0) {
                ADD_FAILURE() << "channel " << ch + 1 << " frame " << f << " differs";
                break;
            }
        }
    }
}

}  // namespace

TEST(RigLoop, ExactDelaysBitExactInEveryFormatAndAccess) {
    const std::string text = "pcm.t { type rig latency 100 delay 37 }";
    for (snd_pcm_format_t f : {SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S32_LE,
                               SND_PCM_FORMAT_FLOAT_LE})
        for (snd_pcm_access_t a :
             {SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_ACCESS_RW_INTERLEAVED}) {
            StreamSetup s;
            s.format = f;
            s.access = a;
            s.period = 256;
            expectLoop("t", text, s, 100, 137);
        }
}

TEST(RigLoop, FlatRigFromConfHasTheDefaultLatencyOnBothChannels) {
    StreamSetup s;  // the measurement's own configuration
    expectLoop("rig", "", s, rigDefaultLatency, rigDefaultLatency);
    s.access = SND_PCM_ACCESS_RW_INTERLEAVED;
    expectLoop("rig_interleaved", "", s, rigDefaultLatency, rigDefaultLatency);
}

TEST(RigLoop, InterleavedOnlyDeviceRefusesNonInterleavedAccess) {
    Pair p;
    ASSERT_EQ(openDevice(&p.playback, "rig_interleaved", SND_PCM_STREAM_PLAYBACK), 0);
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(p.playback, hw);
    EXPECT_LT(snd_pcm_hw_params_set_access(p.playback, hw, SND_PCM_ACCESS_RW_NONINTERLEAVED), 0);
    EXPECT_EQ(snd_pcm_hw_params_set_access(p.playback, hw, SND_PCM_ACCESS_RW_INTERLEAVED), 0);
}

TEST(RigLoop, MonoStreamsLoopChannelOne) {
    StreamSetup s;
    s.channels = 1;
    s.period = 128;
    s.format = SND_PCM_FORMAT_S16_LE;
    Pair p;
    const std::string text = "pcm.m { type rig latency 5 delay 3 }";
    ASSERT_EQ(openText(&p.playback, text, "m", SND_PCM_STREAM_PLAYBACK), 0);
    ASSERT_EQ(configure(p.playback, s), 0);
    ASSERT_EQ(openText(&p.capture, text, "m", SND_PCM_STREAM_CAPTURE), 0);
    ASSERT_EQ(configure(p.capture, s), 0);
    std::vector<unsigned char> play(2 * 512), rec(2 * 512);
    for (std::size_t f = 0; f < 512; ++f)
        play[2 * f] = static_cast<unsigned char>(f), play[2 * f + 1] = 0x10;
    ASSERT_TRUE(duplex(p.playback, p.capture, s, play, rec, 512));
    EXPECT_EQ(rec[0], 0);
    EXPECT_EQ(rec[2 * 7 + 1], 0);
    EXPECT_EQ(rec[2 * 8], play[0]);
    EXPECT_EQ(rec[2 * 8 + 1], 0x10);
    EXPECT_EQ(rec[2 * 500], play[2 * 492]);
}

TEST(RigLoop, CaptureOfFramesNeverPlayedIsSilence) {
    Pair p;
    StreamSetup s;
    ASSERT_EQ(openDevice(&p.capture, "rig", SND_PCM_STREAM_CAPTURE), 0);
    ASSERT_EQ(configure(p.capture, s), 0);
    std::vector<unsigned char> rec(6 * 1024, 0x55);
    void* r[2] = {rec.data(), rec.data() + 3 * 1024};
    ASSERT_EQ(snd_pcm_readn(p.capture, r, 1024), 1024);
    EXPECT_EQ(std::vector<unsigned char>(rec.size(), 0), rec);
}

TEST(RigLoop, PulledCableSilencesChannelTwoOnly) {
    std::vector<float> a(4096), b(4096), ca, cb;
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = b[i] = 0.5f * std::sin(0.01f * i);
    ASSERT_TRUE(duplexFloat("pcm.nc { type rig cable false latency 10 }", "nc", a, b, ca, cb));
    for (float v : cb) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(ca[1000], a[990]);
}

TEST(RigLoop, DeviceNamesAreSeparateLoopsAndEachDirectionOpensOnce) {
    Pair p, q;
    ASSERT_EQ(openDevice(&p.playback, "rig", SND_PCM_STREAM_PLAYBACK), 0);
    EXPECT_EQ(openDevice(&q.playback, "rig", SND_PCM_STREAM_PLAYBACK), -EBUSY);
    ASSERT_EQ(openDevice(&q.playback, "rig_nocable", SND_PCM_STREAM_PLAYBACK), 0);
    StreamSetup s;
    s.format = SND_PCM_FORMAT_S16_LE;
    ASSERT_EQ(configure(p.playback, s), 0);
    ASSERT_EQ(openDevice(&q.capture, "rig_nocable", SND_PCM_STREAM_CAPTURE), 0);
    ASSERT_EQ(configure(q.capture, s), 0);
    // Loud on "rig", read back on "rig_nocable": nothing arrives.
    std::vector<unsigned char> play(4 * 1024, 0x40), rec(4 * 1024, 0x11);
    ASSERT_TRUE(duplex(p.playback, q.capture, s, play, rec, 1024));
    EXPECT_EQ(std::vector<unsigned char>(rec.size(), 0), rec);
}

TEST(RigLoop, OutOfRangeFloatSamplesAreClippedOrSilencedOnIntegerCapture) {
    Pair p;
    const std::string text = "pcm.h { type rig latency 0 }";
    StreamSetup fs;
    fs.format = SND_PCM_FORMAT_FLOAT_LE;
    fs.access = SND_PCM_ACCESS_RW_INTERLEAVED;
    fs.channels = 1;
    fs.period = 64;
    StreamSetup is = fs;
    is.format = SND_PCM_FORMAT_S16_LE;
    ASSERT_EQ(openText(&p.playback, text, "h", SND_PCM_STREAM_PLAYBACK), 0);
    ASSERT_EQ(configure(p.playback, fs), 0);
    ASSERT_EQ(openText(&p.capture, text, "h", SND_PCM_STREAM_CAPTURE), 0);
    ASSERT_EQ(configure(p.capture, is), 0);
    const float in[8] = {2.0f, -3.0f, NAN, INFINITY, -INFINITY, 0.5f, -1.0f, 1e30f};
    const std::int16_t want[8] = {32767, -32768, 0, 32767, -32768, 16384, -32768, 32767};
    std::vector<float> play(64, 0.0f);
    std::copy(in, in + 8, play.begin());
    std::vector<std::int16_t> rec(64, 99);
    snd_pcm_prepare(p.playback);
    snd_pcm_prepare(p.capture);
    ASSERT_EQ(snd_pcm_writei(p.playback, play.data(), 64), 64);
    ASSERT_EQ(snd_pcm_readi(p.capture, rec.data(), 64), 64);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(rec[i], want[i]) << "sample " << i;
    // The NaN did not poison the room: later samples are still exact.
    ASSERT_EQ(snd_pcm_writei(p.playback, play.data(), 64), 64);
    ASSERT_EQ(snd_pcm_readi(p.capture, rec.data(), 64), 64);
    EXPECT_EQ(rec[5], 16384);
}
