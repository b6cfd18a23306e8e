#pragma once

#include <cstdint>
#include <span>
#include <string>

// Level in dB of an amplitude ratio.
double RtodB(double ratio);

// Reduces the captured microphone channel to one level per band, writes the
// results table into resultsText (replacing what it held, growing it as
// needed) and prints it, then the bands without samples and the channel-1
// return level. Sweep sample j (frequency track[j]) is paired with
// micSamples[leadIn + syncOffset + j]; only the sweep's own samples,
// j < frameCount - 2 * leadIn, are visited, and never an index past either
// span. A band without usable samples shows the level -inf. Bands beyond the
// shorter edge span are left out.
void Analyze(std::int64_t frameCount, std::int32_t bandCount, std::span<const double> track,
             std::span<const std::int64_t> micSamples, std::int64_t syncOffset,
             std::span<const double> lowerEdges, std::span<const double> upperEdges,
             std::string& resultsText, std::int64_t leadIn);
