// Whole runs of the real program on the simulated rig (real alsa-lib, the
// rig's plugin, rig.conf from the build).

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "rig/room.h"
#include "room_response.h"
#include "run_support.h"

namespace {

constexpr const char* kRigEnvironment = "ALSA_CONFIG_PATH=" RIG_CONFIG;
constexpr const char* kCommandListEnd = "      'x' to exit\n";
constexpr const char* kDamage = "repeat the measurement";
constexpr const char* kNoSync =
    "The sync pulse was not found on input 2: check the cable from output 2 to input 2. Nothing "
    "was analyzed or saved.\n";
constexpr const char* kWarning = "Driver did not return requested period size.\n";

ProgramRun RunOnRig(const std::string& device, const std::string& commands,
                    const std::function<void(const std::filesystem::path&)>& prepare = {}) {
    return RunProgram(Script(device, commands), {kRigEnvironment}, 60, prepare);
}

// A configuration of the rig's devices plus `devices`, for one test, with
// the setting that points the program at it; removed with the test.
struct ConfigWith {
    ConfigWith(const std::string& name, const std::string& devices)
        : path(std::filesystem::path(testing::TempDir()) / name) {
        std::ofstream(path) << "<" RIG_CONFIG ">\n" << devices;
    }
    ~ConfigWith() { std::filesystem::remove(path); }
    std::string Environment() const { return "ALSA_CONFIG_PATH=" + path.string(); }
    std::filesystem::path path;
};

// A run that ended at the device's setup: status 1, nothing played, no file.
void ExpectSetupFailure(const ProgramRun& run) {
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_FALSE(run.resultsExist);
}

std::string SyncLine(int latency) {
    return "Sync Out = 24032 \t Sync In = " + std::to_string(24032 + latency) + " samples\n";
}

// Levels of the bands from `from` Hz up differ by at most `spread` dB.
void ExpectFlat(const std::vector<BandRow>& rows, double spread, double from = 100) {
    double lowest = 1e9, highest = -1e9;
    int counted = 0;
    for (const BandRow& row : rows) {
        if (row.low < from) continue;
        lowest = std::min(lowest, row.level);
        highest = std::max(highest, row.level);
        ++counted;
    }
    EXPECT_GT(counted, 0);
    EXPECT_LE(highest - lowest, spread + 1e-9);
}

TEST(RigRun, DefaultRunPrintsTheWholeSequenceAndAppendsTheTable) {
    const ProgramRun run = RunOnRig("rig", "r");
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const std::string table = TableText(run.out);
    const std::vector<BandRow> rows = TableRows(table);
    ASSERT_EQ(rows.size(), 31u);
    // The default plan's edges.
    EXPECT_EQ(rows[0].low, 18);
    EXPECT_EQ(rows[0].high, 22);
    EXPECT_EQ(rows[2].low, 27);
    EXPECT_EQ(rows[2].high, 33);
    EXPECT_EQ(rows[30].low, 12940);
    EXPECT_EQ(rows[30].high, 16175);
    // The flat rig: the pulse returns at its played level, the sweep too
    // (a sine of peak -6 dBFS has an RMS level of -9 dBFS), at once.
    ASSERT_EQ(run.files.size(), 9u);
    const std::string base = run.files.begin()->first.substr(0, 21);  // sweep_YYYYMMDD_HHMMSS
    const std::vector<std::string> endings = {".frd",      "_ir.wav",        ".png",
                                              ".svg",      "_acoustics.txt", "_reflections.txt",
                                              "_time.png", "_time.svg", "_summary.json"};
    std::string filesLine = "Files:";
    for (const std::string& ending : endings) {
        filesLine += " " + base + ending;
        EXPECT_EQ(run.files.count(base + ending), 1u) << ending;
    }
    const std::string expected =
        std::string(kCommandListEnd) + "Running Test...\n" +
        "Ch 2 (sync): Return Level = -6.0 dB\n" + SyncLine(rigDefaultLatency) +
        "Analyzing data...\n" + table + "Ch 1 (sweep): Return Level = -6.0 dB\n" +
        "Signal-to-noise ratio: no noise in the lead-in (sweep -9.0 dBFS).\n" +
        "Acoustic delay: 0.00 ms (0.00 m at 343 m/s)\n" + "Room acoustics per octave:\n";
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    // A flat loop: no reflection, no mode.
    EXPECT_NE(run.out.find("the reasons are in the acoustics file\nEarly reflections within 50 ms"),
              std::string::npos);
    EXPECT_NE(run.out.find("  none at or above -20.0 dB\nInitial time gap: - (no reflection above "
                           "the threshold)\nRoom modes below 300 Hz (level re the mean, T60 from "
                           "the waterfall):\n  no peak below 300 Hz\n" +
                           filesLine + "\nEnter 'c' to continue\n"),
              std::string::npos)
        << run.out;
    // A flat loop reads 0.0 in every band.
    for (const BandRow& row : rows) EXPECT_EQ(row.level, 0.0) << "band " << row.band;
    EXPECT_EQ(run.results, table);
    EXPECT_EQ(Count(run.out, kWarning), 0);
}

TEST(RigRun, InterleavedOnlyDeviceGivesTheSameResults) {
    const ProgramRun flat = RunOnRig("rig", "r");
    const ProgramRun interleaved = RunOnRig("rig_interleaved", "r");
    ASSERT_EQ(interleaved.exitStatus, 0) << interleaved.err;
    EXPECT_NE(interleaved.out.find(SyncLine(rigDefaultLatency)), std::string::npos);
    EXPECT_FALSE(TableText(interleaved.out).empty());
    EXPECT_EQ(TableText(interleaved.out), TableText(flat.out));
    EXPECT_EQ(interleaved.results, flat.results);
}

TEST(RigRun, RoomRunReadsTheRoomsBandResponse) {
    const ProgramRun run = RunOnRig("rig_room", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, kDamage), 0);
    EXPECT_NE(run.out.find(SyncLine(rigDefaultLatency)), std::string::npos);
    const std::vector<BandRow> rows = TableRows(TableText(run.out));
    ASSERT_EQ(rows.size(), 31u);
    const std::vector<double> room = RoomBandLevels(rows, rigRoomFilters, 18, 16175, 48000);
    EXPECT_LE(WorstBandError(rows, room), 0.5) << TableText(run.out);
}

