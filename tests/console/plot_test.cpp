#include "console/plot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#ifdef HAVE_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#endif

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

namespace fs = std::filesystem;

// A directory of its own for each test, removed afterwards.
class PlotFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zembrak_plot_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string File(const std::string& name) const { return (dir / name).string(); }
    fs::path dir;
};

struct Rgb {
    double red, green, blue;
};

// A PNG read back through cairo.
class Png {
  public:
    explicit Png(const std::string& path)
        : surface_(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Png() { cairo_surface_destroy(surface_); }
    Png(const Png&) = delete;
    Png& operator=(const Png&) = delete;

    bool Ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
    int Width() const { return cairo_image_surface_get_width(surface_); }
    int Height() const { return cairo_image_surface_get_height(surface_); }
    Rgb At(int x, int y) const {
        const unsigned char* data = cairo_image_surface_get_data(surface_);
        const int stride = cairo_image_surface_get_stride(surface_);
        std::uint32_t pixel;
        std::memcpy(&pixel, data + y * stride + 4 * x, sizeof pixel);
        return {((pixel >> 16) & 0xff) / 255.0, ((pixel >> 8) & 0xff) / 255.0,
                (pixel & 0xff) / 255.0};
    }

    // The mean row of the pixels in column x, between rows top and bottom,
    // whose colour lies within tolerance of colour (sum of channel
    // differences); NaN when there are none.
    double MeanRowOf(int x, int top, int bottom, Rgb colour, double tolerance = 0.15) const {
        double sum = 0.0;
        int count = 0;
        for (int y = std::max(top, 0); y <= std::min(bottom, Height() - 1); ++y) {
            const Rgb p = At(x, y);
            const double distance = std::fabs(p.red - colour.red) +
                                    std::fabs(p.green - colour.green) +
                                    std::fabs(p.blue - colour.blue);
            if (distance < tolerance) {
                sum += y;
                ++count;
            }
        }
        return count == 0 ? kNaN : sum / count;
    }

  private:
    cairo_surface_t* surface_;
};

Rgb Opaque(PlotRgb c) {
    return {c.red, c.green, c.blue};
}
// A colour laid over white with the given opacity.
Rgb OverWhite(PlotRgb c, double alpha) {
    return {alpha * c.red + 1.0 - alpha, alpha * c.green + 1.0 - alpha,
            alpha * c.blue + 1.0 - alpha};
}

bool ParsesAsSvg(const std::string& path, std::string* why) {
#ifdef HAVE_LIBXML2
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
    if (doc == nullptr) {
        *why = "not well-formed XML";
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(doc);
    const bool svg = root != nullptr && xmlStrcmp(root->name, BAD_CAST "svg") == 0;
    if (!svg) *why = "the root element is not svg";
    xmlFreeDoc(doc);
    return svg;
#else
    const std::string command =
        "python3 -c 'import sys, xml.dom.minidom as m; "
        "sys.exit(m.parse(sys.argv[1]).documentElement.tagName != \"svg\")' '" +
        path + "' 2>/dev/null";
    const bool svg = std::system(command.c_str()) == 0;
    if (!svg) *why = "python3 did not read it as an svg document";
    return svg;
#endif
}

// Curves sampled every 1/48 octave over [low, high].
PlotCurve Curve(double low, double high, double (*level)(double)) {
    PlotCurve curve;
    for (double f = low; f <= high * 1.0001; f *= std::pow(2.0, 1.0 / 48.0)) {
        curve.frequencies.push_back(f);
        curve.levels.push_back(level(f));
    }
    return curve;
}

// ---- Axis arithmetic, against values worked out by hand ----

TEST(PlotAxes, LogFrequencyMapping) {
    // 20 Hz .. 20 kHz over 1000 units: three decades of 333.33 units.
    struct Case {
        double f, x;
    };
    const Case cases[] = {{20.0, 100.0},           {200.0, 433.3333333},      {2000.0, 766.6666667},
                          {20000.0, 1100.0},       {63.2455532, 266.6666667}, {2.0, -233.3333333},
                          {200000.0, 1433.3333333}};
    for (const Case& c : cases) {
        EXPECT_NEAR(FrequencyToX(c.f, 20.0, 20000.0, 100.0, 1100.0), c.x, 1e-6) << c.f;
    }
    for (double f : {0.0, -20.0, kNaN, kInf, -kInf}) {
        EXPECT_TRUE(std::isnan(FrequencyToX(f, 20.0, 20000.0, 100.0, 1100.0))) << f;
    }
    EXPECT_TRUE(std::isnan(FrequencyToX(100.0, 0.0, 20000.0, 100.0, 1100.0)));
    EXPECT_TRUE(std::isnan(FrequencyToX(100.0, 1000.0, 1000.0, 100.0, 1100.0)));
    EXPECT_TRUE(std::isnan(FrequencyToX(100.0, 1000.0, 100.0, 100.0, 1100.0)));
    EXPECT_TRUE(std::isnan(FrequencyToX(100.0, 20.0, kInf, 100.0, 1100.0)));
}

TEST(PlotAxes, LinearLevelMapping) {
    // -50 dB at row 800, 0 dB at row 100: 14 rows per dB.
    struct Case {
        double level, y;
    };
    const Case cases[] = {
        {0.0, 100.0}, {-50.0, 800.0}, {-25.0, 450.0}, {10.0, -40.0}, {-51.0, 814.0}};
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(LevelToY(c.level, -50.0, 0.0, 800.0, 100.0), c.y) << c.level;
    }
    for (double level : {kNaN, kInf, -kInf}) {
        EXPECT_TRUE(std::isnan(LevelToY(level, -50.0, 0.0, 800.0, 100.0)));
    }
    EXPECT_TRUE(std::isnan(LevelToY(-3.0, -3.0, -3.0, 800.0, 100.0)));
}

TEST(PlotAxes, TicksOverTheDefaultSweep) {
    // 18 Hz .. 16175 Hz: 20..90, 100..900, 1k..9k, 10k.
    const std::vector<FrequencyTick> ticks = FrequencyTicks(18.0, 16175.0);
    ASSERT_EQ(ticks.size(), 8u + 9u + 9u + 1u);
    EXPECT_DOUBLE_EQ(ticks.front().frequency, 20.0);
    EXPECT_DOUBLE_EQ(ticks.back().frequency, 10000.0);
    std::vector<double> labelled, decades;
    for (const FrequencyTick& tick : ticks) {
        if (tick.labelled) labelled.push_back(tick.frequency);
        if (tick.decade) decades.push_back(tick.frequency);
    }
    EXPECT_EQ(labelled, (std::vector<double>{20, 50, 100, 200, 500, 1000, 2000, 5000, 10000}));
    EXPECT_EQ(decades, (std::vector<double>{100, 1000, 10000}));
}

TEST(PlotAxes, TicksIncludeTheRangeEnds) {
    std::vector<double> labelled;
    for (const FrequencyTick& tick : FrequencyTicks(20.0, 20000.0)) {
        if (tick.labelled) labelled.push_back(tick.frequency);
    }
    EXPECT_EQ(labelled,
              (std::vector<double>{20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000}));
}

TEST(PlotAxes, ShortAxesLabelEveryLine) {
    // 18 .. 355 Hz: 20 .. 90, 100 .. 300, where 1-2-5 gives only four labels.
    std::vector<double> all, labelled;
    for (const FrequencyTick& tick : FrequencyTicks(18.0, 355.0)) {
        all.push_back(tick.frequency);
        if (tick.labelled) labelled.push_back(tick.frequency);
    }
    EXPECT_EQ(all, (std::vector<double>{20, 30, 40, 50, 60, 70, 80, 90, 100, 200, 300}));
    EXPECT_EQ(labelled, all);
    // 300 .. 3000 Hz: 300 .. 900, 1k, 2k, 3k, four of them 1-2-5.
    const std::vector<FrequencyTick> decade = FrequencyTicks(300.0, 3000.0);
    EXPECT_EQ(decade.size(), 10u);
    for (const FrequencyTick& tick : decade) EXPECT_TRUE(tick.labelled) << tick.frequency;
    // 50 .. 1000 Hz has five: 50, 100, 200, 500, 1k; 60 Hz stays unlabelled.
    const std::vector<FrequencyTick> five = FrequencyTicks(50.0, 1000.0);
    EXPECT_EQ(std::count_if(five.begin(), five.end(), [](auto& t) { return t.labelled; }), 5);
}

TEST(PlotAxes, NoTicksForAnUnusableRange) {
    const double ranges[][2] = {{0.0, 100.0}, {100.0, 100.0}, {1000.0, 100.0}, {kNaN, 1000.0},
                                {20.0, kInf}, {-5.0, 100.0},  {0.5, 100.0},    {100.0, 1e9}};
    for (const auto& r : ranges)
        EXPECT_TRUE(FrequencyTicks(r[0], r[1]).empty()) << r[0] << " " << r[1];
}

TEST(PlotAxes, FrequencyLabels) {
    struct Case {
        double f;
        const char* label;
    };
    const Case cases[] = {{20, "20"},     {100, "100"},   {1000, "1k"},   {2000, "2k"},
                          {10000, "10k"}, {20000, "20k"}, {1500, "1.5k"}, {5, "5"},
                          {500, "500"},   {1e6, "1M"},    {kNaN, ""}};
    for (const Case& c : cases) EXPECT_EQ(FrequencyLabel(c.f), c.label) << c.f;
}

TEST(PlotAxes, DbRangeRoundsUpToFiveWithHeadroom) {
    struct Case {
        double max, top;
    };
    // Top: the first multiple of 5 dB at least 1 dB above the highest level.
    const Case cases[] = {{-20.0, -15.0}, {-16.2, -15.0}, {-15.5, -10.0}, {-1.0, 0.0},
                          {0.0, 5.0},     {3.7, 5.0},     {4.0, 5.0},     {4.01, 10.0},
                          {kNaN, 0.0},    {kInf, 0.0},    {1e300, 500.0}, {-1e300, -500.0}};
    for (const Case& c : cases) {
        const DbRange range = PlotDbRange(c.max);
        EXPECT_DOUBLE_EQ(range.top, c.top) << c.max;
        EXPECT_DOUBLE_EQ(range.bottom, c.top - 50.0) << c.max;
    }
}

TEST(PlotAxes, FrequencyRangeKeepsUsableSweeps) {
    const FrequencyRange range = PlotFrequencyRange(18.0, 16175.0);
    EXPECT_TRUE(range.valid);
    EXPECT_DOUBLE_EQ(range.low, 18.0);
    EXPECT_DOUBLE_EQ(range.high, 16175.0);
}

TEST(PlotAxes, FrequencyRangeRefusesUnusableSweeps) {
    const double sweeps[][2] = {{0.0, 100.0}, {100.0, 100.0}, {200.0, 100.0}, {-5.0, 100.0},
                                {kNaN, 1e3},  {20.0, kInf},   {-kInf, 0.0}};
    for (const auto& s : sweeps) {
        const FrequencyRange range = PlotFrequencyRange(s[0], s[1]);
        EXPECT_FALSE(range.valid) << s[0] << " " << s[1];
        EXPECT_DOUBLE_EQ(range.low, 20.0);
        EXPECT_DOUBLE_EQ(range.high, 20000.0);
    }
}

TEST(PlotAxes, FrequencyRangeWidensNarrowSweepsToADecade) {
    struct Case {
        double low, high, expectLow, expectHigh;
    };
    const double c1 = std::sqrt(1000.0 * 1010.0);
    const Case cases[] = {
        // About the geometric centre.
        {1000.0, 1010.0, c1 / std::sqrt(10.0), c1 * std::sqrt(10.0)},
        // Kept above 1 Hz and below 1 MHz.
        {0.1, 5.0, 1.0, 10.0},
        {5e5, 1e7, 1e5, 1e6},
        {2.0e7, 3.0e7, 1e5, 1e6},
    };
    for (const Case& c : cases) {
        const FrequencyRange range = PlotFrequencyRange(c.low, c.high);
        EXPECT_TRUE(range.valid);
        EXPECT_NEAR(range.low, c.expectLow, 1e-9 * c.expectLow) << c.low;
        EXPECT_NEAR(range.high, c.expectHigh, 1e-9 * c.expectHigh) << c.low;
    }
}

TEST(PlotAxes, PercentAxisTopIsTheNextOneTwoFive) {
    const double cases[][2] = {{0.05, 0.1}, {0.1, 0.1},  {0.15, 0.2},    {3.2, 5.0},
                               {5.0, 5.0},  {7.0, 10.0}, {150.0, 200.0}, {2000.0, 1000.0},
                               {kNaN, 0.1}, {-3.0, 0.1}, {kInf, 1000.0}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(PercentAxisTop(c[0]), c[1]) << c[0];
}

TEST(PlotAxes, BandLevelIsThePowerMean) {
    PlotCurve curve{{90.0, 100.0, 150.0, 200.0, 210.0}, {50.0, 10.0, kNaN, 0.0, 50.0}};
    // Powers 10 and 1 in the band: mean 5.5.
    EXPECT_NEAR(BandLevelOfResponse(curve, 100.0, 200.0), 10.0 * std::log10(5.5), 1e-12);
    EXPECT_TRUE(std::isnan(BandLevelOfResponse(curve, 300.0, 400.0)));
    EXPECT_TRUE(std::isnan(BandLevelOfResponse(PlotCurve{}, 100.0, 200.0)));
    // Levels far beyond what a power can hold still average.
    PlotCurve loud{{100.0, 200.0}, {4000.0, 4000.0}};
    EXPECT_NEAR(BandLevelOfResponse(loud, 100.0, 200.0), 4000.0, 1e-9);
    // Unequal lengths: only the pairs count.
    PlotCurve ragged{{100.0, 150.0, 200.0}, {-6.0}};
    EXPECT_DOUBLE_EQ(BandLevelOfResponse(ragged, 100.0, 200.0), -6.0);
}

TEST(PlotAxes, TableZeroSitsAtTheLoudestBandOfTheResponse) {
    const PlotCurve response{{100.0, 150.0, 1000.0, 1500.0}, {-3.0, -3.0, -9.0, -9.0}};
    EXPECT_DOUBLE_EQ(TableZeroLevel(response, {{90, 160, -6.0}, {900, 1600, 0.0}}), -3.0);
    // A band without a level does not count.
    EXPECT_DOUBLE_EQ(TableZeroLevel(response, {{90, 160, -kInf}, {900, 1600, 0.0}}), -9.0);
    EXPECT_TRUE(std::isnan(TableZeroLevel(response, {{90, 160, kNaN}})));
    EXPECT_TRUE(std::isnan(TableZeroLevel(response, {})));
}

TEST(PlotAxes, FrameRangesTheDbAxisToTheData) {
    PlotData data;
    data.lowFrequency = 20.0;
    data.highFrequency = 20000.0;
    data.response = {{100.0, 1000.0, 30000.0}, {-30.0, -12.0, 40.0}};
    data.bands = {{500.0, 2000.0, 0.0}, {2000.0, 4000.0, kNaN}};
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    // 30 kHz lies outside the axis; the band's 0 dB sits at the response's
    // level over 500..2000 Hz, -12 dB; the top is -12 + 1 rounded up to 5.
    EXPECT_DOUBLE_EQ(frame.tableZero, -12.0);
    EXPECT_DOUBLE_EQ(frame.levels.top, -10.0);
    EXPECT_DOUBLE_EQ(frame.levels.bottom, -60.0);
    EXPECT_TRUE(std::isnan(frame.percentTop));
    EXPECT_LT(frame.left, frame.right);
    EXPECT_LT(frame.top, frame.bottom);
    EXPECT_GE(frame.left, 0.0);
    EXPECT_LE(frame.right, kPlotWidth);
    EXPECT_LE(frame.bottom, kPlotHeight);

    // A stated table level raises the axis when the steps stand higher.
    data.tableZeroLevel = 2.0;
    EXPECT_DOUBLE_EQ(FramePlot(data, kPlotWidth, kPlotHeight).levels.top, 5.0);

    data.extra = PlotExtraCurve{"THD", {{100.0, 1000.0}, {3.2, 0.4}}, PlotScale::kPercent};
    EXPECT_DOUBLE_EQ(FramePlot(data, kPlotWidth, kPlotHeight).percentTop, 5.0);

    // Positions and the spread raise it as well, by what lies in the swept range.
    data.backgroundCurves = {{}, {{100.0, 200.0, 30000.0}, {23.0, kInf, 80.0}}};
    EXPECT_DOUBLE_EQ(FramePlot(data, kPlotWidth, kPlotHeight).levels.top, 25.0);
    data.spreadLow = {{500.0, 600.0}, {-40.0, -40.0}};
    data.spreadHigh = {{500.0, 600.0}, {33.0, kNaN}};
    EXPECT_DOUBLE_EQ(FramePlot(data, kPlotWidth, kPlotHeight).levels.top, 35.0);
}

TEST(PlotTitle, SaysWhatTheRunWas) {
    RunDescription run;
    run.date = "2026-12-07 13:05:12";
    run.device = "rig_room";
    run.q = 4.0;
    run.bands = 31;
    run.startFrequency = 18.0;
    run.sweepLength = 10.0;
    EXPECT_EQ(
        PlotTitleLines(run, 0.0029166),
        (std::vector<std::string>{
            "Sweep 2026-12-07 13:05:12, device rig_room",
            "Q 4, 31 bands, start 18 Hz, length 10 s, linear sweep, acoustic delay 2.92 ms"}));

    run.q = 1.3;
    run.bands = 1;
    run.startFrequency = 22.5;
    run.sweepLength = 0.5;
    run.sweep = SweepKind::Exponential;
    run.calibration = "Calibration:  mic.txt (3 points, 20.0 Hz to 20000.0 Hz)";
    const std::vector<std::string> lines = PlotTitleLines(run, kNaN);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1],
              "Q 1.3, 1 band, start 22.5 Hz, length 0.5 s, exponential sweep, acoustic delay "
              "not found");
    // The calibration's own line, once.
    EXPECT_EQ(lines[2], "Calibration:  mic.txt (3 points, 20.0 Hz to 20000.0 Hz)");
    // A delay that rounds to zero has no sign.
    EXPECT_NE(PlotTitleLines(run, -1e-7)[1].find("acoustic delay 0.00 ms"), std::string::npos);
}

