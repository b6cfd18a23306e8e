#pragma once

#include "console/input_reader.h"
#include "console/settings.h"

class PositionSession;

// The operator console: banner once, then one pass per command until "x" or
// the end of input. Returns the process's exit status. The loop starts with
// `initialSettings` (device and calibration from the command line). With a
// session (--average) every run is offered to it.
int RunCommandLoop(InputReader& reader, const TestSettings& initialSettings = {},
                   PositionSession* session = nullptr);

// Prints "Enter 'c' to continue" and reads words until one is exactly "c".
// Returns false when the input ends first.
bool ContinueWait(InputReader& reader);

// Sets the bands, Q and start frequency of preset 1 to 5, as "p" does.
void ApplyPreset(TestSettings& settings, int presetNumber);

// --measure: the banner, then `count` runs with the settings, each saved as
// usual, without reading any input. Returns the exit status: 0 when every
// take was clean, 3 when one was not (the runs go on), 2 when a run refused
// the settings and 1 when the device failed (both end the runs).
int RunMeasurements(const TestSettings& settings, int count, PositionSession* session = nullptr);
