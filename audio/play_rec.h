#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// What went wrong with one write or read of the transfer.
enum class TransferFault {
    PlaybackUnderrun,  // the write found the playback stream run dry (-EPIPE)
    CaptureOverrun,    // the read found the capture stream overrun (-EPIPE)
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

// What one PLAY_REC call went through. Events are kept in the order they
// happened; past the capacity only the total goes on counting. Every frame
// position of a stream has at most one event, so only the first few dozen
// events of a run can lie ahead of the sync region.
struct TransferReport {
    static constexpr std::size_t kCapacity = 256;
    std::array<TransferEvent, kCapacity> events{};
    std::size_t stored = 0;
    std::int64_t total = 0;
    bool refused = false;          // the call did not match what it can do; nothing was opened
    std::int64_t chunkFrames = 0;  // P: the frames of every write and read
    std::int64_t writes = 0;       // write calls made
    std::int64_t reads = 0;        // read calls made
};

// Appends one event (counting it even when the log is full).
void RecordTransferEvent(TransferReport& report, TransferFault fault, std::int64_t begin,
                         std::int64_t end);

// Plays playBytes and records into recordBytes at the same time on the ALSA
// device deviceName: two channels, packed 24-bit little-endian samples, each
// channel in its own block of frameCount samples, the blocks channelStride
// bytes apart. Transfers only when mode is 3; any other mode opens,
// configures and closes both streams. A device that cannot be opened or
// configured ends the process with exit status 1 after its message. Whatever
// else goes wrong is entered in report, which is reset first.
void PLAY_REC(int channelCount, int mode, const char* deviceName, std::uint32_t rate,
              std::int64_t frameCount, std::span<const std::int8_t> playBytes,
              std::span<std::int8_t> recordBytes, int bytesPerSample, std::int64_t channelStride,
              TransferReport& report);
