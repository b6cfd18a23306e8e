#include "console/command_loop.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/band_plan.h"
#include "base/version.h"
#include "console/calibration_file.h"
#include "console/measurement_run.h"
#include "console/options.h"
#include "console/position_session.h"
#include "console/run_report.h"
#include "console/settings.h"

namespace {

struct Preset {
    int bandCount;
    double q;
    double startFrequency;
};

constexpr Preset kPresets[5] = {
    {31, 4.0, 18.0}, {12, 1.3, 18.0}, {20, 6.0, 18.0}, {8, 2.0, 18.0}, {16, 5.0, 300.0},
};

void PrintBanner() {
    std::puts("//////////////////////////////////////////////////////////////////");
    std::puts("//  WARNING! This program will send a wide range of sine waves  //");
    std::puts("//  that are 6 dB below fullscale to your sound system.         //");
    std::puts("//  It is strongly recommended that you turn your amplifier to  //");
    std::puts("//  a very low setting initially to protect both your ears and  //");
    std::puts("//  your speakers.                                              //");
    std::puts("//////////////////////////////////////////////////////////////////");
}

// The level, when it is not the one the banner states.
void PrintLevelLine(const TestSettings& settings) {
    if (settings.levelDb == kDefaultSweepLevelDb) return;
    std::printf("Sweep level: %s dBFS, not the 6 dB below fullscale stated above.\n",
                FormatFixed(settings.levelDb, 1).c_str());
}

void PrintSummary(const TestSettings& settings, double endFrequency) {
    std::printf("\nQ: %1.f --- Bands: %i --- Length: %.1f sec\n", settings.q, settings.bandCount,
                settings.sweepLength);
    std::printf("Start: %.1f Hz --- End: %.1f Hz\n", settings.startFrequency, endFrequency);
    std::printf("Soundcard:  %s\n\n", Printable(settings.deviceName).c_str());
}

void PrintCommandList() {
    std::puts("Enter 'h' for help");
    std::puts("      'q' to adjust the Q");
    std::puts("      'b' to adjust the bands");
    std::puts("      'f' to adjust the starting frequency");
    std::puts("      't' to adjust the sweep time");
    std::puts("      'p' for quick presets");
    std::puts("      'c' to change soundcard device");
    std::puts("      'd' to display current band ranges");
    // "ro run" is the program's own text, kept as users know it.
    std::puts("      'r' ro run");
    std::puts("      'x' to exit");
}

void PrintHelp() {
    std::printf("%s (1h)\n", kProgramName);
    std::puts("A program for testing the frequency response of a room.\n");
    std::puts("This program requires a two channel interface.");
    std::puts("1. Attach your test microphone to channel 1.");
    std::puts("2. Attach output channel 2 to input channel 2.");
    std::puts("   (Channel 2 will be used to sync input and output signals.)");
    std::puts("3. Attach a splitter or mixer to channel 1's output to feed amp/speakers.");
    std::puts("\nIn summary:");
    std::puts("Mic >> Input 1");
    std::puts("Output 2 >> Input 2");
    std::puts("Output 1 >> mixer >> amp >> speakers\n");
    std::puts("Turn off soundcard monitor mixes to prevent feedback.");
    std::puts("\nAdd or remove bands to adjust the overall frequency range.");
    std::puts("Adjust Q to set bandwidth relative to frequency.");
    std::puts("After adjusting Q you will probably need to re-adjust number of bands.");
}

void PrintBandRanges(const BandPlan& plan, int bandCount) {
    std::puts("band\tlow\thigh");
    // The count is kept within the plan's capacity at the "b" prompt; the
    // bound here only keeps the screen inside the arrays.
    for (int i = 0; i < bandCount && i < kMaxBands; ++i) {
        std::printf("%i\t%.0f\t%.0f\n", i + 1, plan.lowerEdges[i], plan.upperEdges[i]);
    }
}

// The menu's lines leave their brackets open: that is the program's own
// text, kept as users know it.
void PrintPresetMenu() {
    std::puts("Enter:");
    std::puts("1.  Full Range and Narrow (18 Hz - 16 kHz, Q 4, 31 bands");
    std::puts("2.  Full Range and Wide (18 Hz - 16 kHz, Q 1.3, 12 bands");
    std::puts("3.  Detailed Bass (18 Hz - 355 Hz, Q 6, 20 bands");
    std::puts("4.  Rough Bass (18 Hz - 454 Hz, Q 2, 8 bands");
    std::puts("5.  Midrange (300 - 5.5 kHz, Q 5, 16 bands");
}

// Reads a number into `target`. A token that is no number leaves the setting
// as it was and stays unread for the next command word. False at end of input.
bool ReadSetting(InputReader& reader, double& target) {
    return ReadDouble(reader, target) != ReadResult::EndOfInput;
}

// Reads preset numbers until one is 1 to 5; other numbers and tokens that are
// no number are passed over without a word. False at end of input.
bool ReadPresetNumber(InputReader& reader, int& presetNumber) {
    presetNumber = 0;
    while (presetNumber < 1 || presetNumber > 5) {
        const ReadResult result = ReadInt(reader, presetNumber);
        if (result == ReadResult::EndOfInput) {
            return false;
        }
        if (result == ReadResult::NotANumber) {
            std::string skipped;
            ReadWord(reader, skipped);
        }
    }
    return true;
}

}  // namespace

