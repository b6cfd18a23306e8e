#include "console/plot.h"

#include "console/run_report.h"

#include <cairo-svg.h>
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr const char* kFont = "DejaVu Sans";
constexpr const char* kMonoFont = "DejaVu Sans Mono";

// Positions further than this outside the plotting area are pulled in to
// it: the area is clipped anyway, and cairo's fixed-point coordinates do not
// take huge values.
constexpr double kFarOutside = 10000.0;

bool UsablePoint(double f, double level) {
    return std::isfinite(f) && f > 0.0 && std::isfinite(level);
}

void SetRgb(cairo_t* cr, PlotRgb rgb, double alpha = 1.0) {
    cairo_set_source_rgba(cr, rgb.red, rgb.green, rgb.blue, alpha);
}

double MaxLevel(const PlotCurve& curve, const FrequencyRange& range, double current) {
    const std::size_t n = std::min(curve.frequencies.size(), curve.levels.size());
    for (std::size_t i = 0; i < n; ++i) {
        const double f = curve.frequencies[i];
        if (!UsablePoint(f, curve.levels[i]) || f < range.low || f > range.high) continue;
        if (!std::isfinite(current) || curve.levels[i] > current) current = curve.levels[i];
    }
    return current;
}

double Clamp(double value, double low, double high) {
    return std::min(std::max(value, low), high);
}

// The text with every byte that does not belong to well-formed UTF-8
// replaced by '?': cairo refuses to set malformed text, and a device name or
// a file name may be anything.
std::string WellFormedUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned int low = 0x80, high = 0xbf;  // range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            if (lead == 0xe0) low = 0xa0;   // no overlong forms
            if (lead == 0xed) high = 0x9f;  // no surrogates
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            if (lead == 0xf0) low = 0x90;
            if (lead == 0xf4) high = 0x8f;  // nothing beyond U+10FFFF
        }
        bool ok = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            ok = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xbf);
        }
        if (ok) {
            out.append(text, i, length);
            i += length;
        } else {
            out.push_back('?');
            ++i;
        }
    }
    return out;
}

// Text helpers, all with the toy text interface and DejaVu fonts.
void SetFont(cairo_t* cr, double size, bool bold = false, bool mono = false) {
    cairo_select_font_face(cr, mono ? kMonoFont : kFont, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double TextWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, WellFormedUtf8(text).c_str(), &extents);
    return extents.x_advance;
}

// Sets text with its reference point at (x, baseline) moved by the fraction
// align of its width to the left (0 left-aligned, 0.5 centred, 1 right).
void ShowText(cairo_t* cr, const std::string& text, double x, double baseline, double align) {
    cairo_move_to(cr, x - align * TextWidth(cr, text), baseline);
    cairo_show_text(cr, WellFormedUtf8(text).c_str());
}

// Adds a curve to the path, gaps where points are unusable. Points that fall
// in the same pixel column are reduced to their first, lowest, highest and
// last values, so a dense curve costs no more than the picture's width.
// (Strokes of many short overlapping pieces are what makes a drawing slow.)
class CurvePath {
  public:
    CurvePath(cairo_t* cr, const PlotFrame& frame, double bottomLevel, double topLevel)
        : cr_(cr), frame_(frame), bottomLevel_(bottomLevel), topLevel_(topLevel) {}

    void Add(const PlotCurve& curve) {
        const std::size_t n = std::min(curve.frequencies.size(), curve.levels.size());
        for (std::size_t i = 0; i < n; ++i) {
            const double x = FrequencyToX(curve.frequencies[i], frame_.frequencies.low,
                                          frame_.frequencies.high, frame_.left, frame_.right);
            const double y =
                LevelToY(curve.levels[i], bottomLevel_, topLevel_, frame_.bottom, frame_.top);
            if (!std::isfinite(x) || !std::isfinite(y)) {
                gap_ = true;
                continue;
            }
            const double cx = Clamp(x, frame_.left - kFarOutside, frame_.right + kFarOutside);
            const double cy = Clamp(y, frame_.top - kFarOutside, frame_.bottom + kFarOutside);
            // A gap narrower than a pixel column would not show; the line
            // goes on across it.
            if (gap_ && !(count_ > 0 && std::fabs(std::floor(cx) - column_) <= 1.0)) {
                Flush();
                started_ = false;
            }
            gap_ = false;
            Point(cx, cy);
        }
        Flush();
        started_ = false;
        gap_ = false;
    }

  private:
    void Point(double x, double y) {
        const double column = std::floor(x);
        if (count_ > 0 && column == column_) {
            lastX_ = x;
            last_ = y;
            low_ = std::min(low_, y);
            high_ = std::max(high_, y);
            ++count_;
            return;
        }
        Flush();
        column_ = column;
        firstX_ = lastX_ = x;
        first_ = last_ = low_ = high_ = y;
        count_ = 1;
    }

