#pragma once

// What a measurement of the typical room should read, computed from the
// room's definition (its delay and its audio-EQ-cookbook biquads): the sweep
// as the program plays it, filtered and delayed as the room does, reduced to
// the mean magnitude per band in dB.

#include <cstdint>
#include <vector>

#include "run_support.h"

// One level per row (band edges taken from the rows) for a linear sweep of
// sweepFrames frames from startFrequency to the last row's upper edge.
std::vector<double> RoomBandLevels(const std::vector<BandRow>& rows, double startFrequency,
                                   std::int64_t sweepFrames, std::int64_t delay, double rate);

// Largest difference, in dB, between measured and expected levels over the
// bands whose lower edge is at least 100 Hz. Each is relative to its own
// loudest band, so the mean difference over those bands is taken out first.
double WorstBandError(const std::vector<BandRow>& rows, const std::vector<double>& expected);