TEST(RigRun, RealTimeRoomRunHasNoDropoutsAndReadsTheRoom) {
    const ProgramRun run = RunProgram(Script("rig_live", "r"), {kRigEnvironment}, 60);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, kDamage), 0) << run.out;
    EXPECT_EQ(Count(run.out, kNoSync), 0);
    const std::vector<BandRow> rows = TableRows(TableText(run.out));
    ASSERT_EQ(rows.size(), 31u);
    const std::vector<double> room = RoomBandLevels(rows, rigRoomFilters, 18, 16175, 48000);
    EXPECT_LE(WorstBandError(rows, room), 0.5) << TableText(run.out);
    EXPECT_EQ(run.results, TableText(run.out));
}

TEST(RigRun, TwoRunsAppendTwoTablesAfterEarlierContent) {
    const std::string earlier = "earlier notes\n";
    const ProgramRun run = RunOnRig("rig", "r\nc\nr", [&](const std::filesystem::path& dir) {
        std::ofstream(dir / "sweep_out.txt") << earlier;
    });
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, "Running Test..."), 2);
    const std::string first = TableText(run.out);
    const std::string second = TableText(run.out, run.out.find(first) + first.size());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(run.results, earlier + first + second);
}

TEST(RigRun, SettingsAreUnchangedAfterARun) {
    const ProgramRun run = RunOnRig("rig", "q 3\nb 20\nf 25\nt 1.5\nr");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string summary = "Q: 3 --- Bands: 20 --- Length: 1.5 sec\nStart: 25.0 Hz";
    const std::size_t runAt = run.out.find("Running Test...");
    ASSERT_NE(runAt, std::string::npos);
    const std::size_t before = run.out.rfind(summary, runAt);
    const std::size_t after = run.out.find(summary, runAt);
    ASSERT_NE(before, std::string::npos);
    ASSERT_NE(after, std::string::npos);
    // The whole summary, end frequency and device included, is the same.
    const std::size_t length = run.out.find("\n\n", before) - before;
    EXPECT_EQ(run.out.substr(after, length), run.out.substr(before, length));
}

