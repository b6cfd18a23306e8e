#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/outcome.h"

// alsa-lib's PCM handle, named here so that callers need not include ALSA.
extern "C" {
typedef struct _snd_pcm snd_pcm_t;
}

// What went wrong with one write or read of the transfer.
enum class TransferFault {
    PlaybackUnderrun,  // the write found the playback stream run dry (-EPIPE) or suspended
    CaptureOverrun,    // the read found the capture stream overrun (-EPIPE) or suspended
    PlaybackShort,     // the write moved fewer frames than the chunk
    CaptureShort,      // the read delivered fewer frames than the chunk
    PlaybackFailed,    // the write failed otherwise, or never took place
    CaptureFailed,     // the read failed otherwise, or never took place
};

// One fault and the frames it lost: frames begin to end - 1 of the run's
// playback (for the Playback faults) or of its capture (for the Capture faults).
struct TransferEvent {
    TransferFault fault = TransferFault::PlaybackFailed;
    std::int64_t begin = 0;
    std::int64_t end = 0;
};

// Why a transfer was refused before anything was played.
enum class TransferRefusal {
    None,
    Buffers,  // the two channel blocks of 3-byte samples do not fit the buffers
};

// Where the device stopped moving frames, if it did.
enum class TransferStall {
    None,
    Playback,  // a write found no room for longer than the bound
    Capture,   // a read found no frames for longer than the bound
};

// What one PLAY_REC call went through. Events are kept in the order they
// happened; past the capacity only the total goes on counting. Every frame
// position of a stream has at most one event, so only the first few dozen
// events of a run can lie ahead of the sync region.
struct TransferReport {
    static constexpr std::size_t kCapacity = 256;
    std::array<TransferEvent, kCapacity> events{};
    std::size_t stored = 0;
    std::int64_t total = 0;
    TransferRefusal refusal = TransferRefusal::None;  // nothing was played when not None
    bool notStarted = false;       // no period size or no memory for the staging buffer
    std::int64_t chunkFrames = 0;  // P: the frames of every write and read
    std::int64_t writes = 0;       // write calls made
    std::int64_t reads = 0;        // read calls made
    // Not None when the device stopped responding: no frame moved for the
    // bound (one second plus the buffer's time). The run was abandoned there
    // and its recording is void.
    TransferStall stall = TransferStall::None;
};

// Appends one event (counting it even when the log is full).
void RecordTransferEvent(TransferReport& report, TransferFault fault, std::int64_t begin,
                         std::int64_t end);

// A transfer's progress after one chunk was read: frames recorded so far of
// the run's frameCount, and the largest magnitude of each input in that
// chunk as a share of full scale, with whether a sample reached full scale.
struct ChunkLevels {
    std::int64_t framesDone = 0;
    std::int64_t frameCount = 0;
    double peak1 = 0.0;
    double peak2 = 0.0;
    bool clipped1 = false;
    bool clipped2 = false;
};
using ChunkObserver = std::function<void(const ChunkLevels&)>;

// Closes a PCM handle.
struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const;
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

// One direction of the device, configured for the run.
struct DeviceStream {
    PcmHandle pcm;
    bool interleaved = false;  // the device offers interleaved access only
    std::int64_t period = 0;   // granted period, frames
    std::int64_t buffer = 0;   // granted buffer, frames
};

// Both directions of one device, open and configured; closed when it goes.
struct DuplexDevice {
    DeviceStream playback;
    DeviceStream capture;
};

enum class StreamDirection { Playback, Capture };

// The step of the set-up that failed.
enum class SetupStage {
    Channels,  // a transfer of this many channels is not supported; nothing was opened
    Open,      // snd_pcm_open
    Format,    // the 3-byte sample format
    Params,    // the channel count or the hardware parameters as a whole
    Rate,      // the device runs at grantedRate, not at the rate asked for
};

// Most messages kept of what alsa-lib and the device's plugin write while a
// device is opened and configured, and most bytes kept of each: a plugin
// that writes more cannot flood the report.
constexpr std::size_t kMaxDeviceDiagnostics = 8;
constexpr std::size_t kMaxDeviceDiagnosticLength = 240;

struct DeviceFailure {
    SetupStage stage = SetupStage::Open;
    StreamDirection direction = StreamDirection::Playback;
    int error = 0;               // alsa-lib's negative error code (for snd_strerror)
    unsigned grantedRate = 0;    // with SetupStage::Rate: the rate the device offered
    unsigned requestedRate = 0;  // with SetupStage::Rate: the rate asked for
    int channelCount = 0;        // with SetupStage::Channels
    // The playback stream got its parameters, with another period than
    // asked (so a capture failure can come after that was known).
    bool periodDiffers = false;
    // What alsa-lib and the plugin wrote while the device was opened and
    // configured, in order, as they wrote it (followed by ": " and alsa-lib's
    // text of the error code a message came with): at most
    // kMaxDeviceDiagnostics messages of at most kMaxDeviceDiagnosticLength
    // bytes each, cut there; diagnosticsOmitted counts the messages beyond.
    std::vector<std::string> diagnostics;
    std::size_t diagnosticsOmitted = 0;
};

// A device opened and configured for a run.
struct OpenedDevice {
    DuplexDevice device;         // both streams open
    bool periodDiffers = false;  // the playback was granted another period than asked
};

// Text of an alsa-lib error code.
const char* DeviceErrorText(int error);

// The open-and-configure path: opens deviceName for playback, then for
// capture (asking for the playback's granted period), each with
// channelCount channels of packed 24-bit little-endian samples at `rate`,
// and readies both for a transfer. On a failure the streams opened so far
// are closed and the failure says where, with what alsa-lib wrote meanwhile.
Outcome<OpenedDevice, DeviceFailure> OpenDuplex(const char* deviceName, int channelCount,
                                                std::uint32_t rate);

// The transfer path: plays playBytes and records into recordBytes at the
// same time on a device that OpenDuplex readied: two channels, each in its
// own block of frameCount samples, the blocks channelStride bytes apart.
// Every frame of the run is played and recorded; the last chunk is padded
// with silence to a whole period. The capture is started before the first
// write, and the playback is kept a device buffer ahead of it. No wait on
// the device lasts longer than the bound: a device that moves no frame for
// that long is dropped and the stall entered in the report. Whatever goes
// wrong is entered in report, which is reset first. The device's streams are
// closed on return. When given, `observer` is called after every chunk
// read with the transfer's progress and that chunk's peaks; it must not
// block.
void PLAY_REC(DuplexDevice& device, std::uint32_t rate, std::int64_t frameCount,
              std::span<const std::int8_t> playBytes, std::span<std::int8_t> recordBytes,
              int bytesPerSample, std::int64_t channelStride, TransferReport& report,
              const ChunkObserver& observer = {});
