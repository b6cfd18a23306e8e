#pragma once

// Helpers for driving the simulated rig through alsa-lib, as a program would:
// devices by name from rig.conf, or from a configuration text of the test's
// own (opened with snd_pcm_open_lconf).

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rigtest {

// Opens `name` from rig.conf. Returns the ALSA result.
int openDevice(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream);

// Opens device `name` defined in `deviceText` (ALSA configuration, e.g.
// "pcm.t { type rig latency 10 }"); the rig's plugin is declared for it.
int openText(snd_pcm_t** pcm, const std::string& deviceText, const char* name,
             snd_pcm_stream_t stream);

struct StreamSetup {
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_NONINTERLEAVED;
    snd_pcm_format_t format = SND_PCM_FORMAT_S24_3LE;
    unsigned channels = 2;
    unsigned rate = 48000;
    snd_pcm_uframes_t period = 1024;
    snd_pcm_uframes_t buffer = 4096;
};

// The measurement's configuration sequence. Returns the snd_pcm_hw_params
// result; *grantedPeriod receives the installed period.
int configure(snd_pcm_t* pcm, const StreamSetup& s, snd_pcm_uframes_t* grantedPeriod = nullptr);

// Plays `play` and captures as many frames into `rec`, one period each way
// per pass, after drain/prepare, then drains. Buffers hold `channels` blocks
// of frames × bytes-per-sample each (non-interleaved) or interleaved frames,
// as the access says. Returns false if any call failed.
bool duplex(snd_pcm_t* playback, snd_pcm_t* capture, const StreamSetup& s,
            const std::vector<unsigned char>& play, std::vector<unsigned char>& rec,
            std::size_t frames);

// Byte offset of (channel, frame) in a buffer of `frames` frames.
std::size_t offsetOf(const StreamSetup& s, unsigned channel, std::size_t frame, std::size_t frames);

// Plays mono-per-channel float signals through a FLOAT_LE duplex of `text`
// device `name` (from rig.conf when `text` is empty) and returns the
// captured channels (frames each).
bool duplexFloat(const std::string& text, const char* name, const std::vector<float>& ch1,
                 const std::vector<float>& ch2, std::vector<float>& out1, std::vector<float>& out2);

// Writes `channels` interleaved channels of samples (frames × channels) to
// path through libsndfile in `format` (SF_FORMAT_* major | subtype).
// Returns false when libsndfile refuses.
bool writeAudio(const std::string& path, int format, int rate, int channels,
                const std::vector<double>& samples);

// Collects alsa-lib's error messages while alive.
struct ErrorCapture {
    ErrorCapture();
    ~ErrorCapture();
    static std::string text;
};

}  // namespace rigtest