// ---- Files ----

// A straight line of 6 dB per octave through -20 dB at 1 kHz.
double SixPerOctave(double f) {
    return -20.0 + 6.0 * std::log2(f / 1000.0);
}

PlotData SlopeData() {
    PlotData data;
    data.titleLines = {"Sweep 2026-12-07 13:05:12   device rig", "Q 4, 31 bands, start 20 Hz"};
    data.lowFrequency = 20.0;
    data.highFrequency = 20000.0;
    data.response = Curve(20.0, 20000.0, SixPerOctave);
    return data;
}

// Writes the picture into a new file at path as a run does: "" or the reason.
template <typename Writer>
std::string WriteFile(const std::string& path, const PlotData& data, Writer writer) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) return std::strerror(errno);
    const Written written = writer(descriptor, data);
    return written.ok() ? "" : Words(written.reason());
}
std::string WritePng(const std::string& path, const PlotData& data) {
    return WriteFile(path, data, WritePlotPng);
}
std::string WriteSvg(const std::string& path, const PlotData& data) {
    return WriteFile(path, data, WritePlotSvg);
}

TEST_F(PlotFiles, PngReadsBackAtItsSize) {
    const std::string path = File("sweep.png");
    ASSERT_EQ(WritePng(path, SlopeData()), "");
    Png png(path);
    ASSERT_TRUE(png.Ok());
    EXPECT_EQ(png.Width(), 1600);
    EXPECT_EQ(png.Height(), 900);
    EXPECT_FALSE(fs::exists(path + ".part"));
}

