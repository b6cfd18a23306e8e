#include "console/time_plot.h"

#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "console/plot.h"

namespace {

// The mean row of the pixels of column x within tolerance of colour, NaN
// when there are none.
double MeanRowOf(cairo_surface_t* png, int x, int top, int bottom, PlotRgb colour) {
    const unsigned char* data = cairo_image_surface_get_data(png);
    const int stride = cairo_image_surface_get_stride(png);
    double sum = 0.0;
    int count = 0;
    for (int y = top; y <= bottom; ++y) {
        std::uint32_t pixel;
        std::memcpy(&pixel, data + y * stride + 4 * x, sizeof pixel);
        const double d = std::fabs(((pixel >> 16) & 0xff) / 255.0 - colour.red) +
                         std::fabs(((pixel >> 8) & 0xff) / 255.0 - colour.green) +
                         std::fabs((pixel & 0xff) / 255.0 - colour.blue);
        if (d < 0.15) {
            sum += y;
            ++count;
        }
    }
    return count > 0 ? sum / count : std::nan("");
}

TEST(TimePlot, TheCurvesLandOnTheirAxes) {
    TimePlotData data;
    data.titleLines = {"Sweep 2026-12-08 14:00:00, device rig", "Q 4, 31 bands"};
    TimeViews& views = data.views;
    views.gap = TimeGap::kNone;
    views.etcLowHz = 100.0;
    views.etcHighHz = 16000.0;
    views.etcStepSeconds = 1.0 / 48000.0;
    // A decay of 0.25 dB per ms.
    for (int n = 0; n <= 9600; ++n) views.etcDb.push_back(static_cast<float>(-0.25 * n / 48.0));
    views.reflections = {{0.012, 0.012 * 343.0, -6.0}};
    views.reflectionsGap = TimeGap::kNone;
    // Every slice flat at -10 dB, 2 dB lower at each later slice.
    for (double f = 15.0; f <= 500.0; f += 1.0) views.waterfall.frequencies.push_back(f);
    for (int s = 0; s <= 100; ++s) {
        views.waterfall.times.push_back(s * 0.005);
        views.waterfall.levels.emplace_back(views.waterfall.frequencies.size(),
                                            static_cast<float>(-10.0 - 0.4 * s));
    }
    views.waterfall.resolutionHz = 3.3;
    const std::string path = (std::filesystem::path(testing::TempDir()) / "time.png").string();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteTimePlotPng(fd, data).ok());
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png), kTimePlotWidth);
    EXPECT_EQ(cairo_image_surface_get_height(png), kTimePlotHeight);
    const TimePlotFrame frame;
    // The ETC: 0 dB at the top, -60 dB at the bottom over 0..200 ms.
    for (double ms : {30.0, 80.0, 130.0, 190.0}) {
        const double x = frame.etcLeft + (frame.etcRight - frame.etcLeft) * ms / 200.0;
        const double y = frame.etcTop + (frame.etcBottom - frame.etcTop) * (0.25 * ms) / 60.0;
        const double row = MeanRowOf(png, static_cast<int>(x), static_cast<int>(frame.etcTop) + 2,
                                     static_cast<int>(frame.etcBottom) - 2, kResponseRgb);
        EXPECT_NEAR(row, y, 2.0) << ms << " ms";
    }
    // The reflection's mark at 12 ms, -6 dB.
    const double markX = frame.etcLeft + (frame.etcRight - frame.etcLeft) * 12.0 / 200.0;
    const double markY = frame.etcTop + (frame.etcBottom - frame.etcTop) * 6.0 / 60.0;
    // (Rows above the threshold's dashed line, in the same colour.)
    EXPECT_NEAR(MeanRowOf(png, static_cast<int>(markX), static_cast<int>(frame.etcTop),
                          static_cast<int>(markY) + 15, kBandRgb),
                markY, 2.0);
    // The first slice, at the back: log frequency axis from 15 to 500 Hz,
    // -10 dB of a 45 dB span.
    for (double f : {20.0, 50.0, 150.0, 400.0}) {
        const double x =
            frame.fallLeft + frame.depthX +
            (frame.fallRight - frame.fallLeft) * std::log(f / 15.0) / std::log(500.0 / 15.0);
        const double y =
            frame.fallBottom + frame.depthY + (frame.fallTop - frame.fallBottom) * 35.0 / 45.0;
        const double row =
            MeanRowOf(png, static_cast<int>(x), static_cast<int>(frame.fallTop) - 300,
                      static_cast<int>(frame.fallBottom), kResponseRgb);
        EXPECT_NEAR(row, y, 2.0) << f << " Hz";
    }
    cairo_surface_destroy(png);
    std::filesystem::remove(path);
}

}  // namespace
