#pragma once

// The time picture of a run: on the left the energy-time curve over the
// first 200 ms with the reflections marked, on the right the waterfall of
// 15..500 Hz over 0..500 ms with the modes labelled. Drawn with the same
// cairo layer as the response picture, into a PNG and an SVG file.

#include <cairo.h>

#include <string>
#include <vector>

#include "analysis/time_views.h"
#include "console/plot.h"
#include "console/run_files.h"

constexpr int kTimePlotWidth = 1600;
constexpr int kTimePlotHeight = 900;
constexpr double kEtcBottomDb = -60.0;  // the ETC's axis runs from 0 dB down to this
constexpr double kWaterfallDbSpan = 45.0;
constexpr double kWaterfallSliceStepSeconds = 0.02;  // one slice drawn every

struct TimePlotData {
    std::vector<std::string> titleLines;
    TimeViews views;
};

// Where things go on the picture.
struct TimePlotFrame {
    // The ETC's plotting area.
    double etcLeft = 80.0, etcTop = 130.0, etcRight = 760.0, etcBottom = 800.0;
    // The waterfall's slice at kWaterfallSeconds, in front: its frequency
    // axis and its 0 dB and -kWaterfallDbSpan rows; each earlier slice lies
    // further back, the first one moved by depthX, depthY.
    double fallLeft = 880.0, fallRight = 1460.0, fallTop = 480.0, fallBottom = 800.0;
    double depthX = 40.0, depthY = -220.0;

    double EtcX(double seconds) const;
    double EtcY(double db) const;  // clamped to the area
    double FallX(double frequency, double seconds) const;
    double FallY(double db, double seconds) const;  // clamped to the span
};

void DrawTimePlot(cairo_t* cr, const TimePlotData& data);

// Both pictures' bytes, PNG and SVG.
struct TimePictures {
    EncodedPicture png;
    EncodedPicture svg;
};
TimePictures EncodeTimePlot(const TimePlotData& data);

Written WriteTimePlotPng(int descriptor, const TimePlotData& data);
Written WriteTimePlotSvg(int descriptor, const TimePlotData& data);
