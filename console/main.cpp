#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "console/calibration_file.h"
#include "console/command_loop.h"
#include "console/correction_report.h"
#include "console/device_list.h"
#include "console/eq_files.h"
#include "console/file_average.h"
#include "console/measurement_run.h"
#include "console/options.h"
#include "console/position_session.h"

#include <unistd.h>

int main(int argc, char* argv[]) {
    // Line by line, so the console keeps its order on a terminal, a pipe or
    // a file, next to the device messages on standard error.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const ProgramOptions options = ParseOptions(argc, argv);
    switch (options.action) {
        case OptionsAction::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case OptionsAction::Version:
            std::puts(kVersionText);
            return 0;
        case OptionsAction::ListDevices:
            return ListDevicesCommand();
        case OptionsAction::Error:
            std::fprintf(stderr, "%s\n", OptionsErrorLine(options).c_str());
            return 2;
        case OptionsAction::Run:
            break;
    }
    if (!options.warning.empty()) std::fprintf(stderr, "%s\n", options.warning.c_str());
    if (options.averageFiles) return AverageResponseFiles(options);

    TestSettings settings;
    if (options.device) settings.deviceName = *options.device;
    if (options.sweep) settings.sweep = *options.sweep;
    if (options.preset) ApplyPreset(settings, *options.preset);
    if (options.q) settings.q = *options.q;
    if (options.bands) settings.bandCount = *options.bands;
    if (options.start) settings.startFrequency = *options.start;
    if (options.length) settings.sweepLength = *options.length;
    settings.levelDb = options.levelDb;
    // --json: the summaries keep standard output; every other line goes to
    // standard error.
    std::FILE* summaries = nullptr;
    if (options.json) {
        std::fflush(stdout);
        const int kept = dup(STDOUT_FILENO);
        summaries = kept >= 0 ? fdopen(kept, "w") : nullptr;
        if (summaries == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "zembrak: standard output could not be kept for --json: %s\n",
                         std::strerror(errno));
            return 2;
        }
        settings.summaryLine = summaries;
    }
    // Kept here for the whole process: the settings point at it.
    std::optional<LoadedCalibration> calibration;
    if (options.calibrationPath) {
        Outcome<LoadedCalibration, std::string> load =
            LoadCalibrationFile(*options.calibrationPath);
        if (!load) {
            std::fprintf(stderr, "%s\n", load.reason().c_str());
            return 2;
        }
        calibration = std::move(load.value());
        settings.calibration = &*calibration;
    }

    // The correction asked for, and its target curve, kept for the whole
    // process too.
    std::optional<LoadedCalibration> target;
    std::optional<CorrectionRequest> correction;
    if (options.eq) {
        correction.emplace();
        correction->low = options.eqLow;
        correction->high = options.eqHigh;
        correction->filters = options.eqFilters;
        correction->maxBoostDb = options.eqBoost;
        if (options.eqTargetPath) {
            Outcome<LoadedCalibration, std::string> load =
                LoadCalibrationFile(*options.eqTargetPath);
            if (!load) {
                std::fprintf(stderr, "%s (the correction's target)\n", load.reason().c_str());
                return 2;
            }
            target = std::move(load.value());
            correction->target = &target->calibration;
            correction->targetPath = target->path;
        }
        settings.correction = &*correction;
    }
    std::optional<LoadedEq> applied;
    if (options.applyEqPath) {
        Outcome<LoadedEq, std::string> load = LoadEqFile(*options.applyEqPath);
        if (!load) {
            std::fprintf(stderr, "%s\n", load.reason().c_str());
            return 2;
        }
        applied = std::move(load.value());
        settings.appliedEq = &*applied;
    }

    KeepRunMemory();
    std::optional<PositionSession> session;
    if (options.average) session.emplace(*options.average, correction ? &*correction : nullptr);
    if (options.measure)
        return RunMeasurements(settings, *options.measure, session ? &*session : nullptr);
    InputReader reader;
    return RunCommandLoop(reader, settings, session ? &*session : nullptr);
}
