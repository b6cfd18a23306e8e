#include "console/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "console/acoustics_report.h"
#include "console/correction_report.h"
#include "console/distortion_report.h"
#include "console/time_report.h"

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

// Says what the checks of input 1 found: clipping and silence only when
// they apply, the signal-to-noise ratio always.
void PrintSignalChecks(const SignalChecks& checks) {
    if (checks.clippedSamples > 0) {
        std::printf(
            "Input 1 clipped: %lld sample(s) reached full scale. Lower the input gain and "
            "repeat the measurement.\n",
            static_cast<long long>(checks.clippedSamples));
    }
    if (checks.silent) {
        std::puts("Input 1 is silent: check the microphone and its cable.");
    } else if (checks.tooLow) {
        std::printf(
            "Input 1 is too low to measure (%s dBFS during the sweep): check the "
            "microphone and the input gain.\n",
            FormatFixed(checks.signalLevelDb, 1).c_str());
    }
    if (!checks.snrKnown) {
        std::puts("Signal-to-noise ratio: not known (no lead-in before the sweep).");
    } else if (std::isinf(checks.snrDb)) {
        std::printf("Signal-to-noise ratio: no noise in the lead-in (sweep %s dBFS).\n",
                    FormatFixed(checks.signalLevelDb, 1).c_str());
    } else {
        std::printf("Signal-to-noise ratio: %s dB (sweep %s dBFS, lead-in noise %s dBFS).\n",
                    FormatFixed(checks.snrDb, 1).c_str(),
                    FormatFixed(checks.signalLevelDb, 1).c_str(),
                    FormatFixed(checks.noiseLevelDb, 1).c_str());
        if (checks.lowSnr) {
            std::printf(
                "Warning: the signal-to-noise ratio is below %.0f dB: raise the level or "
                "quiet the room, and repeat the measurement.\n",
                kLowestSnrDb);
        }
    }
}

// One line when the take holds more than the room and its noise.
void PrintDisturbance(const DisturbanceCheck& check) {
    if (!check.known || !check.disturbed) return;
    std::printf(
        "Warning: the take was disturbed at %.2f s (input 1 departs from the room's "
        "response by %.0f dB more than its noise allows): repeat the measurement.\n",
        check.seconds, check.excessDb);
}

const char* TransferProblem(TransferStatus status) {
    switch (status) {
        case TransferStatus::Ok:
            return "";
        case TransferStatus::NoSignal:
            return "nothing was played in the swept range";
        case TransferStatus::TooLong:
            return "the take is too long to transform";
        case TransferStatus::NoMemory:
            return "not enough memory";
        case TransferStatus::NoResponse:
            return "the sweep has no energy in the swept range";
    }
    return "";
}

}  // namespace

std::string FormatLevel(double level) {
    if (std::isnan(level)) return "nan";
    if (std::isinf(level)) return level < 0.0 ? "-inf" : "inf";
    return FormatFixed(level, 1);
}

std::string FormatFixed(double value, int decimals) {
    std::string text;
    AppendFormat(text, "%.*f", std::clamp(decimals, 0, 20), value);
    // A value that rounds to zero shows no sign.
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
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

std::string ResultsText(const RunResult& result, std::span<const double> lowerEdges,
                        std::span<const double> upperEdges) {
    std::vector<double> levels;
    levels.reserve(result.bands.size());
    for (const BandLevel& band : result.bands) {
        levels.push_back(band.missing ? -std::numeric_limits<double>::infinity() : band.level);
    }
    return ResultsText(levels, lowerEdges, upperEdges);
}

void PrintRunResult(const RunResult& result, const std::string& resultsText) {
    std::fputs(resultsText.c_str(), stdout);
    std::vector<bool> missing;
    for (const BandLevel& band : result.bands) missing.push_back(band.missing);
    std::fputs(MissingDataLines(missing).c_str(), stdout);
    std::fputs(ReturnLevelLine(result.signal.returnLevelDb).c_str(), stdout);
    PrintSignalChecks(result.signal);
    PrintDisturbance(result.disturbance);
    if (result.transfer != TransferStatus::Ok) {
        // Every band showed -inf: there is no response to save.
        std::printf(
            "The room's response could not be computed (%s): no response files were "
            "written.\n",
            TransferProblem(result.transfer));
        return;
    }
    std::printf("Acoustic delay: %s ms (%s m at 343 m/s)\n",
                FormatFixed(result.delay.milliseconds, 2).c_str(),
                FormatFixed(result.delay.metres, 2).c_str());
    if (result.distortion) {
        std::fputs(DistortionSummaryLine(result.distortion->summary).c_str(), stdout);
    }
    std::fputs(AcousticsTable(result.acoustics).c_str(), stdout);
    if (result.timeViews) std::fputs(TimeViewsTable(*result.timeViews).c_str(), stdout);
    if (result.correction) std::fputs(CorrectionText(*result.correction).c_str(), stdout);
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
    text += "Ch 1 (sweep): Return Level = " + FormatFixed(returnLevel, 1) + " dB\n";
    return text;
}

std::string SyncLevelLine(double returnLevel) {
    std::string text;
    text += "Ch 2 (sync): Return Level = " + FormatFixed(returnLevel, 1) + " dB\n";
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
