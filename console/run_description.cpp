#include "console/run_description.h"

#include <algorithm>
#include <cstdio>

#include "analysis/band_plan.h"

#include "base/version.h"
#include "console/calibration_file.h"
#include "console/correction_report.h"
#include "console/eq_files.h"
#include "console/options.h"

RunDescription DescribeRun(const TestSettings& settings, std::time_t when, double sweepLow,
                           double sweepHigh) {
    RunDescription run;
    run.when = when;
    run.program = kProgramName;
    char date[64] = "unknown";
    std::tm local{};
    if (localtime_r(&when, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    }
    run.date = date;
    run.device = Printable(settings.deviceName);
    run.q = settings.q;
    run.bands = settings.bandCount;
    run.bandsMeasured = std::clamp(settings.bandCount, 0, kMaxBands);
    run.levelDb = settings.levelDb;
    run.startFrequency = settings.startFrequency;
    run.sweepLength = settings.sweepLength;
    run.sweep = settings.sweep;
    run.sweepLow = sweepLow;
    run.sweepHigh = sweepHigh;
    if (settings.calibration != nullptr) {
        run.calibration = Printable(CalibrationLine(*settings.calibration));
    }
    if (settings.appliedEq != nullptr) {
        run.correction =
            AppliedCorrectionLine(settings.appliedEq->path, settings.appliedEq->correction);
    }
    return run;
}

std::string SettingsLine(const RunDescription& run) {
    char line[256];
    std::snprintf(line, sizeof line, "Q %g, %d bands, start %.1f Hz, length %.1f s", run.q,
                  run.bands, run.startFrequency, run.sweepLength);
    std::string text = line;
    if (!run.calibration.empty()) text += "; " + run.calibration;
    if (!run.correction.empty()) text += "; " + run.correction;
    return text;
}

std::string SweepLine(const RunDescription& run) {
    char line[160];
    std::snprintf(line, sizeof line, "%s sweep: %.1f Hz to %.1f Hz",
                  run.sweep == SweepKind::Exponential ? "Exponential" : "Linear", run.sweepLow,
                  run.sweepHigh);
    return line;
}

const char* SweepName(SweepKind sweep) {
    return sweep == SweepKind::Exponential ? "exponential sweep" : "linear sweep";
}

std::string RunFileHeader(const std::string& title, const RunDescription& run) {
    return title + "\nDate: " + run.date + "\nDevice: " + run.device +
           "\nSettings: " + SettingsLine(run) + '\n' + SweepLine(run) +
           "\nProgram: " + run.program + '\n';
}
