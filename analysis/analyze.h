#pragma once

#include <cstdint>
#include <span>
#include <string>

// Level in dB of an amplitude ratio.
double RtodB(double ratio);

// Reduces the captured microphone channel to one level per band, writes the
// results table into resultsText (replacing what it held) and prints it.
void Analyze(std::int64_t frameCount, std::int32_t bandCount, std::span<const double> track,
             std::span<const std::int64_t> micSamples, std::int64_t syncOffset,
             std::span<const double> lowerEdges, std::span<const double> upperEdges,
             std::string& resultsText, std::int64_t leadIn);