void ApplyPreset(TestSettings& settings, int presetNumber) {
    if (presetNumber < 1 || presetNumber > 5) return;
    const Preset& preset = kPresets[presetNumber - 1];
    settings.bandCount = preset.bandCount;
    settings.q = preset.q;
    settings.startFrequency = preset.startFrequency;
}

namespace {

// The lines every session opens with: the banner, the sweep's level when
// it is not the default, the calibration and the average.
void PrintOpening(const TestSettings& settings, const PositionSession* session) {
    PrintBanner();
    PrintLevelLine(settings);
    PrintCalibrationLine(settings);
    if (session != nullptr) {
        std::printf("Averaging positions (%s): every clean run of the same settings is added.\n",
                    AverageName(session->Kind()));
    }
}

}  // namespace

int RunMeasurements(const TestSettings& settings, int count, PositionSession* session) {
    BandPlan plan;
    std::vector<std::int64_t> syncOut(kSyncLength);
    std::vector<std::int64_t> syncIn(kSyncLength);
    PrintOpening(settings, session);
    const double endFrequency = FindHighFreq(
        settings.q, settings.bandCount, settings.startFrequency, plan.lowerEdges, plan.upperEdges);
    PrintSummary(settings, endFrequency);
    int status = 0;
    for (int i = 1; i <= count; ++i) {
        std::printf("Measurement %d of %d\n", i, count);
        switch (RunMeasurement(settings, plan, endFrequency, syncOut, syncIn, session)) {
            case RunOutcome::DeviceFailed:
            case RunOutcome::DeviceRefused:
                return 1;
            case RunOutcome::Refused:
                return 2;
            case RunOutcome::Flawed:
                status = 3;
                break;
            case RunOutcome::Completed:
                break;
        }
    }
    return status;
}

bool ContinueWait(InputReader& reader) {
    std::string word;
    do {
        std::puts("Enter 'c' to continue");
        if (ReadWord(reader, word) == ReadResult::EndOfInput) {
            return false;
        }
    } while (word != "c");
    return true;
}

int RunCommandLoop(InputReader& reader, const TestSettings& initialSettings,
                   PositionSession* session) {
    TestSettings settings = initialSettings;
    BandPlan plan;
    std::vector<std::int64_t> syncOut(kSyncLength);
    std::vector<std::int64_t> syncIn(kSyncLength);
    std::string commandWord;

    PrintOpening(settings, session);
    for (;;) {
        // The plan follows the settings as they stand when the pass begins.
        const double endFrequency =
            FindHighFreq(settings.q, settings.bandCount, settings.startFrequency, plan.lowerEdges,
                         plan.upperEdges);
        PrintSummary(settings, endFrequency);
        PrintCommandList();
        // End of input at any read ends the program as "x" does.
        if (ReadWord(reader, commandWord) == ReadResult::EndOfInput) {
            return 0;
        }

        if (commandWord == "x") {
            return 0;
        } else if (commandWord == "r") {
            const RunOutcome outcome =
                RunMeasurement(settings, plan, endFrequency, syncOut, syncIn, session);
            if (outcome == RunOutcome::DeviceFailed) return 1;
            // A refused run waits as a finished one does.
            if (!ContinueWait(reader)) {
                return 0;
            }
        } else if (commandWord == "h") {
            PrintHelp();
            if (!ContinueWait(reader)) {
                return 0;
            }
        } else if (commandWord == "c") {
            std::puts("Enter soundcard device name");
            if (ReadWord(reader, commandWord) == ReadResult::EndOfInput) {
                return 0;
            }
            if (commandWord.size() > kMaxDeviceNameLength) {
                std::printf("Device name longer than %zu characters, not changed.\n",
                            kMaxDeviceNameLength);
            } else {
                settings.deviceName = commandWord;
            }
        } else if (commandWord == "q") {
            std::puts("Enter Q (larger = narrower bandwidth)");
            if (!ReadSetting(reader, settings.q)) {
                return 0;
            }
        } else if (commandWord == "f") {
            std::puts("Enter starting frequency");
            if (!ReadSetting(reader, settings.startFrequency)) {
                return 0;
            }
        } else if (commandWord == "t") {
            std::puts("Enter sweep length");
            if (!ReadSetting(reader, settings.sweepLength)) {
                return 0;
            }
        } else if (commandWord == "b") {
            std::puts("Enter number of bands");
            int bandCount = 0;
            const ReadResult result = ReadInt(reader, bandCount);
            if (result == ReadResult::EndOfInput) {
                return 0;
            }
            if (result == ReadResult::Value) {
                if (bandCount > kMaxBands) {
                    std::printf("Band count above %i is not supported, not changed.\n", kMaxBands);
                } else {
                    settings.bandCount = bandCount;
                }
            }
        } else if (commandWord == "d") {
            PrintBandRanges(plan, settings.bandCount);
            if (!ContinueWait(reader)) {
                return 0;
            }
        } else if (commandWord == "p") {
            PrintPresetMenu();
            int presetNumber = 0;
            if (!ReadPresetNumber(reader, presetNumber)) {
                return 0;
            }
            ApplyPreset(settings, presetNumber);
        }
        // Any other word is no command: the next pass shows the menu again.
    }
}
