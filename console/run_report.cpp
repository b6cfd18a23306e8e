#include "console/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/options.h"

namespace {

// Appends printf-formatted text, however long it comes out.
void AppendFormat(std::string& text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        const std::size_t oldSize = text.size();
        text.resize(oldSize + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data() + oldSize, static_cast<std::size_t>(length) + 1, format, args);
        text.resize(oldSize + static_cast<std::size_t>(length));
    }
    va_end(args);
}

}  // namespace

std::string FormatLevel(double level) {
    if (std::isnan(level)) return "nan";
    if (std::isinf(level)) return level < 0.0 ? "-inf" : "inf";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", level);
    // A level that rounds to zero shows 0.0, without a sign.
    if (std::strcmp(text, "-0.0") == 0) return "0.0";
    return text;
}

std::string ResultsText(std::span<const double> levels, std::span<const double> lowerEdges,
                        std::span<const double> upperEdges) {
    const std::size_t bands = std::min({levels.size(), lowerEdges.size(), upperEdges.size()});
    std::string text;
    text.reserve(28 + 40 * bands);
    text += "Results:\n";
    text += "Band\tRange (Hz)\tdB\n";
    for (std::size_t k = 0; k < bands; ++k) {
        AppendFormat(text, "%zu\t%.0f\t%.0f\t%s\n", k + 1, lowerEdges[k], upperEdges[k],
                     FormatLevel(levels[k]).c_str());
    }
    return text;
}

std::string MissingDataLines(const std::vector<bool>& missing) {
    std::string text;
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (missing[k]) AppendFormat(text, "Band %zu is missing data\n", k + 1);
    }
    return text;
}

std::string ReturnLevelLine(double returnLevel) {
    std::string text;
    AppendFormat(text, "Ch 1 (sweep): Return Level = %.1f dB\n", returnLevel);
    return text;
}

std::string AnalysisNotes(const AnalysisResult& result) {
    return MissingDataLines(result.missingData) + ReturnLevelLine(result.returnLevel);
}

std::string SyncLevelLine(double returnLevel) {
    std::string text;
    AppendFormat(text, "Ch 2 (sync): Return Level = %.1f dB\n", returnLevel);
    return text;
}

void PrintDeviceFailure(const DeviceFailure& failure) {
    const bool playback = failure.direction == StreamDirection::Playback;
    // Playback's messages go to standard error; of the capture's only the
    // open and format failures do, its parameter failure goes to standard
    // output.
    std::FILE* paramsStream = playback ? stderr : stdout;
    const char* text = nullptr;
    std::FILE* stream = stderr;
    switch (failure.stage) {
        case SetupStage::Channels:
            std::printf("The sound device transfer handles 2 channels, not %d.\n",
                        failure.channelCount);
            return;
        case SetupStage::Open:
            text = playback ? "Playback device could not be opened: %s\n"
                            : "unable to open pcm record device: %s\n";
            break;
        case SetupStage::Format:
            text = playback ? "Problem setting playback format: %s\n"
                            : "Problem setting recording format: %s\n";
            break;
        case SetupStage::Rate:
        case SetupStage::Params:
            text = playback ? "Problem setting playback parameters: %s\n"
                            : "Could not set record hardware parameters: %s\n";
            stream = paramsStream;
            break;
    }
    std::fflush(stdout);
    if (failure.stage == SetupStage::Rate) {
        std::fprintf(stream, "The device runs at %u Hz, not at the %u Hz a measurement needs.\n",
                     failure.grantedRate, failure.requestedRate);
    }
    std::fprintf(stream, text, DeviceErrorText(failure.error));
    std::fflush(stream);
    // What alsa-lib and the device said, under the line it explains.
    std::fputs(DeviceDiagnosticLines(failure).c_str(), stderr);
    std::fflush(stderr);
}

std::string DeviceDiagnosticLines(const DeviceFailure& failure) {
    std::string lines;
    const std::size_t shown = std::min(failure.diagnostics.size(), kMaxDeviceDiagnostics);
    for (std::size_t i = 0; i < shown; ++i) {
        const std::string& message = failure.diagnostics[i];
        lines += "  alsa-lib: " +
                 Printable(std::string_view(message).substr(0, kMaxDeviceDiagnosticLength)) + "\n";
    }
    const std::size_t more = failure.diagnosticsOmitted + (failure.diagnostics.size() - shown);
    if (more > 0) {
        AppendFormat(lines, "  alsa-lib: (%zu more message%s)\n", more, more == 1 ? "" : "s");
    }
    return lines;
}

std::string TransferProblemLine(const TransferReport& report) {
    if (report.refusal == TransferRefusal::Buffers) {
        return "The sound device transfer needs two blocks of 3-byte samples that fit its "
               "buffers.\n";
    }
    if (report.stall != TransferStall::None) {
        return "The sound device stopped responding: the measurement is void. Nothing was "
               "analyzed or saved.\n";
    }
    if (report.notStarted) {
        return "The transfer could not start (no period size or no memory): nothing was "
               "played or recorded.\n";
    }
    return "";
}
