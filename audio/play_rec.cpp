#include "audio/play_rec.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
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

// Keeps alsa-lib's own diagnostics off standard error, which carries only
// the program's own messages.
void IgnoreAlsaDiagnostic(const char*, int, const char*, int, const char*, ...) {}

DeviceFailure Failure(SetupStage stage, StreamDirection direction, int error) {
    DeviceFailure failure;
    failure.stage = stage;
    failure.direction = direction;
    failure.error = error;
    return failure;
}

// Opens deviceName in one direction and installs the run's configuration,
// asking for periodRequest frames per period. Returns the failure, if any;
// the stream is closed again on every failure.
std::optional<DeviceFailure> OpenStream(const char* deviceName, StreamDirection direction,
                                        int channelCount, std::uint32_t rate,
                                        snd_pcm_uframes_t periodRequest, DeviceStream& stream) {
    const snd_pcm_stream_t alsaDirection =
        direction == StreamDirection::Playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
    snd_pcm_t* opened = nullptr;
    int error = snd_pcm_open(&opened, deviceName, alsaDirection, 0);
    if (error < 0) return Failure(SetupStage::Open, direction, error);
    PcmHandle pcm(opened);

    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);  // sized by snd_pcm_hw_params_sizeof, zero-filled
    snd_pcm_hw_params_any(pcm.get(), params);
    // Devices such as the sound server's plugin offer interleaved access
    // only; the transfer then interleaves each chunk through a buffer.
    stream.interleaved = false;
    if (snd_pcm_hw_params_set_access(pcm.get(), params, SND_PCM_ACCESS_RW_NONINTERLEAVED) < 0) {
        stream.interleaved = true;
        snd_pcm_hw_params_set_access(pcm.get(), params, SND_PCM_ACCESS_RW_INTERLEAVED);
    }
    error = snd_pcm_hw_params_set_format(pcm.get(), params, SND_PCM_FORMAT_S24_3LE);
    if (error < 0) return Failure(SetupStage::Format, direction, error);
    // The transfer hands the device exactly channelCount channels a frame; a
    // device that cannot take that many cannot be configured for it.
    error = snd_pcm_hw_params_set_channels(pcm.get(), params, static_cast<unsigned>(channelCount));
    if (error < 0) return Failure(SetupStage::Params, direction, error);
    // The sweep, the pulse and the band edges are all made for `rate`: a
    // device running at another rate would put every band at the wrong
    // frequency, so it cannot be configured for a measurement.
    unsigned int grantedRate = rate;
    error = snd_pcm_hw_params_set_rate_near(pcm.get(), params, &grantedRate, nullptr);
    if (error >= 0 && grantedRate != rate) {
        DeviceFailure failure = Failure(SetupStage::Rate, direction, -EINVAL);
        failure.grantedRate = grantedRate;
        failure.requestedRate = rate;
        return failure;
    }
    if (error < 0) return Failure(SetupStage::Params, direction, error);
    snd_pcm_uframes_t period = periodRequest;
    snd_pcm_hw_params_set_period_size_near(pcm.get(), params, &period, nullptr);
    snd_pcm_uframes_t buffer = kBufferRequest;
    snd_pcm_hw_params_set_buffer_size_near(pcm.get(), params, &buffer);
    error = snd_pcm_hw_params(pcm.get(), params);
    if (error < 0) return Failure(SetupStage::Params, direction, error);

    snd_pcm_uframes_t granted = 0;
    stream.period = snd_pcm_hw_params_get_period_size(params, &granted, nullptr) < 0 ||
                            granted > std::numeric_limits<std::int32_t>::max()
                        ? 0
                        : static_cast<std::int64_t>(granted);
    stream.buffer = snd_pcm_hw_params_get_buffer_size(params, &granted) < 0 ||
                            granted > std::numeric_limits<std::int32_t>::max()
                        ? 0
                        : static_cast<std::int64_t>(granted);
    stream.pcm = std::move(pcm);
    return std::nullopt;
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

