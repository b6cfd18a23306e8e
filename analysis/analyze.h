#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Level in dB of an amplitude ratio.
double RtodB(double ratio);

// What the band analysis found.
struct AnalysisResult {
    // Per band, in dB relative to the loudest band mean; -inf for a band
    // without usable samples (none, or all of them zero).
    std::vector<double> levels;
    // Per band: no sample at all fell into it.
    std::vector<bool> missingData;
    // Largest magnitude among the visited samples, in dB re full scale.
    double returnLevel = 0.0;
};

// Reduces the captured microphone channel to one level per band. Sweep
// sample j (frequency track[j]) is paired with micSamples[leadIn +
// syncOffset + j]; only the sweep's own samples, j < frameCount - 2 *
// leadIn, are visited, and never an index past either span. Bands beyond the
// shorter edge span are left out.
AnalysisResult Analyze(std::int64_t frameCount, std::int32_t bandCount,
                       std::span<const double> track, std::span<const std::int64_t> micSamples,
                       std::int64_t syncOffset, std::span<const double> lowerEdges,
                       std::span<const double> upperEdges, std::int64_t leadIn);
