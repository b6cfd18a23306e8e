#include "audio/play_rec.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include <poll.h>

#include "samples/packing.h"

namespace {

constexpr snd_pcm_uframes_t kPeriodRequest = 1024;
constexpr snd_pcm_uframes_t kBufferRequest = 4096;
constexpr int kChannels = 2;
constexpr int kSampleBytes = 3;

using Clock = std::chrono::steady_clock;

// A device that moves no frame for this long, on top of its buffer's time,
// has stopped responding.
constexpr double kStallMarginSeconds = 1.0;
// The same until the capture's first frame: a sound server may take a while
// to start a stream (PulseAudio's null sink, idle, first renders at the end
// of its current block of up to two seconds).
constexpr double kStartMarginSeconds = 4.0;
// Descriptors polled for one stream at most.
constexpr int kMaxDescriptors = 16;

// Brings a stream back after it ran dry or overran (-EPIPE) or was suspended
// (-ESTRPIPE): resumed where the device can, prepared otherwise.
void Recover(snd_pcm_t* pcm, snd_pcm_sframes_t error) {
    if (error == -ESTRPIPE) {
        int resumed = -EAGAIN;
        for (int attempt = 0; attempt < 100 && resumed == -EAGAIN; ++attempt) {
            resumed = snd_pcm_resume(pcm);
            if (resumed == -EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (resumed == 0) return;
    }
    snd_pcm_prepare(pcm);
}

// Keeps alsa-lib's own diagnostics off standard error, which carries only
// the program's own messages.
void IgnoreAlsaDiagnostic(const char*, int, const char*, int, const char*, ...) {}

// The messages alsa-lib wrote during one open-and-configure.
struct AlsaMessages {
    std::vector<std::string> kept;
    std::size_t omitted = 0;
};

// The list of the open-and-configure running on this thread, if one is.
thread_local AlsaMessages* tMessages = nullptr;

// Keeps alsa-lib's message (and the plugin's, which reach alsa-lib's
// handler the same way) in the open call's list, up to its bounds.
__attribute__((format(printf, 5, 6))) void KeepAlsaDiagnostic(const char*, int, const char*,
                                                              int error, const char* format, ...) {
    AlsaMessages* messages = tMessages;
    if (messages == nullptr || format == nullptr) return;
    if (messages->kept.size() >= kMaxDeviceDiagnostics) {
        ++messages->omitted;
        return;
    }
    char text[kMaxDeviceDiagnosticLength + 1];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) text[0] = '\0';
    try {
        std::string message(text);
        if (error != 0) message += std::string(": ") + snd_strerror(error);
        if (message.size() > kMaxDeviceDiagnosticLength) message.resize(kMaxDeviceDiagnosticLength);
        messages->kept.push_back(std::move(message));
    } catch (...) {
        // No memory for the message: it is counted rather than kept.
        ++messages->omitted;
    }
}

// While it lives, alsa-lib's messages on this thread go into `messages`;
// then alsa-lib is silenced again.
class MessagesKept {
  public:
    explicit MessagesKept(AlsaMessages& messages) {
        tMessages = &messages;
        snd_lib_error_set_handler(KeepAlsaDiagnostic);
    }
    ~MessagesKept() {
        snd_lib_error_set_handler(IgnoreAlsaDiagnostic);
        tMessages = nullptr;
    }
    MessagesKept(const MessagesKept&) = delete;
    MessagesKept& operator=(const MessagesKept&) = delete;
};

DeviceFailure StageFailure(SetupStage stage, StreamDirection direction, int error) {
    DeviceFailure failure;
    failure.stage = stage;
    failure.direction = direction;
    failure.error = error;
    return failure;
}

// Opens deviceName in one direction and installs the run's configuration,
// asking for periodRequest frames per period. The stream is closed again on
// every failure.
Outcome<DeviceStream, DeviceFailure> OpenStream(const char* deviceName, StreamDirection direction,
                                                int channelCount, std::uint32_t rate,
                                                snd_pcm_uframes_t periodRequest) {
    const snd_pcm_stream_t alsaDirection =
        direction == StreamDirection::Playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
    snd_pcm_t* opened = nullptr;
    int error = snd_pcm_open(&opened, deviceName, alsaDirection, 0);
    if (error < 0) return Fail(StageFailure(SetupStage::Open, direction, error));
    DeviceStream stream;
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
    if (error < 0) return Fail(StageFailure(SetupStage::Format, direction, error));
    // The transfer hands the device exactly channelCount channels a frame; a
    // device that cannot take that many cannot be configured for it.
    error = snd_pcm_hw_params_set_channels(pcm.get(), params, static_cast<unsigned>(channelCount));
    if (error < 0) return Fail(StageFailure(SetupStage::Params, direction, error));
    // The sweep, the pulse and the band edges are all made for `rate`: a
    // device running at another rate would put every band at the wrong
    // frequency, so it cannot be configured for a measurement.
    unsigned int grantedRate = rate;
    error = snd_pcm_hw_params_set_rate_near(pcm.get(), params, &grantedRate, nullptr);
    if (error >= 0 && grantedRate != rate) {
        DeviceFailure failure = StageFailure(SetupStage::Rate, direction, -EINVAL);
        failure.grantedRate = grantedRate;
        failure.requestedRate = rate;
        return Fail(std::move(failure));
    }
    if (error < 0) return Fail(StageFailure(SetupStage::Params, direction, error));
    snd_pcm_uframes_t period = periodRequest;
    snd_pcm_hw_params_set_period_size_near(pcm.get(), params, &period, nullptr);
    snd_pcm_uframes_t buffer = kBufferRequest;
    snd_pcm_hw_params_set_buffer_size_near(pcm.get(), params, &buffer);
    error = snd_pcm_hw_params(pcm.get(), params);
    if (error < 0) return Fail(StageFailure(SetupStage::Params, direction, error));

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
    return stream;
}

// Opens and configures the playback, then the capture with the playback's
// period, and readies both; closes what it opened on a failure.
Outcome<OpenedDevice, DeviceFailure> OpenBoth(const char* deviceName, int channelCount,
                                              std::uint32_t rate) {
    Outcome<DeviceStream, DeviceFailure> playback =
        OpenStream(deviceName, StreamDirection::Playback, channelCount, rate, kPeriodRequest);
    if (!playback) return Fail(playback.reason());
    OpenedDevice opened;
    DuplexDevice& device = opened.device;
    device.playback = std::move(playback.value());
    opened.periodDiffers = device.playback.period != static_cast<std::int64_t>(kPeriodRequest);
    Outcome<DeviceStream, DeviceFailure> capture =
        OpenStream(deviceName, StreamDirection::Capture, channelCount, rate,
                   static_cast<snd_pcm_uframes_t>(device.playback.period));
    if (!capture) {
        DeviceFailure failure = capture.reason();
        failure.periodDiffers = opened.periodDiffers;
        return Fail(std::move(failure));  // the playback is closed with `opened`
    }
    device.capture = std::move(capture.value());
    // Both streams start the run from an empty queue. Dropping empties a
    // queue at once; a drain would wait on the device without a bound.
    snd_pcm_drop(device.playback.pcm.get());
    snd_pcm_drop(device.capture.pcm.get());
    snd_pcm_prepare(device.capture.pcm.get());
    snd_pcm_prepare(device.playback.pcm.get());
    return opened;
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
// or the run's last part, padded with silence) passes through a staging
// buffer of its direction. Both streams are non-blocking: a chunk moves in
// as many parts as the device takes, and while one stream waits the other
// goes on, so the playback is topped up while the capture has nothing yet.
struct Transfer {
    DeviceStream& playback;
    DeviceStream& capture;
    const std::int8_t* play;
    std::int8_t* record;
    std::int64_t frameCount;
    std::int64_t stride;
    std::int64_t chunk;         // P
    std::int8_t* writeStaging;  // one period of both channels
    std::int8_t* readStaging;   // one period of both channels
    TransferReport& report;
    const ChunkObserver& observer;
    Clock::duration bound;       // no frame moving for this long is a stall
    Clock::duration startBound;  // the same before the capture's first frame
    std::int64_t fillChunks;     // chunks written before the first read and after an underrun
    std::int64_t writePosition = 0;
    std::int64_t readPosition = 0;
    std::int64_t fillLeft = 0;    // chunks still to write before reading on
    bool captureStarted = false;  // the capture has delivered a frame

    // The chunk in progress in one direction.
    struct Part {
        bool active = false;
        bool direct = false;  // moved in place in the run's buffers
        std::int64_t at = 0;
        std::int64_t length = 0;  // frames of the run in it; the rest is padding
        std::int64_t done = 0;    // frames moved so far
    };
    Part write{};
    Part read{};

    bool MoreToWrite() const { return write.active || writePosition < frameCount; }
    // Reading waits for a full device buffer ahead (at the start and after
    // an underrun) and never passes what has been written.
    bool MayRead() const {
        if (read.active) return true;
        if (readPosition >= frameCount) return false;
        const std::int64_t written = write.active ? write.at : writePosition;
        const bool filled = fillLeft == 0 || written >= frameCount;
        return filled && readPosition < written;
    }

    // Where sample `frame` of `channel` lies in a staging buffer.
    std::int8_t* Staged(std::int8_t* staging, bool interleaved, int channel,
                        std::int64_t frame) const {
        const std::int64_t index =
            interleaved ? frame * kChannels + channel : channel * chunk + frame;
        return staging + index * kSampleBytes;
    }

    Part Begin(std::int64_t& position, bool interleaved) {
        Part part;
        part.active = true;
        part.at = position;
        part.length = std::min(chunk, frameCount - position);
        part.direct = !interleaved && part.length == chunk;
        position += part.length;
        return part;
    }

    // Hands the playback what it takes now of the chunk in progress,
    // beginning the next one when none is. True when anything happened
    // (frames moved, or the chunk was lost to a failure).
    bool StepWrite() {
        snd_pcm_t* pcm = playback.pcm.get();
        const bool interleaved = playback.interleaved;
        if (!write.active) {
            if (writePosition >= frameCount) return false;
            write = Begin(writePosition, interleaved);
            ++report.writes;
            if (!write.direct) {
                std::memset(writeStaging, 0,
                            static_cast<std::size_t>(chunk * kChannels * kSampleBytes));
                for (int c = 0; c < kChannels; ++c) {
                    for (std::int64_t f = 0; f < write.length; ++f) {
                        std::memcpy(Staged(writeStaging, interleaved, c, f),
                                    play + c * stride + (write.at + f) * kSampleBytes,
                                    kSampleBytes);
                    }
                }
            }
        }
        const std::int64_t done = write.done;
        const auto frames = static_cast<snd_pcm_uframes_t>(chunk - done);
        snd_pcm_sframes_t moved;
        if (write.direct) {
            void* channels[kChannels] = {
                const_cast<std::int8_t*>(play + (write.at + done) * kSampleBytes),
                const_cast<std::int8_t*>(play + stride + (write.at + done) * kSampleBytes)};
            moved = snd_pcm_writen(pcm, channels, frames);
        } else if (interleaved) {
            moved = snd_pcm_writei(pcm, Staged(writeStaging, true, 0, done), frames);
        } else {
            void* channels[kChannels] = {Staged(writeStaging, false, 0, done),
                                         Staged(writeStaging, false, 1, done)};
            moved = snd_pcm_writen(pcm, channels, frames);
        }
        if (moved > 0) {
            write.done += moved;
            if (write.done >= chunk) {
                write.active = false;
                if (fillLeft > 0) --fillLeft;
            }
            return true;
        }
        if (moved == 0 || moved == -EAGAIN) return false;
        // The frames of the run not handed over are lost.
        const std::int64_t lost = write.at + std::min(write.done, write.length);
        const bool ranDry = moved == -EPIPE || moved == -ESTRPIPE;
        if (lost < write.at + write.length) {
            RecordTransferEvent(
                report, ranDry ? TransferFault::PlaybackUnderrun : TransferFault::PlaybackFailed,
                lost, write.at + write.length);
        }
        write.active = false;
        if (ranDry) {
            Recover(pcm, moved);
            fillLeft = fillChunks;
        }
        return true;
    }

    // Takes what the capture has of the chunk in progress, beginning the
    // next one when reading may go on. True when anything happened.
    bool StepRead() {
        snd_pcm_t* pcm = capture.pcm.get();
        const bool interleaved = capture.interleaved;
        if (!read.active) {
            if (!MayRead()) return false;
            read = Begin(readPosition, interleaved);
            ++report.reads;
        }
        const std::int64_t done = read.done;
        const auto frames = static_cast<snd_pcm_uframes_t>(chunk - done);
        snd_pcm_sframes_t moved;
        if (read.direct) {
            void* channels[kChannels] = {record + (read.at + done) * kSampleBytes,
                                         record + stride + (read.at + done) * kSampleBytes};
            moved = snd_pcm_readn(pcm, channels, frames);
        } else if (interleaved) {
            moved = snd_pcm_readi(pcm, Staged(readStaging, true, 0, done), frames);
        } else {
            void* channels[kChannels] = {Staged(readStaging, false, 0, done),
                                         Staged(readStaging, false, 1, done)};
            moved = snd_pcm_readn(pcm, channels, frames);
        }
        if (moved > 0) {
            read.done += moved;
            captureStarted = true;
            if (read.done >= chunk) FinishRead(0);
            return true;
        }
        if (moved == 0 || moved == -EAGAIN) return false;
        FinishRead(moved);
        return true;
    }

    // The progress after frames [at, at + count) were recorded, and their peaks.
    ChunkLevels LevelsOf(std::int64_t at, std::int64_t count) const {
        ChunkLevels levels;
        levels.framesDone = at + count;
        levels.frameCount = frameCount;
        std::int32_t largest[kChannels] = {0, 0};
        for (int c = 0; c < kChannels; ++c) {
            const std::int8_t* sample = record + c * stride + at * kSampleBytes;
            for (std::int64_t f = 0; f < count; ++f, sample += kSampleBytes) {
                const std::int32_t value = Unpack24(sample);
                largest[c] = std::max(largest[c], value < 0 ? -value : value);
            }
        }
        levels.peak1 = largest[0] / kFullScale;
        levels.peak2 = largest[1] / kFullScale;
        // The negative full scale, or one step short of either end.
        levels.clipped1 = largest[0] >= 8388607;
        levels.clipped2 = largest[1] >= 8388607;
        return levels;
    }

    // Ends the chunk in progress: what came is copied into the capture
    // blocks, and a failure is entered for the frames of the run that did not.
    void FinishRead(snd_pcm_sframes_t failure) {
        read.active = false;
        const std::int64_t kept = std::min(read.done, read.length);
        if (!read.direct) {
            const bool interleaved = capture.interleaved;
            for (int c = 0; c < kChannels; ++c) {
                for (std::int64_t f = 0; f < kept; ++f) {
                    std::memcpy(record + c * stride + (read.at + f) * kSampleBytes,
                                Staged(readStaging, interleaved, c, f), kSampleBytes);
                }
            }
        }
        if (observer) observer(LevelsOf(read.at, kept));
        if (failure == 0) return;
        const bool overran = failure == -EPIPE || failure == -ESTRPIPE;
        if (kept < read.length) {
            RecordTransferEvent(
                report, overran ? TransferFault::CaptureOverrun : TransferFault::CaptureFailed,
                read.at + kept, read.at + read.length);
        }
        if (overran) {
            Recover(capture.pcm.get(), failure);
            snd_pcm_start(capture.pcm.get());
        }
    }

    // Waits until a stream that is waited on is ready, or the earliest
    // deadline passes, polling the descriptors of both with a timeout. A
    // wake-up that finds neither ready is followed by a short pause, so a
    // descriptor that stays readable cannot make the loop spin.
    void AwaitEither(bool onPlayback, bool onCapture, Clock::time_point deadline) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        const int timeout = static_cast<int>(std::clamp<std::int64_t>(left, 1, 1000));
        pollfd fds[2 * kMaxDescriptors];
        int playbackCount = 0;
        int captureCount = 0;
        if (onPlayback) {
            playbackCount =
                std::max(0, snd_pcm_poll_descriptors(playback.pcm.get(), fds, kMaxDescriptors));
        }
        if (onCapture) {
            captureCount = std::max(
                0,
                snd_pcm_poll_descriptors(capture.pcm.get(), fds + playbackCount, kMaxDescriptors));
        }
        const int count = playbackCount + captureCount;
        bool ready = false;
        if (count > 0) {
            const int polled = poll(fds, static_cast<nfds_t>(count), timeout);
            if (polled == 0) return;
            if (polled > 0) {
                ready = Ready(playback.pcm.get(), fds, playbackCount) ||
                        Ready(capture.pcm.get(), fds + playbackCount, captureCount);
            }
        }
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    static bool Ready(snd_pcm_t* pcm, pollfd* fds, int count) {
        if (count == 0) return false;
        unsigned short revents = 0;
        return snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(count), &revents) >=
                   0 &&
               (revents & (POLLIN | POLLOUT | POLLERR)) != 0;
    }

    // Waits until the capture has frames, so that the playback begins on a
    // running capture: a sound server may take a while to start a stream,
    // and what is played before its capture runs is never recorded. False
    // when no frame came within the start bound.
    bool AwaitCapture() {
        snd_pcm_t* pcm = capture.pcm.get();
        const Clock::time_point deadline = Clock::now() + startBound;
        for (;;) {
            const snd_pcm_sframes_t ready = snd_pcm_avail(pcm);
            // An error (an overrun already) is left to the first read.
            if (ready != 0 && ready != -EAGAIN) return true;
            if (Clock::now() >= deadline) {
                report.stall = TransferStall::Capture;
                return false;
            }
            AwaitEither(false, true, deadline);
        }
    }

    // The capture runs from before the first write, so no write waits on a
    // capture that has not begun. The playback is written whenever it has
    // room, the capture read whenever it has frames and reading may go on.
    // A stream that is waited on and moves no frame for the bound (longer
    // before the capture's first frame, while the device starts) ends the
    // run as stalled.
    void Run() {
        // A capture that cannot be started here starts with the first read.
        const bool started = snd_pcm_start(capture.pcm.get()) == 0;
        if (started && !AwaitCapture()) return;
        fillLeft = fillChunks;
        Clock::time_point playbackDeadline = Clock::now() + startBound;
        Clock::time_point captureDeadline = playbackDeadline;
        while (read.active || readPosition < frameCount) {
            const bool wrote = StepWrite();
            const bool got = StepRead();
            const Clock::time_point now = Clock::now();
            const bool writeWaits = MoreToWrite();
            const bool readWaits = MayRead();
            const Clock::duration limit = captureStarted ? bound : startBound;
            if (wrote || !writeWaits) playbackDeadline = now + limit;
            if (got || !readWaits) captureDeadline = now + limit;
            // Checked whether or not the other stream moves.
            if (writeWaits && now >= playbackDeadline) {
                report.stall = TransferStall::Playback;
                return;
            }
            if (readWaits && now >= captureDeadline) {
                report.stall = TransferStall::Capture;
                return;
            }
            if (wrote || got) continue;
            const Clock::time_point deadline = !writeWaits ? captureDeadline
                                               : !readWaits
                                                   ? playbackDeadline
                                                   : std::min(playbackDeadline, captureDeadline);
            AwaitEither(writeWaits, readWaits, deadline);
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

Outcome<OpenedDevice, DeviceFailure> OpenDuplex(const char* deviceName, int channelCount,
                                                std::uint32_t rate) {
    if (channelCount != kChannels) {
        DeviceFailure failure = StageFailure(SetupStage::Channels, StreamDirection::Playback, 0);
        failure.channelCount = channelCount;
        return Fail(std::move(failure));
    }
    if (deviceName == nullptr) {
        return Fail(StageFailure(SetupStage::Open, StreamDirection::Playback, -EINVAL));
    }
    AlsaMessages messages;
    Outcome<OpenedDevice, DeviceFailure> opened = [&] {
        const MessagesKept keeping(messages);
        return OpenBoth(deviceName, channelCount, rate);
    }();
    if (opened) return opened;
    DeviceFailure failure = opened.reason();
    failure.diagnostics = std::move(messages.kept);
    failure.diagnosticsOmitted = messages.omitted;
    return Fail(std::move(failure));
}

void PLAY_REC(DuplexDevice& device, std::uint32_t rate, std::int64_t frameCount,
              std::span<const std::int8_t> playBytes, std::span<std::int8_t> recordBytes,
              int bytesPerSample, std::int64_t channelStride, TransferReport& report,
              const ChunkObserver& observer) {
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
    const auto stagingBytes = static_cast<std::size_t>(chunk) * kChannels * kSampleBytes;
    if (chunk > 0) staging.reset(new (std::nothrow) std::int8_t[2 * stagingBytes]);
    if (!staging) {
        report.notStarted = true;
        RecordTransferEvent(report, TransferFault::PlaybackFailed, 0, frameCount);
        RecordTransferEvent(report, TransferFault::CaptureFailed, 0, frameCount);
    } else {
        const double bufferSeconds =
            rate > 0 ? static_cast<double>(std::max(playback.buffer, capture.buffer)) / rate : 0.0;
        const auto bound = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(kStallMarginSeconds + bufferSeconds));
        const auto startBound = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(kStartMarginSeconds + bufferSeconds));
        snd_pcm_nonblock(playback.pcm.get(), 1);
        snd_pcm_nonblock(capture.pcm.get(), 1);
        Transfer transfer{playback,
                          capture,
                          playBytes.data(),
                          recordBytes.data(),
                          frameCount,
                          channelStride,
                          chunk,
                          staging.get(),
                          staging.get() + stagingBytes,
                          report,
                          observer,
                          bound,
                          startBound,
                          std::max<std::int64_t>(1, playback.buffer / chunk)};
        transfer.Run();
    }
    // The run ends once its last frame is recorded. Whatever the playback
    // still holds then is silence past the sweep's end, so it is dropped
    // rather than drained: a drain would wait on the device without a bound
    // (the sound servers' plugins block in it even in non-blocking mode).
    snd_pcm_drop(playback.pcm.get());
    snd_pcm_drop(capture.pcm.get());
}