TEST_F(PlotFiles, SvgParsesAsXml) {
    const std::string path = File("sweep.svg");
    PlotData data = SlopeData();
    // Characters XML gives a meaning to, in the text.
    data.titleLines.push_back("device <a&b> \"quoted\" 'single'");
    data.cornerLines = {"T30 <1 s & more"};
    ASSERT_EQ(WriteSvg(path, data), "");
    std::string why;
    EXPECT_TRUE(ParsesAsSvg(path, &why)) << why;
    EXPECT_FALSE(fs::exists(path + ".part"));
}

TEST_F(PlotFiles, CurveLandsOnItsLevels) {
    const std::string path = File("slope.png");
    const PlotData data = SlopeData();
    ASSERT_EQ(WritePng(path, data), "");
    Png png(path);
    ASSERT_TRUE(png.Ok());
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    // Highest level -20 + 6 log2(20) = 5.93 dB: the axis runs -40 .. 10 dB.
    ASSERT_DOUBLE_EQ(frame.levels.top, 10.0);
    const double width = frame.right - frame.left;
    const double height = frame.bottom - frame.top;
    for (double f : {125.0, 250.0, 1000.0, 4000.0, 8000.0}) {
        const double x = frame.left + width * std::log(f / 20.0) / std::log(1000.0);
        const double expected = frame.top + height * (10.0 - SixPerOctave(f)) / 50.0;
        const int column = static_cast<int>(std::floor(x));
        const double row = png.MeanRowOf(column, static_cast<int>(frame.top) + 1,
                                         static_cast<int>(frame.bottom) - 1, Opaque(kResponseRgb));
        ASSERT_FALSE(std::isnan(row)) << f << " Hz: no curve in column " << column;
        EXPECT_NEAR(row + 0.5, expected, 1.5) << f << " Hz";
    }
}

