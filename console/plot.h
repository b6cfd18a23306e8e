#pragma once

// The picture of a run: the measured response over a logarithmic frequency
// axis, the table's band levels as steps on the same dB scale, the noise
// floor, and a title. The picture of an average of several positions adds
// each position thin beneath it and their spread as a shaded band. One
// drawing function serves both the PNG and the SVG file; the axis arithmetic
// is kept in small functions of its own.

#include <cairo.h>

#include <ctime>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "console/run_description.h"
#include "console/run_files.h"

// Size of both pictures, in pixels (PNG) and points (SVG).
constexpr int kPlotWidth = 1600;
constexpr int kPlotHeight = 900;

// The frequency axis never reaches outside this range, whatever it is given.
constexpr double kPlotMinFrequency = 1.0;
constexpr double kPlotMaxFrequency = 1.0e6;
// The shortest frequency axis drawn: one decade.
constexpr double kPlotMinSpan = 10.0;
// Height of the dB axis.
constexpr double kPlotDbSpan = 50.0;
// The top of the dB axis never leaves this range (dB).
constexpr double kPlotMaxDbTop = 500.0;

constexpr double kPlotNoLevel = std::numeric_limits<double>::quiet_NaN();

// A curve: level (dB, or % for a percent curve) at each frequency (Hz).
// Points whose frequency or level is not finite, or whose frequency is not
// positive, are left out and break the line. Only the first
// min(frequencies.size(), levels.size()) points are used.
struct PlotCurve {
    std::vector<double> frequencies;
    std::vector<double> levels;
};

// One band of the table: its edges (Hz) and its level in dB relative to the
// table's 0 dB. A level that is not finite (missing, -inf) draws nothing.
struct PlotBand {
    double lowerFrequency = 0.0;
    double upperFrequency = 0.0;
    double level = kPlotNoLevel;
};

enum class PlotScale {
    kDb,       // on the left dB axis, like the response
    kPercent,  // on a right axis in %, from 0 up
};

// A further curve (a distortion figure, for one), drawn only when present,
// and the limit below which it cannot be measured (the noise's), drawn thin
// and dashed in the same colour, with a legend entry of its own when it has
// a point to show.
struct PlotExtraCurve {
    std::string label;
    PlotCurve curve;
    PlotScale scale = PlotScale::kDb;
    PlotCurve limit = {};
    std::string limitLabel = {};
};

// A further curve on the dB axis, in its own colour, solid or dashed.
struct PlotLine {
    std::string label;
    PlotCurve curve;
    double red = 0.0, green = 0.0, blue = 0.0;
    bool dashed = false;
};

struct PlotData {
    // The first line is set larger than the others.
    std::vector<std::string> titleLines;
    PlotCurve response;
    std::string responseLabel = "Response, 1/12-octave smoothing";
    std::vector<PlotBand> bands;
    // The level of the response axis at which the table's 0 dB sits. When
    // not finite, TableZeroLevel(response, bands) places it.
    double tableZeroLevel = kPlotNoLevel;
    // The noise floor measured before the sweep; empty when there is none.
    PlotCurve noiseFloor;
    // The swept range (Hz).
    double lowFrequency = 0.0;
    double highFrequency = 0.0;
    std::optional<PlotExtraCurve> extra;
    // Further responses drawn thin beneath the response (the positions of an
    // average), all in one muted colour, with one legend entry (backgroundLabel)
    // when there is any. With any of them the response is drawn thicker, to
    // stand out as their average.
    std::vector<PlotCurve> backgroundCurves;
    std::string backgroundLabel;
    // A shaded band between two curves given at the same frequencies (the
    // lowest and highest level of the positions at each frequency), drawn
    // beneath everything else but the grid, with a legend entry (spreadLabel)
    // when it has a point to show. Points where either level is not finite,
    // where the frequency is not usable, or where the two curves' frequencies
    // differ break the band; points beyond the shortest of the four vectors
    // are not used.
    PlotCurve spreadLow;
    PlotCurve spreadHigh;
    std::string spreadLabel;
    // Lines of text set in a box in the lower right corner of the plot.
    std::vector<std::string> cornerLines;
    // Further curves on the dB axis (a correction's predicted response and
    // its target), drawn over the response, each with a legend entry.
    std::vector<PlotLine> lines;
};

// The frequency axis for a swept range. An unusable range (not finite, not
// positive, low >= high) gives 20 Hz to 20 kHz with valid false, and the
// picture then shows its axes only. A usable range is kept within
// [kPlotMinFrequency, kPlotMaxFrequency] and widened about its geometric
// centre to at least kPlotMinSpan.
struct FrequencyRange {
    double low = 20.0;
    double high = 20000.0;
    bool valid = false;
};
FrequencyRange PlotFrequencyRange(double sweptLow, double sweptHigh);

// Horizontal position of frequency f on a logarithmic axis that puts low at
// left and high at right. NaN when f is not a positive finite number or the
// axis is not a positive range.
double FrequencyToX(double f, double low, double high, double left, double right);

