#pragma once

// What a measurement of a room should read, computed from the room's own
// definition (its audio-EQ-cookbook biquads): per band, the mean of |H(f)|^2
// over the band's frequencies that the sweep covers, in dB relative to the
// loudest band.

#include <complex>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "rig/room.h"
#include "run_support.h"

// The filters in cascade at frequency f: their complex response, and its
// magnitude squared.
std::complex<double> RoomResponse(std::span<const RigFilter> filters, double f, double rate);
double RoomPower(std::span<const RigFilter> filters, double f, double rate);

// One level per row (band edges taken from the rows) for a sweep from
// sweptLow to sweptHigh Hz; -inf for a band the sweep does not reach.
std::vector<double> RoomBandLevels(const std::vector<BandRow>& rows,
                                   std::span<const RigFilter> filters, double sweptLow,
                                   double sweptHigh, double rate);

// Largest difference, in dB, between measured and expected levels over all
// bands (both relative to their own loudest band).
double WorstBandError(const std::vector<BandRow>& rows, const std::vector<double>& expected);

// Runs every preset (through run, given the commands "p N" and "r") and
// checks each band within 0.5 dB of the room's band power; a room without
// filters (the flat loop) must read 0.0 in every band.
void ExpectEveryPresetReadsTheRoom(
    const std::function<ProgramRun(const std::string& commands)>& run,
    std::span<const RigFilter> filters);

// The run's impulse response file read back on its own: a 32-bit float mono
// WAV file at 48 kHz whose one cue point marks time zero, 1 s into the file,
// and whose peak lies delayFrames after it (within a few frames: the filters
// move the peak). Transformed whole, its power in each third octave (IEC
// nominal bands, centre within the swept range, over the part the sweep
// covers) relative to the 1 kHz band matches the room's band power within
// toleranceDb.
void ExpectImpulseFileReadsTheRoom(const ProgramRun& run, std::span<const RigFilter> filters,
                                   double sweptLow, double sweptHigh, int delayFrames,
                                   double toleranceDb = 0.1);