TEST_F(PlotFiles, BandStepsSpanTheirEdgesAtTheirLevel) {
    const std::string path = File("bands.png");
    PlotData data;
    data.lowFrequency = 20.0;
    data.highFrequency = 20000.0;
    data.tableZeroLevel = -10.0;
    data.bands = {{500.0, 2000.0, -6.0}, {2000.0, 4000.0, -kInf}};
    ASSERT_EQ(WritePng(path, data), "");
    Png png(path);
    ASSERT_TRUE(png.Ok());
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    // The step stands at -10 - 6 = -16 dB, so the axis runs -65 .. -15 dB.
    ASSERT_DOUBLE_EQ(frame.levels.top, -15.0);
    const double width = frame.right - frame.left;
    const double height = frame.bottom - frame.top;
    const double expected = frame.top + height * (-15.0 - -16.0) / 50.0;
    const Rgb colour = OverWhite(kBandRgb, 0.9);
    auto rowAt = [&](double f) {
        const double x = frame.left + width * std::log(f / 20.0) / std::log(1000.0);
        return png.MeanRowOf(static_cast<int>(std::floor(x)), static_cast<int>(frame.top) + 1,
                             static_cast<int>(frame.bottom) - 1, colour);
    };
    for (double f : {550.0, 1100.0, 1900.0}) EXPECT_NEAR(rowAt(f) + 0.5, expected, 1.5) << f;
    // Outside the band, and over the band without a level: nothing.
    for (double f : {300.0, 2500.0, 3500.0}) EXPECT_TRUE(std::isnan(rowAt(f))) << f;
}

