// Which transfer faults damage a take: those whose lost frames are not all
// ahead of the sync pulse (frame 24000 of the playback, the captured pulse's
// first frame in the capture).

#include <gtest/gtest.h>

#include "audio/play_rec.h"
#include "console/measurement_run.h"

namespace {

TEST(DamagingFaults, NoneInACleanTransfer) {
    const TransferReport report;
    EXPECT_EQ(CountDamagingFaults(report, 24300), 0);
}

TEST(DamagingFaults, PlaybackFaultsCountFromTheLeadInsEnd) {
    TransferReport report;
    // Lost frames wholly before frame 24000: harmless, whatever the kind.
    RecordTransferEvent(report, TransferFault::PlaybackUnderrun, 5120, 6144);
    RecordTransferEvent(report, TransferFault::PlaybackFailed, 22976, 24000);
    RecordTransferEvent(report, TransferFault::PlaybackShort, 23999, 24000);
    EXPECT_EQ(CountDamagingFaults(report, 30000), 0);
    // One frame into the pulse is enough, even with the capture's pulse late.
    RecordTransferEvent(report, TransferFault::PlaybackUnderrun, 23001, 24001);
    EXPECT_EQ(CountDamagingFaults(report, 30000), 1);
    // Far after the pulse.
    RecordTransferEvent(report, TransferFault::PlaybackShort, 400000, 400100);
    EXPECT_EQ(CountDamagingFaults(report, 30000), 2);
}

TEST(DamagingFaults, CaptureFaultsCountFromTheCapturedPulse) {
    TransferReport report;
    RecordTransferEvent(report, TransferFault::CaptureOverrun, 22528, 23552);
    RecordTransferEvent(report, TransferFault::CaptureShort, 24000, 24300);
    RecordTransferEvent(report, TransferFault::CaptureFailed, 1024, 2048);
    // The captured pulse starts at 24300: all three are ahead of it.
    EXPECT_EQ(CountDamagingFaults(report, 24300), 0);
    // A pulse captured earlier puts the first two inside the measured part.
    EXPECT_EQ(CountDamagingFaults(report, 24299), 1);
    EXPECT_EQ(CountDamagingFaults(report, 20000), 2);
    // No pulse found: every capture fault matters.
    EXPECT_EQ(CountDamagingFaults(report, -32), 3);
}

TEST(DamagingFaults, FaultsPastTheLogsCapacityCountAsDamaging) {
    TransferReport report;
    const auto capacity = static_cast<std::int64_t>(TransferReport::kCapacity);
    for (std::int64_t i = 0; i < capacity + 10; ++i) {
        RecordTransferEvent(report, TransferFault::CaptureOverrun, 0, 1);
    }
    EXPECT_EQ(report.stored, TransferReport::kCapacity);
    EXPECT_EQ(report.total, capacity + 10);
    // The logged ones are harmless; the ten beyond the log cannot be judged.
    EXPECT_EQ(CountDamagingFaults(report, 1000), 10);
}

}  // namespace