    void Flush() {
        if (count_ == 0) return;
        To(firstX_, first_);
        if (count_ > 1) {
            const double midX = 0.5 * (firstX_ + lastX_);
            if (low_ < std::min(first_, last_)) To(midX, low_);
            if (high_ > std::max(first_, last_)) To(midX, high_);
            To(lastX_, last_);
        }
        count_ = 0;
    }

    void To(double x, double y) {
        if (started_) {
            cairo_line_to(cr_, x, y);
        } else {
            cairo_move_to(cr_, x, y);
            started_ = true;
        }
    }

    cairo_t* cr_;
    const PlotFrame& frame_;
    double bottomLevel_;
    double topLevel_;
    bool started_ = false;
    bool gap_ = false;
    int count_ = 0;
    double column_ = 0.0;
    double firstX_ = 0.0, lastX_ = 0.0;
    double first_ = 0.0, last_ = 0.0, low_ = 0.0, high_ = 0.0;
};

void StrokeCurve(cairo_t* cr, const PlotFrame& frame, const PlotCurve& curve, double bottomLevel,
                 double topLevel) {
    CurvePath path(cr, frame, bottomLevel, topLevel);
    path.Add(curve);
    cairo_stroke(cr);
}

std::string FormatNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool HasUsablePoint(const PlotCurve& curve) {
    const std::size_t n = std::min(curve.frequencies.size(), curve.levels.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (UsablePoint(curve.frequencies[i], curve.levels[i])) return true;
    }
    return false;
}

bool HasBandStep(const std::vector<PlotBand>& bands) {
    for (const PlotBand& band : bands) {
        if (std::isfinite(band.level) && UsablePoint(band.lowerFrequency, 0.0) &&
            UsablePoint(band.upperFrequency, 0.0)) {
            return true;
        }
    }
    return false;
}

bool HasUsablePoint(const std::vector<PlotCurve>& curves) {
    return std::any_of(curves.begin(), curves.end(),
                       [](const PlotCurve& curve) { return HasUsablePoint(curve); });
}

// How many points the spread band may have: those all four of its vectors
// hold.
std::size_t SpreadSize(const PlotData& data) {
    return std::min({data.spreadLow.frequencies.size(), data.spreadLow.levels.size(),
                     data.spreadHigh.frequencies.size(), data.spreadHigh.levels.size()});
}

// A point of the band: both curves at one usable frequency, both levels finite.
bool SpreadPoint(const PlotData& data, std::size_t i) {
    const double f = data.spreadLow.frequencies[i];
    return f == data.spreadHigh.frequencies[i] && UsablePoint(f, data.spreadLow.levels[i]) &&
           std::isfinite(data.spreadHigh.levels[i]);
}

bool HasSpreadPoint(const PlotData& data) {
    const std::size_t n = SpreadSize(data);
    for (std::size_t i = 0; i < n; ++i) {
        if (SpreadPoint(data, i)) return true;
    }
    return false;
}

// Fills the spread band: one closed outline for each run of its points, along
// the lower edge and back along the upper. Points in one pixel column are
// reduced to the widest reach of the band there, so a dense band costs no
// more than the picture's width, and a gap narrower than a column is bridged
// as a curve's is.
void FillSpread(cairo_t* cr, const PlotFrame& frame, const PlotData& data) {
    struct Column {
        double x;
        double lower;  // the larger y, whichever curve gave it
        double upper;
    };
    std::vector<Column> run;
    const auto close = [&] {
        if (run.size() >= 2) {
            cairo_move_to(cr, run.front().x, run.front().lower);
            for (const Column& column : run) cairo_line_to(cr, column.x, column.lower);
            for (auto it = run.rbegin(); it != run.rend(); ++it) {
                cairo_line_to(cr, it->x, it->upper);
            }
            cairo_close_path(cr);
        }
        run.clear();
    };
    const FrequencyRange& range = frame.frequencies;
    const DbRange& db = frame.levels;
    bool gap = false;
    const std::size_t n = SpreadSize(data);
    for (std::size_t i = 0; i < n; ++i) {
        if (!SpreadPoint(data, i)) {
            gap = true;
            continue;
        }
        const double x = FrequencyToX(data.spreadLow.frequencies[i], range.low, range.high,
                                      frame.left, frame.right);
        const double y0 =
            LevelToY(data.spreadLow.levels[i], db.bottom, db.top, frame.bottom, frame.top);
        const double y1 =
            LevelToY(data.spreadHigh.levels[i], db.bottom, db.top, frame.bottom, frame.top);
        if (!std::isfinite(x) || !std::isfinite(y0) || !std::isfinite(y1)) {
            gap = true;
            continue;
        }
        const double cx = Clamp(x, frame.left - kFarOutside, frame.right + kFarOutside);
        const double lower =
            Clamp(std::max(y0, y1), frame.top - kFarOutside, frame.bottom + kFarOutside);
        const double upper =
            Clamp(std::min(y0, y1), frame.top - kFarOutside, frame.bottom + kFarOutside);
        const double column = std::floor(cx);
        const double last = run.empty() ? kPlotNoLevel : std::floor(run.back().x);
        if (gap && !(std::fabs(column - last) <= 1.0)) close();
        gap = false;
        if (column == last) {
            run.back().lower = std::max(run.back().lower, lower);
            run.back().upper = std::min(run.back().upper, upper);
        } else {
            run.push_back({cx, lower, upper});
        }
    }
    close();
    cairo_fill(cr);
}