TEST_F(PlotFiles, UnusableLevelsLeaveGaps) {
    const std::string path = File("gap.png");
    PlotData data = SlopeData();
    for (std::size_t i = 0; i < data.response.frequencies.size(); ++i) {
        const double f = data.response.frequencies[i];
        if (f > 700.0 && f < 1400.0) data.response.levels[i] = (i % 2 == 0) ? kNaN : -kInf;
    }
    ASSERT_EQ(WritePng(path, data), "");
    Png png(path);
    ASSERT_TRUE(png.Ok());
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    auto rowAt = [&](double f) {
        const double x =
            frame.left + (frame.right - frame.left) * std::log(f / 20.0) / std::log(1000.0);
        return png.MeanRowOf(static_cast<int>(std::floor(x)), static_cast<int>(frame.top) + 1,
                             static_cast<int>(frame.bottom) - 1, Opaque(kResponseRgb));
    };
    EXPECT_TRUE(std::isnan(rowAt(1000.0)));
    EXPECT_FALSE(std::isnan(rowAt(500.0)));
    EXPECT_FALSE(std::isnan(rowAt(2000.0)));
}

TEST_F(PlotFiles, PercentCurveSitsOnTheRightAxis) {
    const std::string path = File("thd.png");
    PlotData data;
    data.lowFrequency = 20.0;
    data.highFrequency = 20000.0;
    // 1.5 % everywhere but 3.2 % at the bottom end: the right axis runs 0 .. 5 %.
    data.extra =
        PlotExtraCurve{"THD", Curve(20.0, 20000.0, [](double f) { return f < 30.0 ? 3.2 : 1.5; }),
                       PlotScale::kPercent};
    ASSERT_EQ(WritePng(path, data), "");
    Png png(path);
    ASSERT_TRUE(png.Ok());
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    ASSERT_DOUBLE_EQ(frame.percentTop, 5.0);
    const double x =
        frame.left + (frame.right - frame.left) * std::log(1000.0 / 20.0) / std::log(1000.0);
    const double expected = frame.bottom - (frame.bottom - frame.top) * 1.5 / 5.0;
    const double row =
        png.MeanRowOf(static_cast<int>(std::floor(x)), static_cast<int>(frame.top) + 1,
                      static_cast<int>(frame.bottom) - 1, Opaque(kExtraRgb));
    EXPECT_NEAR(row + 0.5, expected, 1.5);
}

