#include "console/time_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console/formatted.h"
#include "console/plot.h"

namespace {

constexpr const char* kFont = "DejaVu Sans";

void SetRgb(cairo_t* cr, PlotRgb rgb) {
    cairo_set_source_rgb(cr, rgb.red, rgb.green, rgb.blue);
}

void Text(cairo_t* cr, const std::string& text, double x, double y, double size, double align = 0.0,
          bool bold = false) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    const std::string safe = PictureText(text);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, safe.c_str(), &extents);
    cairo_move_to(cr, x - align * extents.x_advance, y);
    cairo_show_text(cr, safe.c_str());
}

// Text turned to read upwards, starting at (x, y).
void UpText(cairo_t* cr, const std::string& text, double x, double y, double size) {
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_rotate(cr, -0.5 * 3.14159265358979323846);
    Text(cr, text, 0.0, 0.0, size);
    cairo_restore(cr);
}

void Line(cairo_t* cr, double x0, double y0, double x1, double y1) {
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
    cairo_stroke(cr);
}

void DrawEtc(cairo_t* cr, const TimePlotFrame& f, const TimeViews& views) {
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    cairo_set_line_width(cr, 1.0);
    for (int ms = 0; ms <= 200; ms += 20) {
        const double x = f.EtcX(ms / 1000.0);
        Line(cr, x, f.etcTop, x, f.etcBottom);
    }
    for (double db = 0.0; db >= kEtcBottomDb; db -= 10.0)
        Line(cr, f.etcLeft, f.EtcY(db), f.etcRight, f.EtcY(db));
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    for (int ms = 0; ms <= 200; ms += 20)
        Text(cr, std::to_string(ms), f.EtcX(ms / 1000.0), f.etcBottom + 20, 14, 0.5);
    for (double db = 0.0; db >= kEtcBottomDb; db -= 10.0)
        Text(cr, Format("%.0f", db), f.etcLeft - 8, f.EtcY(db) + 5, 14, 1.0);
    Text(cr, "Time after the direct sound (ms)", 0.5 * (f.etcLeft + f.etcRight), f.etcBottom + 42,
         15, 0.5);
    UpText(cr, "ETC (dB re direct sound)", f.etcLeft - 50, 0.5 * (f.etcTop + f.etcBottom) + 80, 15);
    cairo_rectangle(cr, f.etcLeft, f.etcTop, f.etcRight - f.etcLeft, f.etcBottom - f.etcTop);
    cairo_stroke(cr);
    Text(cr, "Energy-time curve, window 0-200 ms", f.etcLeft, f.etcTop - 34, 16, 0.0, true);
    const double resolution =
        views.etcHighHz > views.etcLowHz ? 1000.0 / (views.etcHighHz - views.etcLowHz) : 0.0;
    Text(cr,
         "Band " + Format("%.0f", views.etcLowHz) + "-" + Format("%.0f", views.etcHighHz) +
             " Hz (Hann), resolution " + Format("%.2f", resolution) + " ms",
         f.etcLeft, f.etcTop - 12, 14);

    cairo_save(cr);
    cairo_rectangle(cr, f.etcLeft, f.etcTop, f.etcRight - f.etcLeft, f.etcBottom - f.etcTop);
    cairo_clip(cr);
    // Threshold and noise floor, dashed.
    const double dash[] = {8.0, 5.0};
    cairo_set_dash(cr, dash, 2, 0.0);
    SetRgb(cr, kBandRgb);
    Line(cr, f.etcLeft, f.EtcY(views.reflectionFloorDb), f.etcRight,
         f.EtcY(views.reflectionFloorDb));
    if (views.noiseFloorDb) {
        SetRgb(cr, kNoiseRgb);
        Line(cr, f.etcLeft, f.EtcY(*views.noiseFloorDb), f.etcRight, f.EtcY(*views.noiseFloorDb));
    }
    cairo_set_dash(cr, nullptr, 0, 0.0);
    // The curve: the highest level in each pixel column.
    SetRgb(cr, kResponseRgb);
    cairo_set_line_width(cr, 1.5);
    bool started = false;
    double column = -1.0, top = 0.0;
    for (std::size_t n = 0; n < views.etcDb.size(); ++n) {
        const double x = f.EtcX(static_cast<double>(n) * views.etcStepSeconds);
        const double y = f.EtcY(views.etcDb[n]);
        if (std::floor(x) != column || n + 1 == views.etcDb.size()) {
            if (column >= 0.0) {
                if (started)
                    cairo_line_to(cr, column + 0.5, top);
                else
                    cairo_move_to(cr, column + 0.5, top);
                started = true;
            }
            column = std::floor(x);
            top = y;
        }
        top = std::min(top, y);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
    // The reflections: a mark and, where there is room, delay and level,
    // above the mark or, where the label before is too near, below it.
    double lastAbove = -1e9, lastBelow = -1e9;
    for (const Reflection& r : views.reflections) {
        const double x = f.EtcX(r.seconds), y = f.EtcY(r.levelDb);
        SetRgb(cr, kBandRgb);
        cairo_arc(cr, x, y, 4.0, 0.0, 2.0 * 3.14159265358979323846);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        const std::string label =
            Format("%.2f ms ", r.seconds * 1000.0) + Format("%.1f dB", r.levelDb);
        cairo_set_font_size(cr, 13);
        cairo_text_extents_t extents;
        cairo_text_extents(cr, label.c_str(), &extents);
        const bool roomAbove = y - 8.0 - extents.x_advance >= f.etcTop + 4.0;
        if (roomAbove && x - lastAbove >= 16.0) {
            lastAbove = x;
            UpText(cr, label, x + 5, y - 8.0, 13);
        } else if (x - lastBelow >= 16.0) {
            lastBelow = x;
            UpText(cr, label, x + 5, y + 10.0 + extents.x_advance, 13);
        }
    }
    // What follows is drawn in black, whether or not the last mark had a label.
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
}

void DrawSlices(cairo_t* cr, const TimePlotFrame& f, const Waterfall& w) {
    // From the first slice at the back to the last in front, each hiding
    // what lies behind it.
    const auto every =
        static_cast<std::size_t>(std::lround(kWaterfallSliceStepSeconds / kWaterfallStepSeconds));
    const std::size_t last = (w.levels.size() - 1) / every * every;
    for (std::size_t s = 0; s <= last; s += every) {
        const double t = w.times[s];
        const std::vector<float>& row = w.levels[s];
        cairo_move_to(cr, f.FallX(w.frequencies.front(), t), f.FallY(-kWaterfallDbSpan, t));
        for (std::size_t k = 0; k < row.size(); ++k)
            cairo_line_to(cr, f.FallX(w.frequencies[k], t), f.FallY(row[k], t));
        cairo_line_to(cr, f.FallX(w.frequencies.back(), t), f.FallY(-kWaterfallDbSpan, t));
        cairo_close_path(cr);
        cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
        cairo_fill_preserve(cr);
        cairo_new_path(cr);
        cairo_move_to(cr, f.FallX(w.frequencies.front(), t), f.FallY(row.front(), t));
        for (std::size_t k = 1; k < row.size(); ++k)
            cairo_line_to(cr, f.FallX(w.frequencies[k], t), f.FallY(row[k], t));
        if (s == 0) {
            SetRgb(cr, kResponseRgb);
            cairo_set_line_width(cr, 2.0);
        } else {
            const double fade = 0.8 * t / kWaterfallSeconds;
            cairo_set_source_rgb(cr, 0.10 + fade * 0.6, 0.45 + fade * 0.4, 0.45 + fade * 0.4);
            cairo_set_line_width(cr, 1.0);
        }
        cairo_stroke(cr);
    }
}

void DrawWaterfall(cairo_t* cr, const TimePlotFrame& f, const TimeViews& views) {
    const Waterfall& w = views.waterfall;
    Text(cr, "Waterfall 15-500 Hz, 0-500 ms, a slice every 20 ms", f.fallLeft, f.etcTop - 34, 16,
         0.0, true);
    Text(cr,
         "Window " + Format("%.0f", kWaterfallWindowSeconds * 1000.0) +
             " ms (flat, half-Hann fall), resolution " + Format("%.1f", w.resolutionHz) + " Hz",
         f.fallLeft, f.etcTop - 12, 14);
    cairo_set_line_width(cr, 1.0);
    if (w.levels.empty()) {
        cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
        Text(cr, "No waterfall: the response is too short", f.fallLeft + 20, f.fallTop + 40, 16);
    }
    if (!w.levels.empty()) DrawSlices(cr, f, w);
    // Axes: frequency along the last slice in front, dB at the first
    // slice's left at the back, time along the depth on the right.
    const double front = kWaterfallSeconds;
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    Line(cr, f.FallX(kWaterfallLowHz, front), f.fallBottom, f.FallX(kWaterfallHighHz, front),
         f.fallBottom);
    Line(cr, f.FallX(kWaterfallLowHz, 0.0), f.FallY(-kWaterfallDbSpan, 0.0),
         f.FallX(kWaterfallLowHz, 0.0), f.FallY(0.0, 0.0));
    Line(cr, f.FallX(kWaterfallHighHz, 0.0), f.FallY(-kWaterfallDbSpan, 0.0),
         f.FallX(kWaterfallHighHz, front), f.FallY(-kWaterfallDbSpan, front));
    for (double hz : {20.0, 30.0, 50.0, 100.0, 200.0, 300.0, 500.0}) {
        const double x = f.FallX(hz, front);
        Line(cr, x, f.fallBottom, x, f.fallBottom + 5);
        Text(cr, Format("%.0f", hz), x, f.fallBottom + 20, 14, 0.5);
    }
    Text(cr, "Frequency (Hz)", 0.5 * (f.fallLeft + f.fallRight), f.fallBottom + 42, 15, 0.5);
    const double axisX = f.FallX(kWaterfallLowHz, 0.0);
    for (double db = 0.0; db >= -kWaterfallDbSpan; db -= 10.0) {
        Line(cr, axisX - 5, f.FallY(db, 0.0), axisX, f.FallY(db, 0.0));
        Text(cr, Format("%.0f", db), axisX - 8, f.FallY(db, 0.0) + 5, 14, 1.0);
    }
    UpText(cr, "dB re first slice", axisX - 45, f.FallY(-kWaterfallDbSpan, 0.0) - 10, 15);
    for (int ms = 0; ms <= 500; ms += 100) {
        const double t = ms / 1000.0;
        const double x = f.FallX(kWaterfallHighHz, t), y = f.FallY(-kWaterfallDbSpan, t);
        Line(cr, x, y, x + 6, y);
        Text(cr, std::to_string(ms) + " ms", x + 9, y + 5, 13);
    }
    if (w.levels.empty()) return;
    // The modes on the first slice.
    for (const RoomMode& m : views.modes) {
        if (m.frequency < kWaterfallLowHz || m.frequency > kWaterfallHighHz) continue;
        std::size_t k = static_cast<std::size_t>(
            std::lower_bound(w.frequencies.begin(), w.frequencies.end(), m.frequency) -
            w.frequencies.begin());
        k = std::min(k, w.frequencies.size() - 1);
        const double x = f.FallX(m.frequency, 0.0), y = f.FallY(w.levels.front()[k], 0.0);
        SetRgb(cr, kExtraRgb);
        cairo_arc(cr, x, y, 4.0, 0.0, 2.0 * 3.14159265358979323846);
        cairo_fill(cr);
        UpText(cr,
               Format("%.0f Hz ", m.frequency) + (m.t60 ? Format("T60 %.2f s", *m.t60) : "T60 -"),
               x + 4, y - 8, 13);
    }
}

}  // namespace