TEST(RigRun, ShortestSweepsStillFindThePulse) {
    // Length 1 ns: 48000 frames and no sweep frames at all, so no band gets
    // data (a length of 0 is refused).
    const ProgramRun zero = RunOnRig("rig", "t 1e-9\nr");
    ASSERT_EQ(zero.exitStatus, 0) << zero.err;
    EXPECT_NE(zero.out.find(SyncLine(rigDefaultLatency)), std::string::npos);
    EXPECT_EQ(Count(zero.out, " is missing data\n"), 31);
    EXPECT_NE(zero.out.find("Ch 1 (sweep): Return Level = -inf dB\n"), std::string::npos);
    EXPECT_EQ(zero.results, TableText(zero.out));
    EXPECT_EQ(Count(zero.out, "no response files were written"), 1);
    EXPECT_TRUE(zero.files.empty());

    const ProgramRun shortSweep = RunOnRig("rig", "t 2.5\nr");
    ASSERT_EQ(shortSweep.exitStatus, 0) << shortSweep.err;
    EXPECT_NE(shortSweep.out.find(SyncLine(rigDefaultLatency)), std::string::npos);
    EXPECT_NE(shortSweep.out.find("Ch 1 (sweep): Return Level = -6.0 dB\n"), std::string::npos);
    // However fast the sweep, the flat loop reads flat in every band.
    ExpectFlat(TableRows(TableText(shortSweep.out)), 0.05, 0);
}

TEST(RigRun, TheHighestEndStillMeasures) {
    // An end of exactly half the sample rate is allowed: one band of Q 4
    // from 19200 Hz ends at 24000 Hz.
    const ProgramRun nyquist = RunOnRig("rig", "b 1\nf 19200\nt 0.5\nr");
    ASSERT_EQ(nyquist.exitStatus, 0) << nyquist.err;
    EXPECT_EQ(Count(nyquist.out, "Running Test..."), 1);
}

struct SetupFault {
    const char* device;
    const char* message;  // the text before ALSA's
    int error;            // the failing call's result, for ALSA's text
    bool onStandardOutput;
};

void PrintTo(const SetupFault& fault, std::ostream* os) {
    *os << fault.device;
}

class FaultDevice : public testing::TestWithParam<SetupFault> {};

TEST_P(FaultDevice, EndsTheProgramWithItsMessage) {
    const SetupFault& fault = GetParam();
    const ProgramRun run = RunOnRig(fault.device, "r");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    const std::string message = std::string(fault.message) + snd_strerror(fault.error) + "\n";
    // The fatal line's device, named on standard error after it.
    const std::string hint = DeviceHint(fault.device);
    if (fault.onStandardOutput) {
        EXPECT_EQ(run.err, hint);
        // The message is the last thing printed.
        ASSERT_GE(run.out.size(), message.size());
        EXPECT_EQ(run.out.substr(run.out.size() - message.size()), message);
    } else {
        EXPECT_EQ(run.err, message + hint);
        EXPECT_EQ(run.out.substr(run.out.size() - 18), kCommandListEnd);
    }
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_FALSE(run.resultsExist);
}

