#pragma once

#include <cstdint>
#include <span>

// Capacity of the band plan.
constexpr int kMaxBands = 1024;

// Band i + 1 runs from lowerEdges[i] to upperEdges[i] (Hz).
struct BandPlan {
    double lowerEdges[kMaxBands] = {};
    double upperEdges[kMaxBands] = {};
};

// Converts toward zero to a signed 32-bit integer without undefined
// behaviour: values beyond the range saturate at the nearest bound, NaN gives 0.
std::int32_t CutToInt32(double value);

// Fills the first bandCount entries of both arrays (at most their size) and
// returns the end frequency: the last upper edge, or the cut start frequency
// when bandCount <= 0.
double FindHighFreq(double q, int bandCount, double startFrequency, std::span<double> lowerEdges,
                    std::span<double> upperEdges);
