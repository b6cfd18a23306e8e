// Faults on demand give the ALSA error they promise at the call they promise,
// and a device description with an unknown field or a bad value is refused at
// open with a message naming it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <sndfile.h>

#include "rig_test_util.h"

using namespace rigtest;

namespace {

// Opens both directions of `name` and configures them like the measurement.
struct Opened {
    snd_pcm_t* playback = nullptr;
    snd_pcm_t* capture = nullptr;
    int openPlayback = 0, paramsPlayback = 0, openCapture = 0, paramsCapture = 0;
    snd_pcm_uframes_t period = 0, capturePeriod = 0;
    explicit Opened(const char* name) {
        StreamSetup s;
        openPlayback = openDevice(&playback, name, SND_PCM_STREAM_PLAYBACK);
        if (openPlayback < 0) return;
        paramsPlayback = configure(playback, s, &period);
        openCapture = openDevice(&capture, name, SND_PCM_STREAM_CAPTURE);
        if (openCapture < 0) return;
        s.period = period;
        paramsCapture = configure(capture, s, &capturePeriod);
    }
    ~Opened() {
        if (capture != nullptr && openCapture == 0) snd_pcm_close(capture);
        if (playback != nullptr && openPlayback == 0) snd_pcm_close(playback);
    }
};

int setFormat(snd_pcm_t* pcm) {
    snd_pcm_hw_params_t* p = nullptr;
    snd_pcm_hw_params_alloca(&p);
    snd_pcm_hw_params_any(pcm, p);
    return snd_pcm_hw_params_set_format(pcm, p, SND_PCM_FORMAT_S24_3LE);
}

}  // namespace

TEST(RigFaults, FlatRigOpensAndConfiguresBothStreams) {
    Opened o("rig");
    EXPECT_EQ(o.openPlayback, 0);
    EXPECT_EQ(o.paramsPlayback, 0);
    EXPECT_EQ(o.openCapture, 0);
    EXPECT_EQ(o.paramsCapture, 0);
    EXPECT_EQ(o.period, 1024u);
}

TEST(RigFaults, NoCaptureRefusesOnlyTheCaptureOpen) {
    Opened o("rig_nocapture");
    EXPECT_EQ(o.openPlayback, 0);
    EXPECT_EQ(o.paramsPlayback, 0);
    EXPECT_EQ(o.openCapture, -ENODEV);
}

TEST(RigFaults, BadFormatRefusesS24OnItsDirectionOnly) {
    snd_pcm_t* pcm = nullptr;
    ASSERT_EQ(openDevice(&pcm, "rig_badformat_play", SND_PCM_STREAM_PLAYBACK), 0);
    EXPECT_EQ(setFormat(pcm), -EINVAL);
    snd_pcm_close(pcm);
    ASSERT_EQ(openDevice(&pcm, "rig_badformat_play", SND_PCM_STREAM_CAPTURE), 0);
    EXPECT_EQ(setFormat(pcm), 0);
    snd_pcm_close(pcm);
    ASSERT_EQ(openDevice(&pcm, "rig_badformat_rec", SND_PCM_STREAM_PLAYBACK), 0);
    EXPECT_EQ(setFormat(pcm), 0);
    snd_pcm_close(pcm);
    ASSERT_EQ(openDevice(&pcm, "rig_badformat_rec", SND_PCM_STREAM_CAPTURE), 0);
    EXPECT_EQ(setFormat(pcm), -EINVAL);
    snd_pcm_close(pcm);
}

TEST(RigFaults, BadParamsRefusesHwParamsOfItsDirectionOnly) {
    Opened play("rig_badparams_play");
    EXPECT_EQ(play.paramsPlayback, -EINVAL);
    EXPECT_EQ(play.paramsCapture, 0);
    Opened rec("rig_badparams_rec");
    EXPECT_EQ(rec.paramsPlayback, 0);
    EXPECT_EQ(rec.paramsCapture, -EINVAL);
}

TEST(RigFaults, Period512IsGrantedWhatever1024IsAsked) {
    Opened o("rig_period512");
    EXPECT_EQ(o.paramsPlayback, 0);
    EXPECT_EQ(o.period, 512u);
    EXPECT_EQ(o.paramsCapture, 0);
    EXPECT_EQ(o.capturePeriod, 512u);
    snd_pcm_t* pcm = nullptr;
    const std::string text = "pcm.gp { type rig grant_period 300 }";
    for (snd_pcm_uframes_t ask : {64ul, 300ul, 4000ul}) {
        ASSERT_EQ(openText(&pcm, text, "gp", SND_PCM_STREAM_PLAYBACK), 0);
        StreamSetup s;
        s.period = ask;
        snd_pcm_uframes_t got = 0;
        EXPECT_EQ(configure(pcm, s, &got), 0);
        EXPECT_EQ(got, 300u) << "asked " << ask;
        snd_pcm_close(pcm);
    }
}

