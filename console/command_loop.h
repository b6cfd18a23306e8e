#pragma once

#include "console/input_reader.h"

// The operator console: banner once, then one pass per command until "x" or
// the end of input. Returns the process's exit status.
int RunCommandLoop(InputReader& reader);

// Prints "Enter 'c' to continue" and reads words until one is exactly "c".
// Returns false when the input ends first.
bool ContinueWait(InputReader& reader);