// Heights of the title block's lines.
constexpr double kTitleSize = 24.0;
constexpr double kSubtitleSize = 17.0;
constexpr double kLineGap = 7.0;
constexpr double kMargin = 24.0;
constexpr double kLegendSize = 15.0;
constexpr double kLegendLine = 22.0;

struct LegendEntry {
    std::string label;
    PlotRgb rgb;
    double width;
    double alpha;
    bool dashed = false;
};

// The dash of a limit curve: short strokes, as wide gaps.
constexpr double kLimitDash[] = {7.0, 5.0};
constexpr double kLimitWidth = 1.2;
constexpr double kLineWidth = 2.0;

std::vector<LegendEntry> Legend(const PlotData& data, const PlotFrame& frame) {
    std::vector<LegendEntry> entries;
    if (!frame.frequencies.valid) return entries;
    const bool positions = HasUsablePoint(data.backgroundCurves);
    if (HasUsablePoint(data.response)) {
        entries.push_back(
            {data.responseLabel, kResponseRgb, positions ? kAverageWidth : kResponseWidth, 1.0});
    }
    if (positions) {
        entries.push_back(
            {data.backgroundLabel, kBackgroundRgb, kBackgroundWidth, kBackgroundAlpha});
    }
    if (HasSpreadPoint(data)) {
        entries.push_back({data.spreadLabel, kSpreadRgb, 12.0, kSpreadAlpha});
    }
    if (HasBandStep(data.bands)) {
        entries.push_back({"Bands of the table, their 0 dB drawn at " +
                               FormatNumber(std::round(frame.tableZero * 10.0) / 10.0) + " dB",
                           kBandRgb, 4.0, 0.9});
    }
    if (HasUsablePoint(data.noiseFloor)) {
        // A floor wholly below the axis is named, with where it would be.
        const double highest = MaxLevel(data.noiseFloor, frame.frequencies, kPlotNoLevel);
        std::string label = "Noise floor";
        if (highest < frame.levels.bottom) {
            label += " (below the axis, up to " + FormatNumber(std::round(highest)) + " dB)";
        }
        entries.push_back({label, kNoiseRgb, 2.0, 0.8});
    }
    if (data.extra && HasUsablePoint(data.extra->curve)) {
        entries.push_back({data.extra->label, kExtraRgb, 2.5, 1.0});
    }
    if (data.extra && HasUsablePoint(data.extra->limit)) {
        entries.push_back({data.extra->limitLabel, kExtraRgb, kLimitWidth, 1.0, true});
    }
    for (const PlotLine& line : data.lines) {
        if (HasUsablePoint(line.curve)) {
            entries.push_back(
                {line.label, {line.red, line.green, line.blue}, kLineWidth, 1.0, line.dashed});
        }
    }
    return entries;
}

double HeaderHeight(const PlotData& data, std::size_t legendEntries) {
    double title = 0.0;
    for (std::size_t i = 0; i < data.titleLines.size(); ++i) {
        title += (i == 0 ? kTitleSize : kSubtitleSize) + kLineGap;
    }
    const double legend = static_cast<double>(legendEntries) * kLegendLine;
    return kMargin + std::max(title, legend);
}

}  // namespace

std::string PictureText(const std::string& text) {
    return WellFormedUtf8(text);
}

std::vector<std::string> PlotTitleLines(const RunDescription& run, double acousticDelay) {
    std::vector<std::string> lines;
    lines.push_back("Sweep " + run.date + ", device " + run.device);
    const std::string delay =
        std::isfinite(acousticDelay)
            ? "acoustic delay " + FormatFixed(acousticDelay * 1000.0, 2) + " ms"
            : "acoustic delay not found";
    lines.push_back("Q " + FormatNumber(run.q) + ", " + std::to_string(run.bands) +
                    (run.bands == 1 ? " band" : " bands") + ", start " +
                    FormatNumber(run.startFrequency) + " Hz, length " +
                    FormatNumber(run.sweepLength) + " s, " + SweepName(run.sweep) + ", " + delay);
    if (!run.calibration.empty()) lines.push_back(run.calibration);
    if (!run.correction.empty()) lines.push_back(run.correction);
    return lines;
}