// The xrun devices fail chunk 100 of their direction once; the chunk is lost
// and the following ones stay in place on the loop.
TEST(RigFaults, XrunOnChunk100ThenTheStreamGoesOnInPlace) {
    for (bool onPlayback : {true, false}) {
        Opened o(onPlayback ? "rig_xrun_play" : "rig_xrun_rec");
        ASSERT_EQ(o.paramsCapture, 0);
        const std::size_t P = o.period;
        snd_pcm_drain(o.playback);
        snd_pcm_drain(o.capture);
        snd_pcm_prepare(o.capture);
        snd_pcm_prepare(o.playback);
        std::vector<unsigned char> play(6 * P), rec(6 * P);
        int failures = 0;
        for (std::size_t k = 0; k < 110; ++k) {
            for (std::size_t i = 0; i < play.size(); ++i)
                play[i] = static_cast<unsigned char>(k + 1);
            void* w[2] = {play.data(), play.data() + 3 * P};
            void* r[2] = {rec.data(), rec.data() + 3 * P};
            const snd_pcm_sframes_t wr = snd_pcm_writen(o.playback, w, P);
            const bool writeFails = onPlayback && k == 100;
            EXPECT_EQ(wr, writeFails ? -EPIPE : static_cast<snd_pcm_sframes_t>(P)) << "write " << k;
            if (wr == -EPIPE) {
                EXPECT_EQ(snd_pcm_state(o.playback), SND_PCM_STATE_XRUN);
                snd_pcm_prepare(o.playback), ++failures;
            }
            std::memset(rec.data(), 0xEE, rec.size());
            const snd_pcm_sframes_t rd = snd_pcm_readn(o.capture, r, P);
            const bool readFails = !onPlayback && k == 100;
            EXPECT_EQ(rd, readFails ? -EPIPE : static_cast<snd_pcm_sframes_t>(P)) << "read " << k;
            if (rd == -EPIPE) {
                EXPECT_EQ(snd_pcm_state(o.capture), SND_PCM_STATE_XRUN);
                snd_pcm_prepare(o.capture), ++failures;
                continue;
            }
            // Frame k·P + 300 of the capture is frame k·P of the playback: the last
            // 300 frames of this chunk come from chunk k, the first from chunk k-1.
            const unsigned char played = static_cast<unsigned char>(k + 1);
            const unsigned char expect = onPlayback && k == 100 ? 0 : played;
            EXPECT_EQ(rec[P - 1], expect) << "chunk " << k;
            EXPECT_EQ(rec[3 * P + P - 1], expect) << "chunk " << k;
        }
        EXPECT_EQ(failures, 1);
    }
}

