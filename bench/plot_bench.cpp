// The picture of one default run: drawing and writing both files (PNG and
// SVG) for a 1/12-octave response over 20 Hz - 20 kHz, with the 31 bands of
// the default plan and a noise floor. Prints the first call's time (which
// includes loading the fonts) and the median and worst of the calls after it,
// wall clock and processor time, and the share each file takes.

#include <cairo.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/band_plan.h"
#include "console/plot.h"

namespace {

constexpr int kRepeats = 30;
constexpr double kTargetMs = 100.0;

double CpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1.0e6;
}

double WallMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A room: two modes, a high-pass at 35 Hz and a treble shelf, as a
// magnitude in dB.
double Room(double f) {
    using Complex = std::complex<double>;
    auto peak = [f](double f0, double gainDb, double q) {
        const Complex s(0.0, f / f0);
        return 1.0 + (std::pow(10.0, gainDb / 20.0) - 1.0) * (s / q) / (s * s + s / q + 1.0);
    };
    const Complex hp(0.0, f / 35.0);
    const Complex highPass = hp * hp / (hp * hp + std::sqrt(2.0) * hp + 1.0);
    const Complex sh(0.0, f / 8000.0);
    const Complex shelf = (1.0 + 0.5 * sh) / (1.0 + sh);
    return -20.0 + 20.0 * std::log10(std::abs(peak(52.0, 12.0, 6.0) * peak(118.0, 8.0, 8.0) *
                                              highPass * shelf));
}

PlotData DefaultRun() {
    BandPlan plan;
    const double end = FindHighFreq(4.0, 31, 18.0, plan.lowerEdges, plan.upperEdges);
    PlotData data;
    data.titleLines = {"Sweep 2026-12-07 13:05:12   device rig_room",
                       "Q 4, 31 bands, start 18 Hz, length 10 s, acoustic delay 2.92 ms"};
    data.lowFrequency = 18.0;
    data.highFrequency = std::max(end, 20000.0);
    // Four points per 1/12 octave.
    for (double f = 20.0; f <= 20000.0; f *= std::pow(2.0, 1.0 / 48.0)) {
        data.response.frequencies.push_back(f);
        data.response.levels.push_back(Room(f));
        data.noiseFloor.frequencies.push_back(f);
        data.noiseFloor.levels.push_back(-60.0 + 12.0 * std::exp(-f / 80.0));
    }
    for (int b = 0; b < 31; ++b) {
        const double level =
            BandLevelOfResponse(data.response, plan.lowerEdges[b], plan.upperEdges[b]);
        data.bands.push_back({plan.lowerEdges[b], plan.upperEdges[b], level});
    }
    const double zero = TableZeroLevel(data.response, data.bands);
    for (PlotBand& band : data.bands) band.level -= zero;
    return data;
}

}  // namespace

// Writes the picture into a new file at path as a run does: "" or the reason.
template <typename Writer>
std::string WriteFile(const std::string& path, const PlotData& data, Writer writer) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) return std::strerror(errno);
    const Written written = writer(descriptor, data);
    return written.ok() ? "" : Words(written.reason());
}

int main() {
    std::string dir =
        (std::filesystem::temp_directory_path() / "zembrak_plot_bench_XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("plot_bench: temporary directory");
        return 1;
    }
    const std::string png = dir + "/sweep.png";
    const std::string svg = dir + "/sweep.svg";
    const PlotData data = DefaultRun();
    std::printf("plot_bench: %zu response points, %zu bands, %dx%d\n", data.response.levels.size(),
                data.bands.size(), kPlotWidth, kPlotHeight);

    std::vector<double> wall, cpu, pngShare, svgShare;
    double firstWall = 0.0;
    for (int i = 0; i <= kRepeats; ++i) {
        const double w0 = WallMs(), c0 = CpuMs();
        const std::string pngError = WriteFile(png, data, WritePlotPng);
        const double w1 = WallMs();
        const std::string svgError = WriteFile(svg, data, WritePlotSvg);
        const double w2 = WallMs(), c2 = CpuMs();
        if (!pngError.empty() || !svgError.empty()) {
            std::fprintf(stderr, "plot_bench: %s%s\n", pngError.c_str(), svgError.c_str());
            return 1;
        }
        if (i == 0) {
            firstWall = w2 - w0;
            continue;
        }
        wall.push_back(w2 - w0);
        cpu.push_back(c2 - c0);
        pngShare.push_back(w1 - w0);
        svgShare.push_back(w2 - w1);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double medianWall = median(wall);
    std::printf("plot_bench: first call %.1f ms (fonts loaded)\n", firstWall);
    std::printf(
        "plot_bench: both pictures, median of %d: %.1f ms wall (%.1f ms cpu), worst %.1f ms\n",
        kRepeats, medianWall, median(cpu), *std::max_element(wall.begin(), wall.end()));
    std::printf("plot_bench: of which PNG %.1f ms, SVG %.1f ms (medians)\n", median(pngShare),
                median(svgShare));
    std::printf("plot_bench: files %ju and %ju bytes\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(png)),
                static_cast<std::uintmax_t>(std::filesystem::file_size(svg)));
    std::printf("plot_bench: target %.0f ms: %s\n", kTargetMs,
                medianWall <= kTargetMs ? "met" : "NOT met");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
