#pragma once

// zembrak --average-files: the average of saved response files.

#include "console/options.h"

// Reads every file of options.files, averages them (by options.average's
// kind, power by default) on a 1/96-octave grid over the range they all
// cover, prints the average's band table for the default band plan and
// writes the average's response file and picture in the working directory.
// A file that cannot be read, or shares no range with the others, is named
// on standard error and nothing is written. Returns the exit status: 0, 2
// for a refused file, 1 when the files could not be written.
int AverageResponseFiles(const ProgramOptions& options);