FrequencyRange PlotFrequencyRange(double sweptLow, double sweptHigh) {
    FrequencyRange range;
    if (!std::isfinite(sweptLow) || !std::isfinite(sweptHigh) || sweptLow <= 0.0 ||
        sweptHigh <= sweptLow) {
        return range;
    }
    double low = Clamp(sweptLow, kPlotMinFrequency, kPlotMaxFrequency);
    double high = Clamp(sweptHigh, kPlotMinFrequency, kPlotMaxFrequency);
    if (high < low * kPlotMinSpan) {
        const double centre = std::sqrt(low * high);
        const double half = std::sqrt(kPlotMinSpan);
        low = centre / half;
        high = centre * half;
        if (low < kPlotMinFrequency) {
            low = kPlotMinFrequency;
            high = kPlotMinFrequency * kPlotMinSpan;
        } else if (high > kPlotMaxFrequency) {
            high = kPlotMaxFrequency;
            low = kPlotMaxFrequency / kPlotMinSpan;
        }
    }
    range.low = low;
    range.high = high;
    range.valid = true;
    return range;
}

double FrequencyToX(double f, double low, double high, double left, double right) {
    if (!std::isfinite(f) || f <= 0.0 || !std::isfinite(low) || !std::isfinite(high) ||
        low <= 0.0 || high <= low) {
        return kPlotNoLevel;
    }
    return left + (right - left) * std::log(f / low) / std::log(high / low);
}

double LevelToY(double level, double bottomLevel, double topLevel, double bottomY, double topY) {
    if (!std::isfinite(level) || !std::isfinite(bottomLevel) || !std::isfinite(topLevel) ||
        topLevel == bottomLevel) {
        return kPlotNoLevel;
    }
    return bottomY + (topY - bottomY) * (level - bottomLevel) / (topLevel - bottomLevel);
}

std::vector<FrequencyTick> FrequencyTicks(double low, double high) {
    std::vector<FrequencyTick> ticks;
    if (!std::isfinite(low) || !std::isfinite(high) || low < kPlotMinFrequency ||
        high > kPlotMaxFrequency || high <= low) {
        return ticks;
    }
    // Exact decades; the small tolerance keeps a range that ends on a tick.
    const double tolerance = 1e-9;
    const int firstDecade = static_cast<int>(std::floor(std::log10(low)));
    const int lastDecade = static_cast<int>(std::ceil(std::log10(high)));
    for (int decade = firstDecade; decade <= lastDecade; ++decade) {
        const double scale = std::pow(10.0, decade);
        for (int m = 1; m <= 9; ++m) {
            const double f = m * scale;
            if (f < low * (1.0 - tolerance) || f > high * (1.0 + tolerance)) continue;
            ticks.push_back({f, m == 1 || m == 2 || m == 5, m == 1});
        }
    }
    // A short axis with few 1-2-5 values has room to label every line.
    const auto labelled = std::count_if(ticks.begin(), ticks.end(),
                                        [](const FrequencyTick& tick) { return tick.labelled; });
    if (labelled < kPlotFewLabels) {
        for (FrequencyTick& tick : ticks) tick.labelled = true;
    }
    return ticks;
}

std::string FrequencyLabel(double frequency) {
    if (!std::isfinite(frequency)) return "";
    char text[32];
    if (std::fabs(frequency) >= 1.0e6) {
        std::snprintf(text, sizeof text, "%gM", frequency / 1.0e6);
    } else if (std::fabs(frequency) >= 1000.0) {
        std::snprintf(text, sizeof text, "%gk", frequency / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%g", frequency);
    }
    return text;
}

DbRange PlotDbRange(double maxLevel) {
    DbRange range;
    if (!std::isfinite(maxLevel)) return range;
    const double top = 5.0 * std::ceil((maxLevel + 1.0) / 5.0);
    range.top = Clamp(top, -kPlotMaxDbTop, kPlotMaxDbTop);
    range.bottom = range.top - kPlotDbSpan;
    return range;
}

double PercentAxisTop(double maxPercent) {
    constexpr double kLowest = 0.1;
    constexpr double kHighest = 1000.0;
    if (!std::isfinite(maxPercent) || maxPercent <= kLowest) {
        return std::isnan(maxPercent) || maxPercent <= kLowest ? kLowest : kHighest;
    }
    if (maxPercent >= kHighest) return kHighest;
    for (double decade = kLowest; decade < kHighest; decade *= 10.0) {
        for (double m : {1.0, 2.0, 5.0}) {
            // Rounded, so that 0.1 * 10 * 2 compares equal to 2.
            const double value = std::round(m * decade * 1000.0) / 1000.0;
            if (value >= maxPercent * (1.0 - 1e-12)) return value;
        }
    }
    return kHighest;
}

double BandLevelOfResponse(const PlotCurve& response, double lower, double upper) {
    const std::size_t n = std::min(response.frequencies.size(), response.levels.size());
    double power = 0.0;
    std::size_t count = 0;
    // Levels are referred to the band's highest before they are turned into
    // powers, so that no level is too large or too small for a double.
    double highest = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        const double f = response.frequencies[i];
        if (UsablePoint(f, response.levels[i]) && f >= lower && f <= upper) {
            highest = std::max(highest, response.levels[i]);
        }
    }
    if (!std::isfinite(highest)) return kPlotNoLevel;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = response.frequencies[i];
        if (UsablePoint(f, response.levels[i]) && f >= lower && f <= upper) {
            power += std::pow(10.0, (response.levels[i] - highest) / 10.0);
            ++count;
        }
    }
    return highest + 10.0 * std::log10(power / static_cast<double>(count));
}