// The THD's noise limit: a thin dashed curve in the THD's colour at its
// own height on the percent axis, with a legend line of its own; the THD
// itself is drawn only where it has values (here below 200 Hz).
TEST_F(PlotFiles, NoiseLimitIsDashedOnThePercentAxis) {
    const std::string path = File("limit.png");
    PlotData data;
    data.lowFrequency = 20.0;
    data.highFrequency = 20000.0;
    PlotExtraCurve extra{"THD",
                         Curve(20.0, 20000.0, [](double f) { return f < 200.0 ? 1.5 : kNaN; }),
                         PlotScale::kPercent};
    data.extra = extra;
    const PlotFrame without = FramePlot(data, kPlotWidth, kPlotHeight);
    extra.limit = Curve(20.0, 20000.0, [](double) { return 0.5; });
    extra.limitLabel = "THD noise limit";
    data.extra = extra;
    ASSERT_EQ(WritePng(path, data), "");
    Png png(path);
    ASSERT_TRUE(png.Ok());
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    ASSERT_DOUBLE_EQ(frame.percentTop, 2.0);
    // One legend line more pushes the plotting area down.
    EXPECT_GT(frame.top, without.top);
    const double limitRow = frame.bottom - (frame.bottom - frame.top) * 0.5 / 2.0;
    const double thdRow = frame.bottom - (frame.bottom - frame.top) * 1.5 / 2.0;
    const auto xAt = [&frame](double f) {
        return frame.left + (frame.right - frame.left) * std::log(f / 20.0) / std::log(1000.0);
    };
    // Along the limit's row from 1 kHz to 10 kHz: strokes and gaps, about
    // 7 to 5, not a solid line.
    int on = 0, columns = 0, runs = 0;
    bool last = false;
    for (int x = static_cast<int>(xAt(1000.0)); x < static_cast<int>(xAt(10000.0)); ++x) {
        // The thin line covers parts of two rows: a pixel counts when it
        // leans to the THD's purple (green well below red and blue).
        bool inked = false;
        for (int y = static_cast<int>(limitRow) - 2; y <= static_cast<int>(limitRow) + 2; ++y) {
            const Rgb p = png.At(x, y);
            inked = inked || (p.red - p.green > 0.2 && p.blue - p.green > 0.2);
        }
        on += inked;
        runs += inked && !last;
        last = inked;
        ++columns;
    }
    EXPECT_GT(on, columns * 4 / 10) << on << " of " << columns;
    EXPECT_LT(on, columns * 8 / 10) << on << " of " << columns;
    EXPECT_GT(runs, 20);
    // The THD at 100 Hz stands at 1.5 %, and nothing of it at 1 kHz.
    const double row100 =
        png.MeanRowOf(static_cast<int>(xAt(100.0)), static_cast<int>(frame.top) + 1,
                      static_cast<int>(limitRow) - 10, Opaque(kExtraRgb));
    EXPECT_NEAR(row100 + 0.5, thdRow, 1.5);
    EXPECT_TRUE(
        std::isnan(png.MeanRowOf(static_cast<int>(xAt(1000.0)), static_cast<int>(frame.top) + 1,
                                 static_cast<int>(limitRow) - 10, Opaque(kExtraRgb))));
}

