#include "console/calibration_file.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "console/options.h"
#include "console/settings.h"
#include "console/text_file.h"

namespace {

Failure<std::string> Refused(const std::string& path, std::size_t line, const std::string& what) {
    return Fail(FileProblem("calibration file", path, line, what));
}

}  // namespace

std::string Words(const CalibrationError& error) {
    return Words(error, "gain");
}

std::string Words(const CalibrationError& error, const char* second) {
    const char* const fields[3] = {"frequency", second, "phase"};
    const std::string field = error.field > 2 ? "column " + std::to_string(error.field + 1LL)
                                              : fields[std::max(error.field, 0)];
    switch (error.kind) {
        case CalibrationError::Kind::DecimalComma:
            return "a decimal comma; write the decimal point as '.'";
        case CalibrationError::Kind::NoGain:
            return std::string("a frequency but no ") + second;
        case CalibrationError::Kind::TooManyFields:
            return "more than three fields";
        case CalibrationError::Kind::NotANumber:
            return field + " is not a number";
        case CalibrationError::Kind::FirstFieldTypo:
            return "frequency is not a number, but the other fields are (a typo?)";
        case CalibrationError::Kind::NotFinite:
            return field + " is not finite";
        case CalibrationError::Kind::NotAbove0Hz:
            return "frequency is not above 0 Hz";
        case CalibrationError::Kind::Below0Hz:
            return "frequency is below 0 Hz";
        case CalibrationError::Kind::NotRising:
            return "frequency does not rise above line " + std::to_string(error.otherLine) + "'s";
        case CalibrationError::Kind::PhaseUnlike:
            return std::string(error.hasPhase ? "a phase" : "no phase") + ", unlike line " +
                   std::to_string(error.otherLine);
        case CalibrationError::Kind::NoDataLines:
            return "no data lines, at least two are needed";
        case CalibrationError::Kind::OneDataLine:
            return "only one data line, at least two are needed";
    }
    return "not a calibration";
}

Outcome<LoadedCalibration, std::string> LoadCalibrationFile(const std::string& path) {
    const auto text = ReadRegularFile(path, kMaxCalibrationFileSize);
    if (!text) return Refused(path, 0, text.reason());
    auto parse = ParseCalibration(text.value());
    if (!parse) return Refused(path, parse.reason().line, Words(parse.reason()));
    LoadedCalibration loaded;
    loaded.path = path;
    loaded.calibration = std::move(parse.value());
    return loaded;
}

std::string CalibrationLine(const LoadedCalibration& loaded) {
    const std::vector<CalibrationPoint>& points = loaded.calibration.points;
    char range[700] = "";  // room for two of the largest doubles
    if (!points.empty()) {
        std::snprintf(range, sizeof range, ", %.1f Hz to %.1f Hz", points.front().frequency,
                      points.back().frequency);
    }
    return "Calibration:  " + Printable(loaded.path) + " (" + std::to_string(points.size()) +
           " points" + range + (loaded.calibration.hasPhase ? ", with phase" : "") + ")";
}

void PrintCalibrationLine(const TestSettings& settings) {
    if (settings.calibration != nullptr) {
        std::printf("%s\n", CalibrationLine(*settings.calibration).c_str());
    }
}