// The passes: one period of both channels per write and per read. A chunk
// that is not a whole period in the run's buffers (the interleaved layout,
// or the run's last part, padded with silence) passes through `staging`.
struct Transfer {
    DeviceStream& playback;
    DeviceStream& capture;
    const std::int8_t* play;
    std::int8_t* record;
    std::int64_t frameCount;
    std::int64_t stride;
    std::int64_t chunk;    // P
    std::int8_t* staging;  // one period of both channels
    TransferReport& report;
    std::int64_t writePosition = 0;
    std::int64_t readPosition = 0;

    bool MoreToWrite() const { return writePosition < frameCount; }
    bool MoreToRead() const { return readPosition < frameCount; }

    // Where sample `frame` of `channel` lies in the staging buffer.
    std::int8_t* Staged(bool interleaved, int channel, std::int64_t frame) const {
        const std::int64_t index =
            interleaved ? frame * kChannels + channel : channel * chunk + frame;
        return staging + index * kSampleBytes;
    }

    // Writes the chunk at the write position; returns false on an underrun,
    // after which the stream has been prepared again.
    bool WriteChunk() {
        const std::int64_t at = writePosition;
        const std::int64_t length = std::min(chunk, frameCount - at);
        writePosition += length;
        ++report.writes;
        const bool interleaved = playback.interleaved;
        const auto frames = static_cast<snd_pcm_uframes_t>(chunk);
        snd_pcm_sframes_t written;
        if (!interleaved && length == chunk) {
            void* channels[kChannels] = {
                const_cast<std::int8_t*>(play + at * kSampleBytes),
                const_cast<std::int8_t*>(play + stride + at * kSampleBytes)};
            written = snd_pcm_writen(playback.pcm.get(), channels, frames);
        } else {
            std::memset(staging, 0, static_cast<std::size_t>(chunk * kChannels * kSampleBytes));
            for (int c = 0; c < kChannels; ++c) {
                for (std::int64_t f = 0; f < length; ++f) {
                    std::memcpy(Staged(interleaved, c, f),
                                play + c * stride + (at + f) * kSampleBytes, kSampleBytes);
                }
            }
            if (interleaved) {
                written = snd_pcm_writei(playback.pcm.get(), staging, frames);
            } else {
                void* channels[kChannels] = {Staged(false, 0, 0), Staged(false, 1, 0)};
                written = snd_pcm_writen(playback.pcm.get(), channels, frames);
            }
        }
        if (written == -EPIPE) {
            RecordTransferEvent(report, TransferFault::PlaybackUnderrun, at, at + length);
            snd_pcm_prepare(playback.pcm.get());
            return false;
        }
        if (written < 0) {
            RecordTransferEvent(report, TransferFault::PlaybackFailed, at, at + length);
        } else if (written < length) {
            RecordTransferEvent(report, TransferFault::PlaybackShort, at + written, at + length);
        }
        return true;
    }

    // Reads the chunk at the read position into the capture blocks.
    void ReadChunk() {
        const std::int64_t at = readPosition;
        const std::int64_t length = std::min(chunk, frameCount - at);
        readPosition += length;
        ++report.reads;
        const bool interleaved = capture.interleaved;
        const auto frames = static_cast<snd_pcm_uframes_t>(chunk);
        snd_pcm_sframes_t got;
        if (!interleaved && length == chunk) {
            void* channels[kChannels] = {record + at * kSampleBytes,
                                         record + stride + at * kSampleBytes};
            got = snd_pcm_readn(capture.pcm.get(), channels, frames);
        } else {
            if (interleaved) {
                got = snd_pcm_readi(capture.pcm.get(), staging, frames);
            } else {
                void* channels[kChannels] = {Staged(false, 0, 0), Staged(false, 1, 0)};
                got = snd_pcm_readn(capture.pcm.get(), channels, frames);
            }
            for (int c = 0; c < kChannels; ++c) {
                for (std::int64_t f = 0; f < std::min<std::int64_t>(got, length); ++f) {
                    std::memcpy(record + c * stride + (at + f) * kSampleBytes,
                                Staged(interleaved, c, f), kSampleBytes);
                }
            }
        }
        if (got == -EPIPE) {
            RecordTransferEvent(report, TransferFault::CaptureOverrun, at, at + length);
            snd_pcm_prepare(capture.pcm.get());
        } else if (got < 0) {
            RecordTransferEvent(report, TransferFault::CaptureFailed, at, at + length);
        } else if (got < length) {
            RecordTransferEvent(report, TransferFault::CaptureShort, at + got, at + length);
        }
    }