double TableZeroLevel(const PlotCurve& response, const std::vector<PlotBand>& bands) {
    double loudest = kPlotNoLevel;
    for (const PlotBand& band : bands) {
        if (!std::isfinite(band.level)) continue;
        const double level =
            BandLevelOfResponse(response, band.lowerFrequency, band.upperFrequency);
        if (std::isfinite(level) && !(level <= loudest)) loudest = level;
    }
    return loudest;
}

PlotFrame FramePlot(const PlotData& data, double width, double height) {
    PlotFrame frame;
    frame.frequencies = PlotFrequencyRange(data.lowFrequency, data.highFrequency);
    const FrequencyRange& range = frame.frequencies;

    double maxLevel = kPlotNoLevel;
    if (range.valid) {
        frame.tableZero = std::isfinite(data.tableZeroLevel)
                              ? data.tableZeroLevel
                              : TableZeroLevel(data.response, data.bands);
        if (!std::isfinite(frame.tableZero)) frame.tableZero = 0.0;
        maxLevel = MaxLevel(data.response, range, maxLevel);
        maxLevel = MaxLevel(data.noiseFloor, range, maxLevel);
        for (const PlotCurve& curve : data.backgroundCurves) {
            maxLevel = MaxLevel(curve, range, maxLevel);
        }
        maxLevel = MaxLevel(data.spreadHigh, range, maxLevel);
        maxLevel = MaxLevel(data.spreadLow, range, maxLevel);
        for (const PlotLine& line : data.lines) maxLevel = MaxLevel(line.curve, range, maxLevel);
        if (data.extra && data.extra->scale == PlotScale::kDb) {
            maxLevel = MaxLevel(data.extra->curve, range, maxLevel);
            maxLevel = MaxLevel(data.extra->limit, range, maxLevel);
        }
        for (const PlotBand& band : data.bands) {
            const double level = frame.tableZero + band.level;
            if (!std::isfinite(level) || !(band.upperFrequency >= range.low) ||
                !(band.lowerFrequency <= range.high)) {
                continue;
            }
            if (!std::isfinite(maxLevel) || level > maxLevel) maxLevel = level;
        }
        if (data.extra && data.extra->scale == PlotScale::kPercent) {
            frame.percentTop = PercentAxisTop(MaxLevel(
                data.extra->limit, range, MaxLevel(data.extra->curve, range, kPlotNoLevel)));
        }
    }
    frame.levels = PlotDbRange(maxLevel);

    const double rightAxis = std::isfinite(frame.percentTop) ? 96.0 : 0.0;
    frame.left = 96.0;
    frame.right = std::max(frame.left + 1.0, width - kMargin - 16.0 - rightAxis);
    frame.top = HeaderHeight(data, Legend(data, frame).size()) + 12.0;
    frame.bottom = std::max(frame.top + 1.0, height - 76.0);
    return frame;
}

