#include "console/calibration_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "console/options.h"
#include "console/settings.h"

namespace {

std::string Located(const std::string& path, std::size_t line, const std::string& what) {
    std::string text = "zembrak: calibration file '" + Printable(path) + "'";
    if (line > 0) text += ", line " + std::to_string(line);
    return text + ": " + what;
}

CalibrationLoad Failure(const std::string& path, std::size_t line, const std::string& what) {
    CalibrationLoad load;
    load.error = Located(path, line, what);
    return load;
}

}  // namespace

CalibrationLoad LoadCalibrationFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Failure(path, 0, std::string("cannot open: ") + std::strerror(errno));
    // One byte beyond the limit tells a file at the limit from a larger one.
    std::vector<char> bytes(kMaxCalibrationFileSize + 1);
    const std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool readFailed = std::ferror(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (readFailed)
        return Failure(path, 0, std::string("cannot read: ") + std::strerror(readError));
    if (count > kMaxCalibrationFileSize) {
        return Failure(path, 0,
                       "larger than " + std::to_string(kMaxCalibrationFileSize) + " bytes");
    }

    CalibrationParse parse = ParseCalibration(std::string_view(bytes.data(), count));
    if (!parse.ok) return Failure(path, parse.error.line, parse.error.what);
    CalibrationLoad load;
    load.ok = true;
    load.loaded.path = path;
    load.loaded.calibration = std::move(parse.calibration);
    return load;
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