    // Writes chunks until the device buffer holds fillChunks of them (or the
    // run has none left), starting over after an underrun.
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

void PcmCloser::operator()(snd_pcm_t* pcm) const {
    snd_pcm_close(pcm);
}

const char* DeviceErrorText(int error) {
    return snd_strerror(error);
}

void RecordTransferEvent(TransferReport& report, TransferFault fault, std::int64_t begin,
                         std::int64_t end) {
    if (report.stored < TransferReport::kCapacity) {
        report.events[report.stored] = TransferEvent{fault, begin, end};
        ++report.stored;
    }
    ++report.total;
}

DeviceSetup OpenDuplex(const char* deviceName, int channelCount, std::uint32_t rate) {
    DeviceSetup setup;
    if (channelCount != kChannels) {
        setup.failure = Failure(SetupStage::Channels, StreamDirection::Playback, 0);
        setup.failure->channelCount = channelCount;
        return setup;
    }
    if (deviceName == nullptr) {
        setup.failure = Failure(SetupStage::Open, StreamDirection::Playback, -EINVAL);
        return setup;
    }
    snd_lib_error_set_handler(IgnoreAlsaDiagnostic);
    DuplexDevice& device = setup.device;
    setup.failure = OpenStream(deviceName, StreamDirection::Playback, channelCount, rate,
                               kPeriodRequest, device.playback);
    if (setup.failure) return setup;
    setup.playbackConfigured = true;
    setup.periodDiffers = device.playback.period != static_cast<std::int64_t>(kPeriodRequest);
    setup.failure =
        OpenStream(deviceName, StreamDirection::Capture, channelCount, rate,
                   static_cast<snd_pcm_uframes_t>(device.playback.period), device.capture);
    if (setup.failure) {
        device.playback.pcm.reset();
        return setup;
    }
    // A freshly opened playback stream is drained before the run on purpose:
    // it is how the device is known to start the run from an empty queue.
    DrainPlayback(device.playback.pcm.get(), rate);
    snd_pcm_drop(device.capture.pcm.get());
    snd_pcm_prepare(device.capture.pcm.get());
    snd_pcm_prepare(device.playback.pcm.get());
    return setup;
}

void PLAY_REC(DuplexDevice& device, std::uint32_t rate, std::int64_t frameCount,
              std::span<const std::int8_t> playBytes, std::span<std::int8_t> recordBytes,
              int bytesPerSample, std::int64_t channelStride, TransferReport& report) {
    report = TransferReport{};
    // Whatever happens below, both streams are closed when this returns.
    DuplexDevice owned = std::move(device);
    if (!owned.playback.pcm || !owned.capture.pcm || bytesPerSample != kSampleBytes ||
        !BuffersFit(frameCount, channelStride, playBytes.size(), recordBytes.size())) {
        report.refusal = TransferRefusal::Buffers;
        return;
    }
    DeviceStream& playback = owned.playback;
    DeviceStream& capture = owned.capture;

    const std::int64_t chunk = playback.period;
    report.chunkFrames = chunk;
    std::unique_ptr<std::int8_t[]> staging;
    if (chunk > 0) {
        staging.reset(new (std::nothrow)
                          std::int8_t[static_cast<std::size_t>(chunk) * kChannels * kSampleBytes]);
    }
    if (!staging) {
        report.notStarted = true;
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
                          staging.get(),
                          report};
        transfer.Run(std::max<std::int64_t>(1, playback.buffer / chunk));
    }
    DrainPlayback(playback.pcm.get(), rate);
    snd_pcm_drop(capture.pcm.get());
}