TEST(RigFaults, UnknownFieldsAndBadValuesAreRefusedAtOpenByName) {
    const std::string missing = ::testing::TempDir() + "rig_no_such_file.wav";
    const std::string garbage = ::testing::TempDir() + "rig_garbage.wav";
    const std::string liar = ::testing::TempDir() + "rig_liar.wav";
    const std::string headerOnly = ::testing::TempDir() + "rig_header_only.wav";
    const std::string tooLong = ::testing::TempDir() + "rig_too_long.flac";
    const std::string notANumber = ::testing::TempDir() + "rig_nan.wav";
    {
        // One sample beyond the longest response; a NaN among floats.
        std::vector<double> v(480001, 0.0);
        v[0] = 0.5;
        ASSERT_TRUE(writeAudio(tooLong, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, v));
        v.assign(10, 0.25);
        v[7] = NAN;
        ASSERT_TRUE(writeAudio(notANumber, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, v));
        std::FILE* f = std::fopen(garbage.c_str(), "wb");
        std::fputs("RIFF\x04\0\0\0WAVEjunk", f);
        std::fclose(f);
        // A header that claims 4 GiB of 24-bit samples but holds two.
        const unsigned char h[] = {'R',  'I',  'F',  'F',  0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A',
                                   'V',  'E',  'f',  'm',  't',  ' ',  16,   0,    0,   0,
                                   1,    0,    1,    0,    0x80, 0xBB, 0,    0,    0,   0,
                                   0,    0,    3,    0,    24,   0,    'd',  'a',  't', 'a',
                                   0xFF, 0xFF, 0xFF, 0xFF, 1,    2,    3,    4,    5,   6};
        f = std::fopen(liar.c_str(), "wb");
        std::fwrite(h, 1, sizeof h, f);
        std::fclose(f);
        // The file ends right after the data chunk's header: no sample at all.
        f = std::fopen(headerOnly.c_str(), "wb");
        std::fwrite(h, 1, sizeof h - 6, f);
        std::fclose(f);
    }
    const struct {
        std::string fields;
        const char* named;
    } cases[] = {
        {"colour blue", "colour"},
        {"latency -1", "latency"},
        {"latency 99999999999", "latency"},
        {"latency 2.5", "latency"},
        {"latency \"soon\"", "latency"},
        {"delay 1048577", "delay"},
        {"gain 1e300", "gain"},
        {"gain nan", "gain"},
        {"noise 3", "noise"},
        {"seed \"x\"", "seed"},
        {"realtime perhaps", "realtime"},
        {"cable 2", "cable"},
        {"access mmap", "access"},
        {"fail_format both", "fail_format"},
        {"fail_params 1", "fail_params"},
        {"fail_open_capture yes_please", "fail_open_capture"},
        {"grant_period 0", "grant_period"},
        {"grant_period 1000000", "grant_period"},
        {"xrun_playback -3", "xrun_playback"},
        {"xrun_capture 1e9", "xrun_capture"},
        {"filters 3", "filters"},
        {"filters [ { type notch freq 100 } ]", "filters.type"},
        {"filters [ { type peaking } ]", "filters.freq"},
        {"filters [ { freq 100 } ]", "filters.type"},
        {"filters [ { type lowpass freq 0 } ]", "filters.freq"},
        {"filters [ { type lowpass freq 500000 } ]", "filters.freq"},
        // Half the highest rate: no rate could carry it.
        {"filters [ { type lowpass freq 384000 } ]", "filters.freq"},
        {"filters [ { type lowpass freq 100 q 0 } ]", "filters.q"},
        {"filters [ { type peaking freq 100 gain 90 } ]", "filters.gain"},
        {"filters [ { type peaking freq 100 width 3 } ]", "filters.0.width"},
        {"ir \"" + missing + "\"", "field ir"},
        {"ir \"" + garbage + "\"", "field ir"},
        {"ir \"" + headerOnly + "\"", "field ir"},
        {"ir \"" + tooLong + "\"", "field ir"},
        {"ir \"" + notANumber + "\"", "field ir"},
        {"ir 3", "field ir"},
        {"room nice", "field room"},
        {"room typical colour blue", "colour"},
    };
    for (const auto& c : cases) {
        ErrorCapture errors;
        snd_pcm_t* pcm = nullptr;
        const int err =
            openText(&pcm, "pcm.bad { type rig " + c.fields + " }", "bad", SND_PCM_STREAM_PLAYBACK);
        EXPECT_EQ(err, -EINVAL) << c.fields;
        EXPECT_NE(ErrorCapture::text.find(c.named), std::string::npos)
            << c.fields << ": " << ErrorCapture::text;
        if (err == 0) snd_pcm_close(pcm);
    }
    // A data chunk that claims more than the file holds keeps the samples that
    // are there, like a recording cut short.
    snd_pcm_t* pcm = nullptr;
    ASSERT_EQ(
        openText(&pcm, "pcm.cut { type rig ir \"" + liar + "\" }", "cut", SND_PCM_STREAM_PLAYBACK),
        0);
    snd_pcm_close(pcm);
}

TEST(RigFaults, RateIsSharedByTheTwoStreamsOfALoop) {
    snd_pcm_t* pl = nullptr;
    snd_pcm_t* cp = nullptr;
    ASSERT_EQ(openDevice(&pl, "rig", SND_PCM_STREAM_PLAYBACK), 0);
    StreamSetup s;
    s.rate = 44100;
    ASSERT_EQ(configure(pl, s), 0);
    ASSERT_EQ(openDevice(&cp, "rig", SND_PCM_STREAM_CAPTURE), 0);
    snd_pcm_hw_params_t* p = nullptr;
    snd_pcm_hw_params_alloca(&p);
    snd_pcm_hw_params_any(cp, p);
    unsigned rate = 48000;
    snd_pcm_hw_params_set_rate_near(cp, p, &rate, nullptr);
    EXPECT_EQ(rate, 44100u);
    snd_pcm_close(cp);
    snd_pcm_close(pl);
}