INSTANTIATE_TEST_SUITE_P(
    Rig, FaultDevice,
    testing::Values(
        SetupFault{"rig_nocapture", "unable to open pcm record device: ", -ENODEV, false},
        SetupFault{"rig_badformat_play", "Problem setting playback format: ", -EINVAL, false},
        SetupFault{"rig_badformat_rec", "Problem setting recording format: ", -EINVAL, false},
        SetupFault{"rig_badparams_play", "Problem setting playback parameters: ", -EINVAL, false},
        SetupFault{"rig_badparams_rec", "Could not set record hardware parameters: ", -EINVAL,
                   true}),
    [](const testing::TestParamInfo<SetupFault>& info) { return std::string(info.param.device); });

TEST(DeviceFailure, DeviceThatCannotTakeTwoChannelsIsAConfigurationFailure) {
    // Four-channel devices built from alsa-lib's own null device: the
    // transfer moves two channels a frame and must not hand such a device
    // two channels' worth of memory.
    const ConfigWith config(
        "zembrak_four_channels.conf",
        "pcm.four { type multi slaves.a { pcm \"null\" channels 4 }\n"
        "  bindings { 0 { slave a channel 0 } 1 { slave a channel 1 }\n"
        "             2 { slave a channel 2 } 3 { slave a channel 3 } } }\n"
        "pcm.four_rec { type asym playback.pcm \"rig\" capture.pcm \"four\" }\n");
    const std::string invalid = snd_strerror(-EINVAL);

    const ProgramRun play = RunProgram(Script("four", "t 1e-9\nr"), {config.Environment()}, 60);
    ExpectSetupFailure(play);
    EXPECT_EQ(play.err,
              "Problem setting playback parameters: " + invalid + "\n" + DeviceHint("four"));

    const ProgramRun record =
        RunProgram(Script("four_rec", "t 1e-9\nr"), {config.Environment()}, 60);
    ExpectSetupFailure(record);
    EXPECT_EQ(record.err, DeviceHint("four_rec"));
    const std::string message = "Could not set record hardware parameters: " + invalid + "\n";
    ASSERT_GE(record.out.size(), message.size());
    EXPECT_EQ(record.out.substr(record.out.size() - message.size()), message);
}

TEST(DeviceFailure, DeviceThatCannotRunAt48000IsAConfigurationFailure) {
    // A rig whose filter at 30 kHz needs a rate above 60000 Hz: asked for
    // 48000, it grants another rate, at which every band would be measured
    // at the wrong frequency.
    const ConfigWith config(
        "zembrak_fast_rate.conf",
        "pcm.fast { type rig filters [ { type lowpass freq 30000 } ] }\n"
        "pcm.fast_rec { type asym playback.pcm \"rig\" capture.pcm \"fast\" }\n");
    const std::string invalid = snd_strerror(-EINVAL);
    const std::string why = "not at the 48000 Hz a measurement needs.\n";

    const ProgramRun play = RunProgram(Script("fast", "t 1e-9\nr"), {config.Environment()}, 60);
    ExpectSetupFailure(play);
    EXPECT_NE(play.err.find(why + "Problem setting playback parameters: " + invalid + "\n"),
              std::string::npos)
        << play.err;

    const ProgramRun record =
        RunProgram(Script("fast_rec", "t 1e-9\nr"), {config.Environment()}, 60);
    ExpectSetupFailure(record);
    EXPECT_EQ(record.err, DeviceHint("fast_rec"));
    EXPECT_NE(record.out.find(why + "Could not set record hardware parameters: " + invalid + "\n"),
              std::string::npos)
        << record.out;
}

TEST(RigRun, SmallerPeriodWarnsOnceAndStillMeasures) {
    const ProgramRun run = RunOnRig("rig_period512", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, kWarning), 1);
    EXPECT_NE(run.out.find(std::string(kWarning) + "Running Test...\n"), std::string::npos);
    EXPECT_NE(run.out.find(SyncLine(rigDefaultLatency)), std::string::npos);
    ExpectFlat(TableRows(TableText(run.out)), 0.1);
}