double TimePlotFrame::EtcX(double seconds) const {
    return etcLeft + (etcRight - etcLeft) * std::clamp(seconds / kEtcPictureSeconds, -0.01, 1.01);
}

double TimePlotFrame::EtcY(double db) const {
    if (!std::isfinite(db)) db = kEtcBottomDb;
    return etcTop + (etcBottom - etcTop) * std::clamp(db / kEtcBottomDb, 0.0, 1.0);
}

double TimePlotFrame::FallX(double frequency, double seconds) const {
    const double at =
        std::log(std::clamp(frequency, kWaterfallLowHz, kWaterfallHighHz) / kWaterfallLowHz) /
        std::log(kWaterfallHighHz / kWaterfallLowHz);
    return fallLeft + (fallRight - fallLeft) * at + depthX * (1.0 - seconds / kWaterfallSeconds);
}

double TimePlotFrame::FallY(double db, double seconds) const {
    if (!std::isfinite(db)) db = -kWaterfallDbSpan;
    const double level = std::clamp(db, -kWaterfallDbSpan, 0.0);
    return fallBottom + (fallTop - fallBottom) * (level + kWaterfallDbSpan) / kWaterfallDbSpan +
           depthY * (1.0 - seconds / kWaterfallSeconds);
}

void DrawTimePlot(cairo_t* cr, const TimePlotData& data) {
    cairo_save(cr);
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    double y = 32.0;
    for (std::size_t i = 0; i < data.titleLines.size() && i < 2; ++i) {
        Text(cr, data.titleLines[i], 40.0, y, i == 0 ? 20.0 : 15.0, 0.0, i == 0);
        y += 24.0;
    }
    const TimePlotFrame frame;
    if (data.views.gap == TimeGap::kNone) {
        DrawEtc(cr, frame, data.views);
        DrawWaterfall(cr, frame, data.views);
    } else {
        Text(cr, "No time views: the impulse response is unusable", 40.0, 200.0, 18.0);
    }
    cairo_restore(cr);
}

TimePictures EncodeTimePlot(const TimePlotData& data) {
    const auto draw = [&](cairo_t* cr) { DrawTimePlot(cr, data); };
    return {EncodePicturePng(kTimePlotWidth, kTimePlotHeight, draw),
            EncodePictureSvg(kTimePlotWidth, kTimePlotHeight, draw)};
}

Written WriteTimePlotPng(int descriptor, const TimePlotData& data) {
    return WritePicturePng(descriptor, kTimePlotWidth, kTimePlotHeight,
                           [&](cairo_t* cr) { DrawTimePlot(cr, data); });
}

Written WriteTimePlotSvg(int descriptor, const TimePlotData& data) {
    return WritePictureSvg(descriptor, kTimePlotWidth, kTimePlotHeight,
                           [&](cairo_t* cr) { DrawTimePlot(cr, data); });
}
