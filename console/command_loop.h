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