void DrawPlot(cairo_t* cr, const PlotData& data, double width, double height) {
    const PlotFrame frame = FramePlot(data, width, height);
    const FrequencyRange& range = frame.frequencies;
    const DbRange& db = frame.levels;
    const double plotWidth = frame.right - frame.left;
    const double plotHeight = frame.bottom - frame.top;

    cairo_save(cr);
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);

    // Grid: faint lines at every 5 dB and every m * 10^k Hz, stronger at the
    // labelled ones.
    for (double level = db.bottom; level <= db.top + 1e-9; level += 5.0) {
        const double y = std::round(LevelToY(level, db.bottom, db.top, frame.bottom, frame.top));
        const bool major = std::fmod(std::fabs(level), 10.0) < 1e-9;
        cairo_set_source_rgb(cr, major ? 0.78 : 0.89, major ? 0.78 : 0.89, major ? 0.78 : 0.89);
        cairo_set_line_width(cr, 1.0);
        cairo_move_to(cr, frame.left, y + 0.5);
        cairo_line_to(cr, frame.right, y + 0.5);
        cairo_stroke(cr);
    }
    const std::vector<FrequencyTick> ticks = FrequencyTicks(range.low, range.high);
    for (const FrequencyTick& tick : ticks) {
        const double x = std::round(
            FrequencyToX(tick.frequency, range.low, range.high, frame.left, frame.right));
        const double grey = tick.decade ? 0.62 : (tick.labelled ? 0.78 : 0.90);
        cairo_set_source_rgb(cr, grey, grey, grey);
        cairo_set_line_width(cr, 1.0);
        cairo_move_to(cr, x + 0.5, frame.top);
        cairo_line_to(cr, x + 0.5, frame.bottom);
        cairo_stroke(cr);
    }

    // Axis labels.
    cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
    SetFont(cr, 15.0);
    for (const FrequencyTick& tick : ticks) {
        if (!tick.labelled) continue;
        const double x =
            FrequencyToX(tick.frequency, range.low, range.high, frame.left, frame.right);
        ShowText(cr, FrequencyLabel(tick.frequency), x, frame.bottom + 22.0, 0.5);
    }
    for (double level = 10.0 * std::ceil(db.bottom / 10.0); level <= db.top + 1e-9; level += 10.0) {
        const double y = LevelToY(level, db.bottom, db.top, frame.bottom, frame.top);
        ShowText(cr, FormatNumber(level), frame.left - 10.0, y + 5.0, 1.0);
    }
    SetFont(cr, 16.0);
    ShowText(cr, "Frequency (Hz)", frame.left + 0.5 * plotWidth, frame.bottom + 52.0, 0.5);
    cairo_save(cr);
    cairo_translate(cr, frame.left - 58.0, frame.top + 0.5 * plotHeight);
    cairo_rotate(cr, -0.5 * kPi);
    ShowText(cr, "Level (dB)", 0.0, 0.0, 0.5);
    cairo_restore(cr);

    const bool percent = std::isfinite(frame.percentTop) && data.extra;
    if (percent) {
        SetFont(cr, 15.0);
        cairo_set_source_rgb(cr, kExtraRgb.red, kExtraRgb.green, kExtraRgb.blue);
        for (int step = 0; step <= 10; step += 2) {
            const double value = frame.percentTop * step / 10.0;
            const double y = LevelToY(value, 0.0, frame.percentTop, frame.bottom, frame.top);
            ShowText(cr, FormatNumber(value), frame.right + 10.0, y + 5.0, 0.0);
        }
        SetFont(cr, 16.0);
        cairo_save(cr);
        cairo_translate(cr, frame.right + 70.0, frame.top + 0.5 * plotHeight);
        cairo_rotate(cr, 0.5 * kPi);
        ShowText(cr, data.extra->label + " (%)", 0.0, 0.0, 0.5);
        cairo_restore(cr);
    }

    // The data, clipped to the plotting area.
    cairo_save(cr);
    cairo_rectangle(cr, frame.left, frame.top, plotWidth, plotHeight);
    cairo_clip(cr);
    if (range.valid) {
        SetRgb(cr, kSpreadRgb, kSpreadAlpha);
        FillSpread(cr, frame, data);

        // Each position stroked on its own: one path of them all would be
        // many overlapping pieces.
        cairo_set_line_width(cr, kBackgroundWidth);
        SetRgb(cr, kBackgroundRgb, kBackgroundAlpha);
        for (const PlotCurve& curve : data.backgroundCurves) {
            StrokeCurve(cr, frame, curve, db.bottom, db.top);
        }

        cairo_set_line_width(cr, 2.0);
        SetRgb(cr, kNoiseRgb, 0.8);
        StrokeCurve(cr, frame, data.noiseFloor, db.bottom, db.top);

        // Band steps: a bar across each band's edges, joined to its
        // neighbour by a thin riser where the two meet.
        double lastX = kPlotNoLevel, lastY = kPlotNoLevel;
        for (const PlotBand& band : data.bands) {
            const double y =
                LevelToY(frame.tableZero + band.level, db.bottom, db.top, frame.bottom, frame.top);
            const double x0 =
                FrequencyToX(band.lowerFrequency, range.low, range.high, frame.left, frame.right);
            const double x1 =
                FrequencyToX(band.upperFrequency, range.low, range.high, frame.left, frame.right);
            if (!std::isfinite(y) || !std::isfinite(x0) || !std::isfinite(x1)) {
                lastX = lastY = kPlotNoLevel;
                continue;
            }
            const double cy = Clamp(y, frame.top - kFarOutside, frame.bottom + kFarOutside);
            const double cx0 = Clamp(x0, frame.left - kFarOutside, frame.right + kFarOutside);
            const double cx1 = Clamp(x1, frame.left - kFarOutside, frame.right + kFarOutside);
            if (std::isfinite(lastX) && std::fabs(lastX - cx0) < 1.5) {
                SetRgb(cr, kBandRgb, 0.55);
                cairo_set_line_width(cr, 1.5);
                cairo_move_to(cr, cx0, lastY);
                cairo_line_to(cr, cx0, cy);
                cairo_stroke(cr);
            }
            SetRgb(cr, kBandRgb, 0.9);
            cairo_set_line_width(cr, 4.0);
            cairo_move_to(cr, cx0, cy);
            cairo_line_to(cr, cx1, cy);
            cairo_stroke(cr);
            lastX = cx1;
            lastY = cy;
        }

        if (data.extra) {
            cairo_set_line_width(cr, 2.5);
            SetRgb(cr, kExtraRgb);
            const double bottomLevel = percent ? 0.0 : db.bottom;
            const double topLevel = percent ? frame.percentTop : db.top;
            StrokeCurve(cr, frame, data.extra->curve, bottomLevel, topLevel);
            cairo_save(cr);
            cairo_set_line_width(cr, kLimitWidth);
            cairo_set_dash(cr, kLimitDash, 2, 0.0);
            StrokeCurve(cr, frame, data.extra->limit, bottomLevel, topLevel);
            cairo_restore(cr);
        }

        cairo_set_line_width(
            cr, HasUsablePoint(data.backgroundCurves) ? kAverageWidth : kResponseWidth);
        SetRgb(cr, kResponseRgb);
        StrokeCurve(cr, frame, data.response, db.bottom, db.top);
        for (const PlotLine& line : data.lines) {
            cairo_save(cr);
            cairo_set_line_width(cr, kLineWidth);
            if (line.dashed) cairo_set_dash(cr, kLimitDash, 2, 0.0);
            SetRgb(cr, {line.red, line.green, line.blue});
            StrokeCurve(cr, frame, line.curve, db.bottom, db.top);
            cairo_restore(cr);
        }
    }
    cairo_restore(cr);

    // Frame around the plotting area.
    cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, std::round(frame.left) + 0.5, std::round(frame.top) + 0.5,
                    std::round(plotWidth), std::round(plotHeight));
    cairo_stroke(cr);

    // Legend, right-aligned in the header.
    const std::vector<LegendEntry> legend = Legend(data, frame);
    SetFont(cr, kLegendSize);
    double legendWidth = 0.0;
    for (const LegendEntry& entry : legend) {
        legendWidth = std::max(legendWidth, TextWidth(cr, entry.label));
    }
    const double sample = 36.0;
    const double legendLeft = width - kMargin - legendWidth - sample - 10.0;
    for (std::size_t i = 0; i < legend.size(); ++i) {
        const double baseline = kMargin + kLegendSize + static_cast<double>(i) * kLegendLine;
        SetRgb(cr, legend[i].rgb, legend[i].alpha);
        cairo_set_line_width(cr, legend[i].width);
        if (legend[i].dashed) cairo_set_dash(cr, kLimitDash, 2, 0.0);
        cairo_move_to(cr, legendLeft, baseline - 5.0);
        cairo_line_to(cr, legendLeft + sample, baseline - 5.0);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0.0);
        cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
        ShowText(cr, legend[i].label, legendLeft + sample + 10.0, baseline, 0.0);
    }

    // Title lines, shrunk where needed to stay clear of the legend.
    const double titleRoom = (legend.empty() ? width - kMargin : legendLeft - 24.0) - kMargin;
    double baseline = kMargin;
    for (std::size_t i = 0; i < data.titleLines.size(); ++i) {
        const bool first = i == 0;
        double size = first ? kTitleSize : kSubtitleSize;
        SetFont(cr, size, first);
        const double textWidth = TextWidth(cr, data.titleLines[i]);
        if (textWidth > titleRoom && titleRoom > 0.0) {
            size = std::max(8.0, size * titleRoom / textWidth);
            SetFont(cr, size, first);
        }
        baseline += (first ? kTitleSize : kSubtitleSize) - 4.0;
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        ShowText(cr, data.titleLines[i], kMargin, baseline, 0.0);
        baseline += kLineGap + 4.0;
    }

    // Corner text: a boxed block in the lower right of the plotting area.
    if (!data.cornerLines.empty()) {
        constexpr double kSize = 14.0;
        constexpr double kLine = 19.0;
        constexpr double kPad = 10.0;
        SetFont(cr, kSize, false, true);
        double boxWidth = 0.0;
        for (const std::string& line : data.cornerLines) {
            boxWidth = std::max(boxWidth, TextWidth(cr, line));
        }
        boxWidth += 2.0 * kPad;
        const double boxHeight = static_cast<double>(data.cornerLines.size()) * kLine + 2.0 * kPad;
        const double boxLeft = std::round(frame.right - 12.0 - boxWidth) + 0.5;
        const double boxTop = std::round(frame.bottom - 12.0 - boxHeight) + 0.5;
        cairo_rectangle(cr, boxLeft, boxTop, boxWidth, boxHeight);
        cairo_set_source_rgba(cr, 1.0, 1.0, 1.0, 0.88);
        cairo_fill_preserve(cr);
        cairo_set_source_rgb(cr, 0.5, 0.5, 0.5);
        cairo_set_line_width(cr, 1.0);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        for (std::size_t i = 0; i < data.cornerLines.size(); ++i) {
            ShowText(cr, data.cornerLines[i], boxLeft + kPad,
                     boxTop + kPad + kSize + static_cast<double>(i) * kLine, 0.0);
        }
    }

    if (!range.valid) {
        SetFont(cr, 18.0);
        cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
        ShowText(cr, "No usable swept range", frame.left + 0.5 * plotWidth,
                 frame.top + 0.5 * plotHeight, 0.5);
    }
    cairo_restore(cr);
}

