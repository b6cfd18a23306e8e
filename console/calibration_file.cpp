#include "console/calibration_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/options.h"
#include "console/settings.h"

namespace {

std::string Located(const std::string& path, std::size_t line, const std::string& what) {
    std::string text = "zembrak: calibration file '" + Printable(path) + "'";
    if (line > 0) text += ", line " + std::to_string(line);
    return text + ": " + what;
}

Failure<std::string> Refused(const std::string& path, std::size_t line, const std::string& what) {
    return Fail(Located(path, line, what));
}

// Closes a descriptor when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::string Words(const CalibrationError& error) {
    static const char* const kFields[3] = {"frequency", "gain", "phase"};
    const char* field = kFields[std::clamp(error.field, 0, 2)];
    switch (error.kind) {
        case CalibrationError::Kind::DecimalComma:
            return "a decimal comma; write the decimal point as '.'";
        case CalibrationError::Kind::NoGain:
            return "a frequency but no gain";
        case CalibrationError::Kind::TooManyFields:
            return "more than three fields";
        case CalibrationError::Kind::NotANumber:
            return std::string(field) + " is not a number";
        case CalibrationError::Kind::NotFinite:
            return std::string(field) + " is not finite";
        case CalibrationError::Kind::NotAbove0Hz:
            return "frequency is not above 0 Hz";
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
    // Without O_NONBLOCK the open of a FIFO waits for a writer; the file is
    // checked for being regular before anything is read from it.
    const Descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) return Refused(path, 0, std::string("cannot open: ") + std::strerror(errno));
    struct stat status {};
    if (fstat(file.fd, &status) != 0)
        return Refused(path, 0, std::string("cannot read: ") + std::strerror(errno));
    if (S_ISDIR(status.st_mode))
        return Refused(path, 0, std::string("cannot read: ") + std::strerror(EISDIR));
    if (!S_ISREG(status.st_mode)) return Refused(path, 0, "not a regular file");
    // One byte beyond the limit tells a file at the limit from a larger one.
    std::vector<char> bytes(kMaxCalibrationFileSize + 1);
    std::size_t count = 0;
    while (count < bytes.size()) {
        const ssize_t got = read(file.fd, bytes.data() + count, bytes.size() - count);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return Refused(path, 0, std::string("cannot read: ") + std::strerror(errno));
        }
        count += static_cast<std::size_t>(got);
    }
    if (count > kMaxCalibrationFileSize)
        return Refused(path, 0,
                       "larger than " + std::to_string(kMaxCalibrationFileSize) + " bytes");

    auto parse = ParseCalibration(std::string_view(bytes.data(), count));
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