// An average: a flat band from -32 to -22 dB, broken from 700 Hz to 1.4 kHz,
// and a flat position at -27.5 dB, between grid lines (as the columns at 150,
// 3000 and 7000 Hz are). The response (slope s) is drawn 5 wide, not 3, so
// covers 2 sqrt(1 + s^2) rows more of its column at 1 kHz.
TEST_F(PlotFiles, AverageDrawsSpreadPositionsAndAThickerResponse) {
    PlotData data = SlopeData();
    const auto thickness = [&](const Png& png, const PlotFrame& frame) {
        const int x = static_cast<int>(FrequencyToX(1000.0, 20.0, 2e4, frame.left, frame.right));
        int count = 0;
        for (int y = static_cast<int>(frame.top) + 1; y < static_cast<int>(frame.bottom); ++y) {
            count += !std::isnan(png.MeanRowOf(x, y, y, Opaque(kResponseRgb)));
        }
        return count;
    };
    ASSERT_EQ(WritePng(File("alone.png"), data), "");
    const int alone = thickness(Png(File("alone.png")), FramePlot(data, kPlotWidth, kPlotHeight));
    data.spreadLow = Curve(20.0, 20000.0, [](double) { return -32.0; });
    data.spreadHigh =
        Curve(20.0, 20000.0, [](double f) { return f > 700 && f < 1400 ? kNaN : -22.0; });
    data.backgroundCurves = {Curve(20.0, 20000.0, [](double) { return -27.5; })};
    ASSERT_EQ(WritePng(File("average.png"), data), "");
    const Png png(File("average.png"));
    const PlotFrame frame = FramePlot(data, kPlotWidth, kPlotHeight);
    EXPECT_GE(thickness(png, frame), alone + 2);
    const auto x = [&](double f) {
        return static_cast<int>(FrequencyToX(f, 20.0, 20000.0, frame.left, frame.right));
    };
    const auto y = [&](double level) {
        return LevelToY(level, frame.levels.bottom, frame.levels.top, frame.bottom, frame.top);
    };
    const auto tinted = [&](double f, double level) {
        const int row = static_cast<int>(y(level));
        return !std::isnan(
            png.MeanRowOf(x(f), row, row, OverWhite(kSpreadRgb, kSpreadAlpha), 0.03));
    };
    // The thin line covers half or more of some row's pixel.
    const Rgb grey = OverWhite(kBackgroundRgb, kBackgroundAlpha);
    const double half = 0.5 * (3.0 - grey.red - grey.green - grey.blue);
    const int row = static_cast<int>(y(-27.5));
    for (double f : {150.0, 3000.0, 7000.0}) {
        EXPECT_TRUE(tinted(f, -24.0) && !tinted(f, -20.0) && !tinted(f, -34.0)) << f;
        EXPECT_NEAR(png.MeanRowOf(x(f), row - 8, row + 8, grey, half) + 0.5, y(-27.5), 1.0) << f;
    }
    EXPECT_FALSE(tinted(1000.0, -24.0));
}