// Vertical position of a level on a linear axis that puts bottomLevel at
// bottomY and topLevel at topY. NaN when the level is not finite.
double LevelToY(double level, double bottomLevel, double topLevel, double bottomY, double topY);

// A grid line of the frequency axis: every m * 10^k Hz, m = 1..9, inside
// [low, high]; the 1-2-5 values are labelled (all of them when fewer than
// kPlotFewLabels would be), the 1s are decades.
constexpr int kPlotFewLabels = 5;
struct FrequencyTick {
    double frequency = 0.0;
    bool labelled = false;
    bool decade = false;
};
// Empty for a range that PlotFrequencyRange would not return as valid.
std::vector<FrequencyTick> FrequencyTicks(double low, double high);

// "20", "100", "1k", "2k", "10k", "20k", "1.5k", "1M".
std::string FrequencyLabel(double frequency);

// The dB axis: kPlotDbSpan tall, its top a multiple of 5 dB at least 1 dB
// above maxLevel (the highest level drawn). A maxLevel that is not finite
// gives 0 dB at the top; the top stays within +-kPlotMaxDbTop.
struct DbRange {
    double bottom = -kPlotDbSpan;
    double top = 0.0;
};
DbRange PlotDbRange(double maxLevel);

// The right axis of a percent curve: from 0 to the smallest 1-2-5 value at
// or above maxPercent, at least 0.1 % and at most 1000 %.
double PercentAxisTop(double maxPercent);

// The response's level over a band: the power mean of its points with
// lower <= f <= upper. NaN when no usable point lies in the band.
double BandLevelOfResponse(const PlotCurve& response, double lower, double upper);

// Where the table's 0 dB goes on the response axis: the loudest of the
// response's levels over the bands that have a level. NaN when there is none.
double TableZeroLevel(const PlotCurve& response, const std::vector<PlotBand>& bands);

// Everything the drawing places things by, for a picture of the given size.
struct PlotFrame {
    double left = 0.0;  // the plotting area, in picture coordinates
    double top = 0.0;
    double right = 0.0;
    double bottom = 0.0;
    FrequencyRange frequencies;
    DbRange levels;
    double tableZero = 0.0;            // where the table's 0 dB sits on the dB axis
    double percentTop = kPlotNoLevel;  // top of the right axis; NaN without one
};
PlotFrame FramePlot(const PlotData& data, double width, double height);

struct PlotRgb {
    double red;
    double green;
    double blue;
};
constexpr PlotRgb kResponseRgb{0.05, 0.30, 0.75};
constexpr PlotRgb kBandRgb{0.90, 0.42, 0.00};
constexpr PlotRgb kNoiseRgb{0.55, 0.55, 0.55};
constexpr PlotRgb kExtraRgb{0.60, 0.10, 0.55};
// The positions of an average: a muted blue-green grey, apart from the
// noise floor's neutral grey and the response's blue.
constexpr PlotRgb kBackgroundRgb{0.40, 0.56, 0.56};
constexpr double kBackgroundAlpha = 0.85;
// The spread band: the response's blue laid thinly over the picture.
constexpr PlotRgb kSpreadRgb = kResponseRgb;
constexpr double kSpreadAlpha = 0.2;
// Line widths of the response, alone and as the average of positions drawn
// beneath it, and of each position.
constexpr double kResponseWidth = 3.0;
constexpr double kAverageWidth = 5.0;
constexpr double kBackgroundWidth = 1.2;

// "Sweep 2026-12-07 13:05:12, device rig",
// "Q 4, 31 bands, start 18 Hz, length 10 s, linear sweep, acoustic delay 2.92 ms",
// and "Calibration: ..." when there is one. acousticDelay in seconds, not
// finite when none was found.
std::vector<std::string> PlotTitleLines(const RunDescription& run, double acousticDelay);

// Draws the whole picture on cr, which covers width x height units.
void DrawPlot(cairo_t* cr, const PlotData& data, double width, double height);

// Writes the picture (kPlotWidth x kPlotHeight) to the open file and
// completes it (fsync and close, always).
Written WritePlotPng(int descriptor, const PlotData& data);
Written WritePlotSvg(int descriptor, const PlotData& data);

// text with every byte that is not well-formed UTF-8 replaced by '?', as
// cairo sets it.
std::string PictureText(const std::string& text);

// Any picture of width x height drawn by draw, written the same way.
using PictureDrawing = std::function<void(cairo_t*)>;
Written WritePicturePng(int descriptor, int width, int height, const PictureDrawing& draw);
Written WritePictureSvg(int descriptor, int width, int height, const PictureDrawing& draw);

// The same pictures' bytes, to be written later (a picture can be made on
// a thread of its own while other files are written), and their writing.
using EncodedPicture = Outcome<std::vector<unsigned char>, WriteFailure>;
EncodedPicture EncodePicturePng(int width, int height, const PictureDrawing& draw);
EncodedPicture EncodePictureSvg(int width, int height, const PictureDrawing& draw);
Written WriteEncoded(int descriptor, const EncodedPicture& encoded);
