#pragma once

// The room measured at several microphone positions: their average and the
// spread across them. A position is kept as its response at the points of
// a 1/96-octave grid, its bands' powers and a few acoustic values (some
// kilobytes), never as a whole transform, so that a session of a hundred
// positions holds a few megabytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/acoustics.h"
#include "analysis/evaluation.h"
#include "analysis/transfer.h"

enum class AverageKind {
    // The mean of |H|^2 at each frequency, each position's level kept as
    // measured: the room as a whole.
    Power,
    // The mean of H itself after each position is moved back by its own
    // acoustic delay: for positions close together, where the direct sound
    // and the early response line up.
    Vector,
};

// Points per octave of the grid the positions are averaged on, and of the
// picture's smoothing.
constexpr int kAverageGridPerOctave = 96;
constexpr int kAveragePicturePerOctave = 12;

// The acoustic values averaged across positions, in this order.
constexpr int kAveragedValueCount = 3;
enum class AveragedValue { T30 = 0, EDT = 1, C80 = 2 };

struct Position {
    // H at rising frequencies, on a grid shared by every position of the
    // average.
    std::vector<ResponsePoint> response;
    // Per band: the mean of |H|^2 over the band; NaN for a band without data.
    std::vector<double> bandPowers;
    double delaySeconds = 0.0;  // the direct sound after time zero
    // Per octave of kOctaveNominalHz: T30 and EDT (s), C80 (dB), where given.
    std::array<std::array<std::optional<double>, kAveragedValueCount>, kOctaveBandCount>
        acoustics{};
};

// The position a run's result describes: its response points, the bands'
// powers over every bin of H, its delay and its acoustics.
Position PositionOf(const RunResult& result);

// Why a take is not added to an average.
enum class Exclusion {
    None,
    NoResponse,  // the response could not be computed
    Dropouts,    // frames were lost in the measured signal
    Clipped,     // input 1 reached full scale
    Silent,      // input 1 held nothing
    TooLow,      // input 1 was too low to measure
    Disturbed,   // something other than the room was in the take
};
Exclusion ExclusionOf(const RunResult& result, std::int64_t damagingFaults);

// Whether b lies on a's grid (the same points, to a millionth of their
// frequency), so that the two can be averaged point by point.
bool SameGrid(std::span<const ResponsePoint> a, std::span<const ResponsePoint> b);

// One point of an average: the average's level and phase (0 for a power
// average), and the positions' lowest and highest levels and their standard
// deviation (n - 1 in the denominator; 0 for a single position), in dB.
struct SpreadPoint {
    double frequency = 0.0;
    double levelDb = 0.0;
    double phaseDegrees = 0.0;
    double lowestDb = 0.0;
    double highestDb = 0.0;
    double deviationDb = 0.0;
};

// One band: the average's level relative to the average's loudest band, the
// positions' lowest and highest levels on the same scale, and their standard
// deviation in dB.
struct BandSpread {
    bool missing = true;
    double level = 0.0;
    double lowest = 0.0;
    double highest = 0.0;
    double deviationDb = 0.0;
};

// One acoustic value across the positions that gave it: their mean, lowest,
// highest and standard deviation; count 0 when none did.
struct ValueSpread {
    int count = 0;
    double mean = 0.0;
    double lowest = 0.0;
    double highest = 0.0;
    double deviation = 0.0;
};

struct PositionAverage {
    AverageKind kind = AverageKind::Power;
    std::size_t positions = 0;
    std::vector<SpreadPoint> response;  // on the positions' grid
    // The picture's curves: the average and every position as power means
    // over 1/12 octave of the grid (each point weighted by the width of
    // frequency it stands for), with the positions' lowest and highest.
    std::vector<SpreadPoint> smoothed;
    std::vector<std::vector<ResponsePoint>> smoothedPositions;
    std::vector<BandSpread> bands;
    std::array<std::array<ValueSpread, kAveragedValueCount>, kOctaveBandCount> acoustics{};
};

// The average of positions on one grid with the same bands. The power
// average's band level is the mean of the positions' band powers; the vector
// average's is the band's mean over the averaged grid (GridBandPower). An
// empty span, or positions of unlike grids or band counts, gives an average
// of no positions.
PositionAverage AveragePositions(std::span<const Position> positions, AverageKind kind,
                                 std::span<const double> lowerEdges,
                                 std::span<const double> upperEdges);

// The mean of |H|^2 over the grid's points from lower to upper Hz, each
// point weighted by its frequency (the width of frequency a point of a
// logarithmic grid stands for), so that it approximates the mean over
// evenly spaced bins. NaN when no point lies in the band.
double GridBandPower(std::span<const ResponsePoint> points, double lower, double upper);

// The range every response covers: from the highest first frequency to the
// lowest last one. Nothing when they share no range (or one is empty); then
// `apart` is the index of a response that shares none with an earlier one.
struct CommonRange {
    double low = 0.0;
    double high = 0.0;
};
std::optional<CommonRange> SharedRange(std::span<const std::vector<ResponsePoint>> responses,
                                       std::size_t* apart = nullptr);

// The response at pointsPerOctave points from low up to high: the level
// linear in log frequency between the two neighbouring points, the phase
// likewise after it is unwrapped. The points must rise and cover the range.
std::vector<ResponsePoint> ResampleResponse(std::span<const ResponsePoint> points, double low,
                                            double high, int pointsPerOctave);
