#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "audio/play_rec.h"

// The line that shows a run in progress on a terminal: elapsed and total
// seconds, a progress bar, the peak level of input 1 in dBFS over the chunks
// read since the line was last drawn, and on input 2 the sync pulse's level
// held from the moment it came back (or that it has not come back yet),
// each marked when a sample reached full scale. It is drawn over itself with a carriage return at
// most ten times a second and erased before the next line is printed, so the screen afterwards
// reads as without it.
class LiveMeter {
  public:
    // Draws on `out` only when `enabled` (standard output is a terminal).
    LiveMeter(std::FILE* out, bool enabled, double rate);
    ~LiveMeter();  // erases the line
    LiveMeter(const LiveMeter&) = delete;
    LiveMeter& operator=(const LiveMeter&) = delete;

    // Takes one chunk's progress; draws when a tenth of a second has passed.
    void Update(const ChunkLevels& chunk);
    // Takes the line off the screen, if it is on it.
    void Erase();

  private:
    std::FILE* out_;
    bool enabled_;
    double rate_;
    ChunkLevels pending_;     // peaks since the line was last drawn
    double pulsePeak_ = 0.0;  // input 2's highest peak of the run
    bool pulseClipped_ = false;
    bool shown_ = false;
    std::chrono::steady_clock::time_point lastDrawn_{};
};

// Input 2's peak, as a share of full scale, from which on the sync pulse
// counts as come back (-40 dBFS): far above the noise of a looped-back
// input, far below the pulse after the cable.
constexpr double kPulseBackPeak = 0.01;

// The text of the line (no carriage return, no newline), 79 characters at
// most. levels.peak2 is input 2's held level: below kPulseBackPeak the line
// says that the pulse has not come back yet.
std::string MeterLine(const ChunkLevels& levels, double rate);
