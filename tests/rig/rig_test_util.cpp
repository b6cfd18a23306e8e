#include "rig_test_util.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sndfile.h>

namespace rigtest {

namespace {

// alsa-lib reads ALSA_CONFIG_PATH once its configuration is first needed;
// the process-wide state is released at the end so LeakSanitizer sees only
// what the plugin and the tests allocate.
struct AlsaEnvironment : ::testing::Environment {
    void SetUp() override { setenv("ALSA_CONFIG_PATH", RIG_CONF, 1); }
    void TearDown() override { snd_config_update_free_global(); }
};
const auto* environment = ::testing::AddGlobalTestEnvironment(new AlsaEnvironment);

void collect(const char* file, int line, const char* function, int err, const char* fmt, ...) {
    (void)file, (void)line, (void)function, (void)err;
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    ErrorCapture::text += buffer;
    ErrorCapture::text += "\n";
}

}  // namespace

std::string ErrorCapture::text;
ErrorCapture::ErrorCapture() {
    text.clear();
    snd_lib_error_set_handler(collect);
}
ErrorCapture::~ErrorCapture() {
    snd_lib_error_set_handler(nullptr);
}

int openDevice(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream) {
    return snd_pcm_open(pcm, name, stream, 0);
}

int openText(snd_pcm_t** pcm, const std::string& deviceText, const char* name,
             snd_pcm_stream_t stream) {
    const std::string text =
        std::string("pcm_type.rig { lib \"") + RIG_PLUGIN + "\" }\n" + deviceText + "\n";
    snd_config_t* conf = nullptr;
    snd_input_t* in = nullptr;
    int err = snd_config_top(&conf);
    if (err < 0) return err;
    err = snd_input_buffer_open(&in, text.data(), static_cast<ssize_t>(text.size()));
    if (err >= 0) {
        err = snd_config_load(conf, in);
        snd_input_close(in);
    }
    if (err >= 0) err = snd_pcm_open_lconf(pcm, name, stream, 0, conf);
    snd_config_delete(conf);
    return err;
}

int configure(snd_pcm_t* pcm, const StreamSetup& s, snd_pcm_uframes_t* grantedPeriod) {
    snd_pcm_hw_params_t* p = nullptr;
    snd_pcm_hw_params_alloca(&p);
    snd_pcm_hw_params_any(pcm, p);
    int err = snd_pcm_hw_params_set_access(pcm, p, s.access);
    if (err < 0) return err;
    err = snd_pcm_hw_params_set_format(pcm, p, s.format);
    if (err < 0) return err;
    err = snd_pcm_hw_params_set_channels(pcm, p, s.channels);
    if (err < 0) return err;
    unsigned rate = s.rate;
    snd_pcm_hw_params_set_rate_near(pcm, p, &rate, nullptr);
    snd_pcm_uframes_t period = s.period, buffer = s.buffer;
    snd_pcm_hw_params_set_period_size_near(pcm, p, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, p, &buffer);
    err = snd_pcm_hw_params(pcm, p);
    if (err >= 0 && grantedPeriod != nullptr)
        snd_pcm_hw_params_get_period_size(p, grantedPeriod, nullptr);
    return err;
}

std::size_t offsetOf(const StreamSetup& s, unsigned channel, std::size_t frame,
                     std::size_t frames) {
    const std::size_t bytes = static_cast<std::size_t>(snd_pcm_format_physical_width(s.format)) / 8;
    if (s.access == SND_PCM_ACCESS_RW_INTERLEAVED) return (frame * s.channels + channel) * bytes;
    return (channel * frames + frame) * bytes;
}

bool duplex(snd_pcm_t* playback, snd_pcm_t* capture, const StreamSetup& s,
            const std::vector<unsigned char>& play, std::vector<unsigned char>& rec,
            std::size_t frames) {
    snd_pcm_drain(playback);
    snd_pcm_drain(capture);
    snd_pcm_prepare(capture);
    snd_pcm_prepare(playback);
    bool ok = true;
    for (std::size_t at = 0; at < frames; at += s.period) {
        const std::size_t n = std::min<std::size_t>(s.period, frames - at);
        snd_pcm_sframes_t w = 0, r = 0;
        if (s.access == SND_PCM_ACCESS_RW_INTERLEAVED) {
            w = snd_pcm_writei(playback, &play[offsetOf(s, 0, at, frames)], n);
            r = snd_pcm_readi(capture, &rec[offsetOf(s, 0, at, frames)], n);
        } else {
            void* wp[2] = {const_cast<unsigned char*>(&play[offsetOf(s, 0, at, frames)]), nullptr};
            void* rp[2] = {&rec[offsetOf(s, 0, at, frames)], nullptr};
            if (s.channels > 1) {
                wp[1] = const_cast<unsigned char*>(&play[offsetOf(s, 1, at, frames)]);
                rp[1] = &rec[offsetOf(s, 1, at, frames)];
            }
            w = snd_pcm_writen(playback, wp, n);
            r = snd_pcm_readn(capture, rp, n);
        }
        ok = ok && w == static_cast<snd_pcm_sframes_t>(n) && r == static_cast<snd_pcm_sframes_t>(n);
    }
    snd_pcm_drain(playback);
    snd_pcm_drain(capture);
    return ok;
}

bool duplexFloat(const std::string& text, const char* name, const std::vector<float>& ch1,
                 const std::vector<float>& ch2, std::vector<float>& out1,
                 std::vector<float>& out2) {
    snd_pcm_t* pl = nullptr;
    snd_pcm_t* cp = nullptr;
    auto open = [&](snd_pcm_t** pcm, snd_pcm_stream_t st) {
        return text.empty() ? openDevice(pcm, name, st) : openText(pcm, text, name, st);
    };
    if (open(&pl, SND_PCM_STREAM_PLAYBACK) < 0) return false;
    StreamSetup s;
    s.format = SND_PCM_FORMAT_FLOAT_LE;
    s.period = 1024;
    bool ok =
        configure(pl, s) >= 0 && open(&cp, SND_PCM_STREAM_CAPTURE) >= 0 && configure(cp, s) >= 0;
    const std::size_t frames = ch1.size();
    if (ok) {
        std::vector<unsigned char> play(frames * 8), rec(frames * 8);
        std::memcpy(play.data(), ch1.data(), frames * 4);
        std::memcpy(play.data() + frames * 4, ch2.data(), frames * 4);
        ok = duplex(pl, cp, s, play, rec, frames);
        out1.resize(frames);
        out2.resize(frames);
        std::memcpy(out1.data(), rec.data(), frames * 4);
        std::memcpy(out2.data(), rec.data() + frames * 4, frames * 4);
    }
    if (cp != nullptr) snd_pcm_close(cp);
    snd_pcm_close(pl);
    return ok;
}

bool writeAudio(const std::string& path, int format, int rate, int channels,
                const std::vector<double>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return false;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    const bool ok = sf_writef_double(f, samples.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

}  // namespace rigtest
