#include "audio/play_rec.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>

namespace {

constexpr snd_pcm_uframes_t kPeriodRequest = 1024;
constexpr snd_pcm_uframes_t kBufferRequest = 4096;
constexpr int kChannels = 2;
constexpr int kSampleBytes = 3;

// Longest the close-down waits for the playback to play out its queue, on
// top of the queue's own time.
constexpr double kDrainMarginSeconds = 0.5;
// A queue reported longer than this is not believed.
constexpr double kLongestQueueSeconds = 10.0;

// The texts of the fatal setup failures, per stream.
struct SetupTexts {
    const char* open;
    const char* format;
    const char* params;
    std::FILE* paramsStream;
};

// Keeps alsa-lib's own diagnostics off standard error, which carries only
// the messages of the setup failures below.
void IgnoreAlsaDiagnostic(const char*, int, const char*, int, const char*, ...) {}

// Prints the message of a setup failure and ends the process.
[[noreturn]] void FailSetup(std::FILE* stream, const char* format, int error) {
    std::fflush(stdout);
    std::fprintf(stream, format, snd_strerror(error));
    std::fflush(stream);
    std::exit(1);
}

struct Stream {
    snd_pcm_t* pcm = nullptr;
    bool interleaved = false;
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
};

// Opens deviceName in one direction and installs the run's configuration,
// asking for periodRequest frames per period. Ends the process when the
// device cannot be opened, refuses the format or refuses the configuration.
Stream OpenStream(const char* deviceName, snd_pcm_stream_t direction, int channelCount,
                  std::uint32_t rate, snd_pcm_uframes_t periodRequest, const SetupTexts& texts) {
    Stream stream;
    int error = snd_pcm_open(&stream.pcm, deviceName, direction, 0);
    if (error < 0) FailSetup(stderr, texts.open, error);

    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);  // sized by snd_pcm_hw_params_sizeof, zero-filled
    snd_pcm_hw_params_any(stream.pcm, params);
    // Devices such as the sound server's plugin offer interleaved access
    // only; the transfer then interleaves each chunk through a buffer.
    if (snd_pcm_hw_params_set_access(stream.pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) < 0) {
        stream.interleaved = true;
        snd_pcm_hw_params_set_access(stream.pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    }
    error = snd_pcm_hw_params_set_format(stream.pcm, params, SND_PCM_FORMAT_S24_3LE);
    if (error < 0) FailSetup(stderr, texts.format, error);
    // The transfer hands the device exactly channelCount channels a frame; a
    // device that cannot take that many cannot be configured for it.
    error = snd_pcm_hw_params_set_channels(stream.pcm, params, static_cast<unsigned>(channelCount));
    if (error < 0) FailSetup(texts.paramsStream, texts.params, error);
    // The sweep, the pulse and the band edges are all made for `rate`: a
    // device running at another rate would put every band at the wrong
    // frequency, so it cannot be configured for a measurement.
    unsigned int grantedRate = rate;
    error = snd_pcm_hw_params_set_rate_near(stream.pcm, params, &grantedRate, nullptr);
    if (error >= 0 && grantedRate != rate) {
        std::fflush(stdout);
        std::fprintf(texts.paramsStream,
                     "The device runs at %u Hz, not at the %u Hz a measurement needs.\n",
                     grantedRate, rate);
        error = -EINVAL;
    }
    if (error < 0) FailSetup(texts.paramsStream, texts.params, error);
    snd_pcm_uframes_t period = periodRequest;
    snd_pcm_hw_params_set_period_size_near(stream.pcm, params, &period, nullptr);
    snd_pcm_uframes_t buffer = kBufferRequest;
    snd_pcm_hw_params_set_buffer_size_near(stream.pcm, params, &buffer);
    error = snd_pcm_hw_params(stream.pcm, params);
    if (error < 0) FailSetup(texts.paramsStream, texts.params, error);

    if (snd_pcm_hw_params_get_period_size(params, &stream.period, nullptr) < 0) stream.period = 0;
    if (snd_pcm_hw_params_get_buffer_size(params, &stream.buffer) < 0) stream.buffer = 0;
    return stream;
}

// Lets the playback play out what it still holds, but only for the time
// that queue needs plus a margin; whatever is left then is dropped. The
// stream is back in blocking mode afterwards.
void DrainPlayback(snd_pcm_t* pcm, std::uint32_t rate) {
    snd_pcm_sframes_t queued = 0;
    if (snd_pcm_delay(pcm, &queued) < 0 || queued < 0) queued = 0;
    double seconds = rate > 0 ? static_cast<double>(queued) / rate : 0.0;
    if (seconds > kLongestQueueSeconds) seconds = kLongestQueueSeconds;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(seconds + kDrainMarginSeconds);

    snd_pcm_nonblock(pcm, 1);
    if (snd_pcm_drain(pcm) == -EAGAIN) {
        while (snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    snd_pcm_drop(pcm);
    snd_pcm_nonblock(pcm, 0);
}

// Checks that the two channel blocks of frameCount samples fit the buffers.
bool BuffersFit(std::int64_t frameCount, std::int64_t channelStride, std::size_t playSize,
                std::size_t recordSize) {
    if (frameCount < 0 || channelStride < 0) return false;
    if (frameCount > std::numeric_limits<std::int64_t>::max() / (2 * kSampleBytes)) return false;
    const std::int64_t block = frameCount * kSampleBytes;
    if (channelStride < block) return false;
    if (channelStride > std::numeric_limits<std::int64_t>::max() - block) return false;
    const auto needed = static_cast<std::uint64_t>(channelStride + block);
    return needed <= playSize && needed <= recordSize;
}

// The passes: one period of both channels per write and per read.
struct Transfer {
    Stream& playback;
    Stream& capture;
    const std::int8_t* play;
    std::int8_t* record;
    std::int64_t frameCount;
    std::int64_t stride;
    std::int64_t chunk;   // P
    std::int8_t* frames;  // period-sized buffer for interleaved streams (may be null)
    TransferReport& report;
    std::int64_t writePosition = 0;
    std::int64_t readPosition = 0;

    bool MoreToWrite() const { return writePosition + chunk < frameCount; }
    bool MoreToRead() const { return readPosition + chunk < frameCount; }

    // Writes the chunk at the write position; returns false on an underrun,
    // after which the stream has been prepared again.
    bool WriteChunk() {
        const std::int64_t at = writePosition;
        writePosition += chunk;
        ++report.writes;
        const auto frameCountArg = static_cast<snd_pcm_uframes_t>(chunk);
        snd_pcm_sframes_t written;
        if (playback.interleaved) {
            for (std::int64_t f = 0; f < chunk; ++f) {
                for (int c = 0; c < kChannels; ++c) {
                    std::memcpy(frames + (f * kChannels + c) * kSampleBytes,
                                play + c * stride + (at + f) * kSampleBytes, kSampleBytes);
                }
            }
            written = snd_pcm_writei(playback.pcm, frames, frameCountArg);
        } else {
            void* channels[kChannels] = {
                const_cast<std::int8_t*>(play + at * kSampleBytes),
                const_cast<std::int8_t*>(play + stride + at * kSampleBytes)};
            written = snd_pcm_writen(playback.pcm, channels, frameCountArg);
        }
        if (written == -EPIPE) {
            RecordTransferEvent(report, TransferFault::PlaybackUnderrun, at, at + chunk);
            snd_pcm_prepare(playback.pcm);
            return false;
        }
        if (written < 0) {
            RecordTransferEvent(report, TransferFault::PlaybackFailed, at, at + chunk);
        } else if (written < chunk) {
            RecordTransferEvent(report, TransferFault::PlaybackShort, at + written, at + chunk);
        }
        return true;
    }

    // Reads the chunk at the read position into the capture blocks.
    void ReadChunk() {
        const std::int64_t at = readPosition;
        readPosition += chunk;
        ++report.reads;
        const auto frameCountArg = static_cast<snd_pcm_uframes_t>(chunk);
        snd_pcm_sframes_t got;
        if (capture.interleaved) {
            got = snd_pcm_readi(capture.pcm, frames, frameCountArg);
            for (std::int64_t f = 0; f < got; ++f) {
                for (int c = 0; c < kChannels; ++c) {
                    std::memcpy(record + c * stride + (at + f) * kSampleBytes,
                                frames + (f * kChannels + c) * kSampleBytes, kSampleBytes);
                }
            }
        } else {
            void* channels[kChannels] = {record + at * kSampleBytes,
                                         record + stride + at * kSampleBytes};
            got = snd_pcm_readn(capture.pcm, channels, frameCountArg);
        }
        if (got == -EPIPE) {
            RecordTransferEvent(report, TransferFault::CaptureOverrun, at, at + chunk);
            snd_pcm_prepare(capture.pcm);
        } else if (got < 0) {
            RecordTransferEvent(report, TransferFault::CaptureFailed, at, at + chunk);
        } else if (got < chunk) {
            RecordTransferEvent(report, TransferFault::CaptureShort, at + got, at + chunk);
        }
    }

    // Writes whole chunks until the device buffer holds fillChunks of them
    // (or the run has none left), starting over after an underrun.
    void FillPlayback(std::int64_t fillChunks) {
        for (std::int64_t filled = 0; filled < fillChunks && MoreToWrite();) {
            filled = WriteChunk() ? filled + 1 : 0;
        }
    }

    // Keeps the playback ahead: a full device buffer before the first read,
    // then one write and one read per pass, and the buffer filled anew
    // after every underrun before reading on.
    void Run(std::int64_t fillChunks) {
        FillPlayback(fillChunks);
        while (MoreToRead()) {
            if (MoreToWrite() && !WriteChunk()) FillPlayback(fillChunks);
            ReadChunk();
        }
    }
};

}  // namespace

void RecordTransferEvent(TransferReport& report, TransferFault fault, std::int64_t begin,
                         std::int64_t end) {
    if (report.stored < TransferReport::kCapacity) {
        report.events[report.stored] = TransferEvent{fault, begin, end};
        ++report.stored;
    }
    ++report.total;
}

void PLAY_REC(int channelCount, int mode, const char* deviceName, std::uint32_t rate,
              std::int64_t frameCount, std::span<const std::int8_t> playBytes,
              std::span<std::int8_t> recordBytes, int bytesPerSample, std::int64_t channelStride,
              TransferReport& report) {
    report = TransferReport{};
    if (channelCount != kChannels) {
        std::printf("The sound device transfer handles 2 channels, not %d.\n", channelCount);
        report.refused = true;
        return;
    }
    if (bytesPerSample != kSampleBytes || deviceName == nullptr ||
        !BuffersFit(frameCount, channelStride, playBytes.size(), recordBytes.size())) {
        std::puts(
            "The sound device transfer needs two blocks of 3-byte samples that fit its buffers.");
        report.refused = true;
        return;
    }

    snd_lib_error_set_handler(IgnoreAlsaDiagnostic);
    static const SetupTexts kPlaybackTexts = {"Playback device could not be opened: %s\n",
                                              "Problem setting playback format: %s\n",
                                              "Problem setting playback parameters: %s\n", stderr};
    static const SetupTexts kCaptureTexts = {
        "unable to open pcm record device: %s\n", "Problem setting recording format: %s\n",
        "Could not set record hardware parameters: %s\n", stdout};

    Stream playback = OpenStream(deviceName, SND_PCM_STREAM_PLAYBACK, channelCount, rate,
                                 kPeriodRequest, kPlaybackTexts);
    if (playback.period != kPeriodRequest)
        std::puts("Driver did not return requested period size.");
    Stream capture = OpenStream(deviceName, SND_PCM_STREAM_CAPTURE, channelCount, rate,
                                playback.period, kCaptureTexts);

    const auto chunk = static_cast<std::int64_t>(playback.period);
    report.chunkFrames = chunk;

    if (mode == 3) {
        DrainPlayback(playback.pcm, rate);
        snd_pcm_drop(capture.pcm);
        snd_pcm_prepare(capture.pcm);
        snd_pcm_prepare(playback.pcm);
        std::puts("Running Test...");
        std::fflush(stdout);

        // Interleaved streams pass each chunk through one period-sized buffer.
        const bool interleaving = playback.interleaved || capture.interleaved;
        const bool anyChunk = chunk > 0 && chunk < frameCount;
        std::unique_ptr<std::int8_t[]> frames;
        if (interleaving && anyChunk) {
            frames.reset(
                new (std::nothrow)
                    std::int8_t[static_cast<std::size_t>(chunk) * kChannels * kSampleBytes]);
        }
        if (chunk <= 0 || (interleaving && anyChunk && !frames)) {
            std::puts(
                "The transfer could not start (no period size or no memory): nothing was "
                "played or recorded.");
            RecordTransferEvent(report, TransferFault::PlaybackFailed, 0, frameCount);
            RecordTransferEvent(report, TransferFault::CaptureFailed, 0, frameCount);
        } else {
            Transfer transfer{playback,
                              capture,
                              playBytes.data(),
                              recordBytes.data(),
                              frameCount,
                              channelStride,
                              chunk,
                              frames.get(),
                              report};
            const std::int64_t fillChunks =
                std::max<std::int64_t>(1, static_cast<std::int64_t>(playback.buffer) / chunk);
            transfer.Run(fillChunks);
        }
    }

    DrainPlayback(playback.pcm, rate);
    snd_pcm_drop(capture.pcm);
    snd_pcm_close(playback.pcm);
    snd_pcm_close(capture.pcm);
}