namespace {

// The file a picture is written to, with the first failure kept.
struct Sink {
    int descriptor = -1;
    Written written = Done{};
};

cairo_status_t SinkWrite(void* closure, const unsigned char* data, unsigned int length) {
    Sink* sink = static_cast<Sink*>(closure);
    if (sink->written.ok()) sink->written = WriteAll(sink->descriptor, data, length);
    return sink->written.ok() ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

// Lets render write into the file and completes it; a failure of the file
// comes before cairo's own.
template <typename Render>
Written WriteThrough(int descriptor, Render render) {
    Sink sink{descriptor, Done{}};
    const cairo_status_t status = render(&sink);
    if (sink.written.ok() && status != CAIRO_STATUS_SUCCESS) {
        sink.written = Fail(WriteFailure{0, cairo_status_to_string(status)});
    }
    return Complete(descriptor, std::move(sink.written));
}

// Draws on surface and returns the first failure of the drawing.
cairo_status_t Draw(cairo_surface_t* surface, const PictureDrawing& draw) {
    cairo_t* cr = cairo_create(surface);
    draw(cr);
    const cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    return status;
}

}  // namespace

Written WritePlotPng(int descriptor, const PlotData& data) {
    return WritePicturePng(descriptor, kPlotWidth, kPlotHeight,
                           [&](cairo_t* cr) { DrawPlot(cr, data, kPlotWidth, kPlotHeight); });
}

Written WritePlotSvg(int descriptor, const PlotData& data) {
    return WritePictureSvg(descriptor, kPlotWidth, kPlotHeight,
                           [&](cairo_t* cr) { DrawPlot(cr, data, kPlotWidth, kPlotHeight); });
}

Written WritePicturePng(int descriptor, int width, int height, const PictureDrawing& draw) {
    const EncodedPicture encoded = EncodePicturePng(width, height, draw);
    if (!encoded) return Complete(descriptor, Fail(encoded.reason()));
    return Complete(descriptor,
                    WriteAll(descriptor, encoded.value().data(), encoded.value().size()));
}

EncodedPicture EncodePicturePng(int width, int height, const PictureDrawing& draw) {
    // Drawn by cairo, encoded by libpng's writer at its fast setting: cairo's
    // own PNG writer compresses at zlib's default level and takes three
    // times as long, on every run, for a picture a fifth smaller.
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_status_t status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = Draw(surface, draw);
    if (status != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return Fail(WriteFailure{0, cairo_status_to_string(status)});
    }
    cairo_surface_flush(surface);
    // cairo's RGB24 pixel is a native 32-bit 0xXXRRGGBB; the PNG's rows are
    // red, green, blue bytes.
    const std::size_t kRowBytes = 3 * static_cast<std::size_t>(width);
    std::vector<unsigned char> rgb(kRowBytes * static_cast<std::size_t>(height));
    const unsigned char* pixels = cairo_image_surface_get_data(surface);
    const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface));
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        unsigned char* row = rgb.data() + y * kRowBytes;
        for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, pixels + y * stride + 4 * x, sizeof pixel);
            row[3 * x] = static_cast<unsigned char>(pixel >> 16);
            row[3 * x + 1] = static_cast<unsigned char>(pixel >> 8);
            row[3 * x + 2] = static_cast<unsigned char>(pixel);
        }
    }
    cairo_surface_destroy(surface);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    image.flags = PNG_IMAGE_FLAG_FAST;
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    std::vector<unsigned char> encoded(size);
    const bool made = png_image_write_to_memory(&image, encoded.data(), &size, 0, rgb.data(),
                                                static_cast<png_int_32>(kRowBytes), nullptr) != 0;
    const std::string message = image.message;
    png_image_free(&image);
    if (!made) return Fail(WriteFailure{0, "libpng: " + message});
    encoded.resize(size);
    return encoded;
}