// A device whose period is longer than the run's last part: every frame is
// still played and recorded, so every band reads as through a device with
// short periods (without the last part the top bands lost their sweep).
TEST(RigRun, PeriodLongerThanTheRunsLastPartStillMovesEveryFrame) {
    const ConfigWith config("bigp.conf", "pcm.bigp { type rig grant_period 65536 }\n");
    const ProgramRun big = RunProgram(Script("bigp", "t 1\nr"), {config.Environment()});
    const ProgramRun normal = RunOnRig("rig", "t 1\nr");
    ASSERT_FALSE(big.timedOut);
    ASSERT_EQ(big.exitStatus, 0) << big.err;
    EXPECT_EQ(Count(big.out, kWarning), 1);
    EXPECT_EQ(Count(big.out, kDamage), 0);
    const std::vector<BandRow> bigRows = TableRows(TableText(big.out));
    const std::vector<BandRow> rows = TableRows(TableText(normal.out));
    ASSERT_EQ(bigRows.size(), 31u);
    ASSERT_EQ(rows.size(), 31u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_NEAR(bigRows[i].level, rows[i].level, 0.05) << "band " << rows[i].band;
    }
}

TEST(RigRun, DropoutsInTheMeasuredSignalAreReported) {
    // Each device loses its chunk 100 (frames 102400 to 103423) once.
    for (const char* device : {"rig_xrun_play", "rig_xrun_rec"}) {
        SCOPED_TRACE(device);
        const ProgramRun run = RunOnRig(device, "r");
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string line =
            "Warning: 1 dropout(s) in the measured signal (playback underrun, capture overrun "
            "or short transfer): repeat the measurement.\n";
        EXPECT_NE(run.out.find("Running Test...\n" + line + "Ch 2 (sync)"), std::string::npos)
            << run.out;
        // The take is still analysed and saved.
        EXPECT_EQ(run.results, TableText(run.out));
        EXPECT_FALSE(run.results.empty());
    }
}

TEST(RigRun, MissingCableIsReportedAndNothingIsSaved) {
    const ProgramRun run = RunOnRig("rig_nocable", "r");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string expected =
        "Running Test...\nCh 2 (sync): Return Level = -inf dB\n"
        "Sync Out = 24032 \t Sync In = 0 samples\n" +
        std::string(kNoSync) + "Enter 'c' to continue\n";
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out, "Analyzing data..."), 0);
    EXPECT_FALSE(run.resultsExist);
}

TEST(RigRun, ResultsFileThatCannotBeWrittenIsReported) {
    // A directory in the results file's place cannot be opened for appending.
    const ProgramRun blocked = RunOnRig("rig", "r", [](const std::filesystem::path& dir) {
        std::filesystem::create_directory(dir / "sweep_out.txt");
    });
    ASSERT_EQ(blocked.exitStatus, 0) << blocked.err;
    const std::string table = TableText(blocked.out);
    ASSERT_FALSE(table.empty());
    EXPECT_NE(blocked.out.find("The results were not saved: sweep_out.txt could not be opened: " +
                               std::string(std::strerror(EISDIR)) + "\nEnter 'c' to continue\n"),
              std::string::npos)
        << blocked.out;

    // A full disk: the open works, the write does not.
    const ProgramRun full = RunOnRig("rig", "r", [](const std::filesystem::path& dir) {
        std::filesystem::create_symlink("/dev/full", dir / "sweep_out.txt");
    });
    ASSERT_EQ(full.exitStatus, 0) << full.err;
    EXPECT_NE(full.out.find("The results were not fully saved to sweep_out.txt: " +
                            std::string(std::strerror(ENOSPC)) + "\nEnter 'c' to continue\n"),
              std::string::npos)
        << full.out;
}

}  // namespace
