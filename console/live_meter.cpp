#include "console/live_meter.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 20;

// "-12.3" dBFS of a peak given as a share of full scale; "-inf" for silence.
std::string PeakText(double peak, bool clipped) {
    char text[32];
    if (!(peak > 0.0)) {
        std::snprintf(text, sizeof text, "  -inf");
    } else {
        std::snprintf(text, sizeof text, "%6.1f", std::max(-199.9, 20.0 * std::log10(peak)));
    }
    return std::string(text) + (clipped ? " CLIP" : "     ");
}

}  // namespace

std::string MeterLine(const ChunkLevels& levels, double rate) {
    const double total = rate > 0.0 ? static_cast<double>(levels.frameCount) / rate : 0.0;
    const double done = rate > 0.0 ? static_cast<double>(levels.framesDone) / rate : 0.0;
    const double share =
        levels.frameCount > 0
            ? std::clamp(static_cast<double>(levels.framesDone) / levels.frameCount, 0.0, 1.0)
            : 0.0;
    const int filled = static_cast<int>(share * kBarWidth);
    char head[64];
    std::snprintf(head, sizeof head, "%6.1f / %.1f s [", std::min(done, 99999.9),
                  std::min(total, 99999.9));
    std::string line = head;
    line += std::string(static_cast<std::size_t>(filled), '#');
    line += std::string(static_cast<std::size_t>(kBarWidth - filled), '.');
    line += "] in 1 " + PeakText(levels.peak1, levels.clipped1) + " in 2 ";
    // NaN counts as not come back.
    if (levels.peak2 >= kPulseBackPeak) {
        line += PeakText(levels.peak2, levels.clipped2) + " dBFS";
    } else {
        line += "no pulse yet";
    }
    return line.substr(0, 79);
}

LiveMeter::LiveMeter(std::FILE* out, bool enabled, double rate)
    : out_(out), enabled_(enabled), rate_(rate) {}

LiveMeter::~LiveMeter() {
    Erase();
}

void LiveMeter::Update(const ChunkLevels& chunk) {
    if (!enabled_) return;
    pending_.framesDone = chunk.framesDone;
    pending_.frameCount = chunk.frameCount;
    pending_.peak1 = std::max(pending_.peak1, chunk.peak1);
    pending_.clipped1 = pending_.clipped1 || chunk.clipped1;
    // Input 2 carries the pulse once, at the start: its level is held for
    // the rest of the run, so that it can be read at any redraw.
    if (chunk.peak2 > pulsePeak_) pulsePeak_ = chunk.peak2;
    pulseClipped_ = pulseClipped_ || chunk.clipped2;
    pending_.peak2 = pulsePeak_;
    pending_.clipped2 = pulseClipped_;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - lastDrawn_ < kRedrawInterval) return;
    std::fprintf(out_, "\r%s", MeterLine(pending_, rate_).c_str());
    std::fflush(out_);
    shown_ = true;
    lastDrawn_ = now;
    pending_ = ChunkLevels{};
}

void LiveMeter::Erase() {
    if (!shown_) return;
    std::fprintf(out_, "\r%79s\r", "");
    std::fflush(out_);
    shown_ = false;
}