Written WritePictureSvg(int descriptor, int width, int height, const PictureDrawing& draw) {
    return WriteThrough(descriptor, [&](Sink* sink) {
        cairo_surface_t* surface =
            cairo_svg_surface_create_for_stream(SinkWrite, sink, width, height);
        cairo_status_t status = cairo_surface_status(surface);
        if (status == CAIRO_STATUS_SUCCESS) status = Draw(surface, draw);
        cairo_surface_finish(surface);
        if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
        cairo_surface_destroy(surface);
        return status;
    });
}

EncodedPicture EncodePictureSvg(int width, int height, const PictureDrawing& draw) {
    std::vector<unsigned char> bytes;
    const auto append = [](void* closure, const unsigned char* data, unsigned int length) {
        auto* out = static_cast<std::vector<unsigned char>*>(closure);
        out->insert(out->end(), data, data + length);
        return CAIRO_STATUS_SUCCESS;
    };
    cairo_surface_t* surface = cairo_svg_surface_create_for_stream(append, &bytes, width, height);
    cairo_status_t status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = Draw(surface, draw);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        return Fail(WriteFailure{0, cairo_status_to_string(status)});
    return bytes;
}

Written WriteEncoded(int descriptor, const EncodedPicture& encoded) {
    if (!encoded) return Complete(descriptor, Fail(encoded.reason()));
    return Complete(descriptor,
                    WriteAll(descriptor, encoded.value().data(), encoded.value().size()));
}