// Data no run should produce, each drawn to both files without failing.
TEST_F(PlotFiles, HostileDataDrawsWithoutFailing) {
    std::vector<PlotData> cases(9);
    cases[0].lowFrequency = 1000.0;  // zero-width sweep
    cases[0].highFrequency = 1000.0;
    cases[0].response = {{1000.0}, {-3.0}};
    cases[1].lowFrequency = -20.0;  // negative frequencies everywhere
    cases[1].highFrequency = -1.0;
    cases[1].response = {{-20.0, -10.0}, {0.0, 1.0}};
    cases[2].lowFrequency = kNaN;  // nothing usable at all
    cases[2].highFrequency = kInf;
    cases[3].lowFrequency = 20.0;  // levels at the ends of the double range
    cases[3].highFrequency = 20000.0;
    cases[3].response = {{20.0, 100.0, 1000.0, 2000.0, 5000.0},
                         {1e308, -1e308, kNaN, kInf, std::numeric_limits<double>::denorm_min()}};
    cases[3].bands = {{20.0, 100.0, 1e308}, {100.0, 200.0, -1e308}, {kNaN, kInf, 0.0}};
    cases[3].noiseFloor = {{0.0, -5.0, kNaN}, {1.0, 2.0, 3.0}};
    cases[4].lowFrequency = 20.0;  // unequal lengths, frequencies out of order
    cases[4].highFrequency = 20000.0;
    cases[4].response = {{5000.0, 20.0, 300.0, 1e9}, {-10.0, -20.0}};
    cases[4].extra = PlotExtraCurve{"", {{100.0}, {kNaN}}, PlotScale::kPercent};
    cases[5].lowFrequency = 1e-300;  // a range far outside the axis limits
    cases[5].highFrequency = 1e300;
    cases[5].response = Curve(20.0, 20000.0, SixPerOctave);
    cases[5].cornerLines = {"", "x"};
    cases[6].lowFrequency = 20.0;  // a dense raw response: 200000 points
    cases[6].highFrequency = 20000.0;
    for (int i = 0; i < 200000; ++i) {
        cases[6].response.frequencies.push_back(20.0 + i * 0.1);
        cases[6].response.levels.push_back(i % 7 == 0 ? kNaN : std::sin(i * 0.37) * 20.0);
    }
    cases[7].titleLines = {std::string(5000, 'W'), ""};  // a title far wider than the picture
    cases[7].lowFrequency = 18.0;
    cases[7].highFrequency = 16175.0;
    cases[8].lowFrequency = 20.0;  // bands with inverted and zero edges
    cases[8].highFrequency = 20000.0;
    cases[8].bands = {{2000.0, 1000.0, 0.0}, {0.0, 0.0, -3.0}, {-1.0, 100.0, -6.0}};
    cases[8].tableZeroLevel = -kInf;
    cases[4].spreadLow = {{100.0, 200.0, 300.0, 400.0}, {-kInf, 0.0, 1.0}};  // and a spread too
    cases[4].spreadHigh = {{100.0, 250.0, 300.0}, {5.0, 5.0, 5.0, 5.0}};
    cases[4].backgroundCurves = {{}, {{1e9, -1.0}, {0.0, 0.0}}};
    cases.push_back(cases[6]);  // a dense spread, broken everywhere, and 3000 short positions
    cases[9].spreadLow = cases[6].response;
    cases[9].spreadHigh = {cases[6].response.frequencies, std::vector<double>(200000, 1e308)};
    for (int i = 0; i < 3000; ++i)
        cases[9].backgroundCurves.push_back({{20.0 + i, 2e4}, {std::sin(i) * 40.0, -1e308}});

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string png = File("case" + std::to_string(i) + ".png");
        const std::string svg = File("case" + std::to_string(i) + ".svg");
        EXPECT_EQ(WritePng(png, cases[i]), "") << "case " << i;
        EXPECT_EQ(WriteSvg(svg, cases[i]), "") << "case " << i;
        Png read(png);
        EXPECT_TRUE(read.Ok()) << "case " << i;
        EXPECT_EQ(read.Width(), kPlotWidth) << "case " << i;
        std::string why;
        EXPECT_TRUE(ParsesAsSvg(svg, &why)) << "case " << i << ": " << why;
    }
}

// Text is whatever a device or file name holds: malformed UTF-8 (a stray
// byte, a cut sequence, an overlong form, a surrogate) draws as well as good
// UTF-8 does.
TEST_F(PlotFiles, MalformedTextStillDraws) {
    const std::string texts[] = {"device \xff\xfe",
                                 "cut \xe2\x82",
                                 "overlong \xc0\xaf",
                                 "surrogate \xed\xa0\x80",
                                 "beyond \xf4\x90\x80\x80",
                                 "fine \xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5",
                                 std::string("nul \0 inside", 13)};
    for (const std::string& text : texts) {
        PlotData data = SlopeData();
        data.titleLines = {text, text};
        data.responseLabel = text;
        data.cornerLines = {text};
        data.extra = PlotExtraCurve{text, {{100.0}, {1.0}}, PlotScale::kPercent};
        EXPECT_EQ(WritePng(File("text.png"), data), "") << text;
        EXPECT_EQ(WriteSvg(File("text.svg"), data), "") << text;
    }
}

TEST_F(PlotFiles, UnwritableFilesAreReported) {
    const PlotData data = SlopeData();
    // No file, and a file open for reading only.
    EXPECT_FALSE(WritePlotPng(-1, data).ok());
    EXPECT_FALSE(WritePlotSvg(-1, data).ok());
    std::FILE* made = std::fopen(File("readonly.png").c_str(), "w");
    ASSERT_NE(made, nullptr);
    std::fclose(made);
    const int descriptor = open(File("readonly.png").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    const Written written = WritePlotPng(descriptor, data);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(Words(written.reason()), std::strerror(EBADF));
}

TEST_F(PlotFiles, AFullDiskIsReported) {
    const PlotData data = SlopeData();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    // Files may not grow beyond 4 KiB: writes past it fail as on a full disk.
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string png = WritePng(File("full.png"), data);
    const std::string svg = WriteSvg(File("full.svg"), data);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(png, std::strerror(EFBIG));
    EXPECT_EQ(svg, std::strerror(EFBIG));
}

}  // namespace
