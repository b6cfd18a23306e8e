#include "console/run_files.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// How many numbered names one second's runs may take before giving up.
constexpr int kMostNames = 10000;

// The chunk a WAV cue point lies in ("data"), as libsndfile takes chunk
// names: the four characters in file order, the first in the lowest byte.
constexpr std::int32_t kDataChunk = 'd' | ('a' << 8) | ('t' << 16) | ('a' << 24);

std::string Reason(int error) {
    return error != 0 ? std::strerror(error) : "unknown error";
}

// Appends printf-formatted text.
template <typename... Args>
void Append(std::string& text, const char* format, Args... args) {
    char line[512];
    const int length = std::snprintf(line, sizeof line, format, args...);
    if (length > 0) text.append(line, std::min<std::size_t>(length, sizeof line - 1));
}

// The device name on one comment line: control characters become '?'.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return line;
}

bool CloseChecked(int descriptor, std::string& error) {
    if (::close(descriptor) != 0 && error.empty()) {
        error = Reason(errno);
        return false;
    }
    return true;
}

}  // namespace

RunFiles::RunFiles(RunFiles&& other) noexcept
    : base(std::move(other.base)),
      paths(std::move(other.paths)),
      descriptors(std::move(other.descriptors)),
      error(std::move(other.error)) {
    other.descriptors.clear();
}

RunFiles& RunFiles::operator=(RunFiles&& other) noexcept {
    if (this != &other) {
        for (const int descriptor : descriptors) {
            if (descriptor >= 0) ::close(descriptor);
        }
        base = std::move(other.base);
        paths = std::move(other.paths);
        descriptors = std::move(other.descriptors);
        error = std::move(other.error);
        other.descriptors.clear();
    }
    return *this;
}

RunFiles::~RunFiles() {
    for (const int descriptor : descriptors) {
        if (descriptor >= 0) ::close(descriptor);
    }
}

int RunFiles::Release(std::size_t i) {
    if (i >= descriptors.size()) return -1;
    return std::exchange(descriptors[i], -1);
}

RunFiles CreateRunFiles(std::time_t when, std::span<const std::string> endings,
                        const std::string& directory) {
    RunFiles files;
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        files.error = "the time of the run has no local date";
        return files;
    }
    char stamp[64];
    if (std::strftime(stamp, sizeof stamp, "sweep_%Y%m%d_%H%M%S", &local) == 0) {
        files.error = "the time of the run has no local date";
        return files;
    }
    const std::string prefix = directory.empty() ? std::string() : directory + "/";
    for (int number = 1; number <= kMostNames; ++number) {
        std::string base = stamp;
        if (number > 1) base += "_" + std::to_string(number);
        std::vector<std::string> paths;
        std::vector<int> descriptors;
        bool taken = false;
        for (const std::string& ending : endings) {
            const std::string path = prefix + base + ending;
            const int descriptor =
                ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (descriptor < 0) {
                const int error = errno;
                // Remove only what this attempt created.
                for (std::size_t i = 0; i < descriptors.size(); ++i) {
                    ::close(descriptors[i]);
                    ::unlink(paths[i].c_str());
                }
                if (error != EEXIST) {
                    files.error = path + " could not be created: " + Reason(error);
                    return files;
                }
                taken = true;
                break;
            }
            paths.push_back(path);
            descriptors.push_back(descriptor);
        }
        if (!taken) {
            files.base = std::move(base);
            files.paths = std::move(paths);
            files.descriptors = std::move(descriptors);
            return files;
        }
    }
    files.error = std::string("every name from ") + stamp + " to " + stamp + "_" +
                  std::to_string(kMostNames) + " is taken";
    return files;
}

std::string FormatResponse(const ResponseHeader& header, std::span<const ResponsePoint> points) {
    std::string text;
    text.reserve(128 + 40 * points.size());
    text += "* Zembrak 1.00\n";
    std::tm local{};
    char date[64] = "unknown";
    if (localtime_r(&header.when, &local) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    }
    Append(text, "* Date: %s\n", date);
    text += "* Device: " + OneLine(header.device) + "\n";
    Append(text, "* Q: %g\n", header.q);
    Append(text, "* Bands: %d\n", header.bands);
    Append(text, "* Start: %.1f Hz\n", header.startFrequency);
    Append(text, "* Length: %.1f s\n", header.sweepLength);
    Append(text, "* Delay: %.3f ms (%.3f m at 343 m/s)\n", header.delay.milliseconds,
           header.delay.metres);
    if (!header.calibration.empty()) text += "* " + OneLine(header.calibration) + "\n";
    for (const std::string& note : header.notes) text += "* " + OneLine(note) + "\n";
    text +=
        "* Frequency (Hz), magnitude (dB) and phase (degrees) of H at that frequency (not "
        "smoothed)\n";
    for (const ResponsePoint& point : points) {
        Append(text, "%.4f %.3f %.2f\n", point.frequency, point.magnitudeDb, point.phaseDegrees);
    }
    return text;
}

std::string WriteText(int descriptor, const std::string& text) {
    std::string error;
    if (descriptor < 0) return "the file is not open";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = Reason(errno);
            break;
        }
        if (written == 0) {
            error = "nothing could be written";
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    if (error.empty() && ::fsync(descriptor) != 0 && errno != EINVAL && errno != EROFS) {
        error = Reason(errno);
    }
    CloseChecked(descriptor, error);
    return error;
}

std::string WriteImpulseWav(int descriptor, std::span<const float> samples, std::int64_t zeroIndex,
                            int rate) {
    std::string error;
    if (descriptor < 0) return "the file is not open";
    if (rate <= 0) {
        ::close(descriptor);
        return "the sample rate is not positive";
    }
    // A cue point holds a 32-bit sample offset.
    if (zeroIndex < 0 || zeroIndex > static_cast<std::int64_t>(samples.size()) ||
        zeroIndex > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
        ::close(descriptor);
        return "time zero lies outside the impulse response";
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    // The descriptor stays ours: closed below whatever the library did.
    SNDFILE* file = sf_open_fd(descriptor, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        error = sf_strerror(nullptr);
        ::close(descriptor);
        return error;
    }
    // Time zero as a cue point, set before any sample makes the header.
    SF_CUES cues{};
    cues.cue_count = 1;
    SF_CUE_POINT& zero = cues.cue_points[0];
    zero.indx = 1;
    zero.position = static_cast<std::uint32_t>(zeroIndex);
    zero.fcc_chunk = kDataChunk;
    zero.sample_offset = static_cast<std::uint32_t>(zeroIndex);
    if (sf_command(file, SFC_SET_CUE, &cues, sizeof cues) != SF_TRUE) {
        error = std::string("time zero could not be marked: ") + sf_strerror(file);
        sf_close(file);
        ::close(descriptor);
        return error;
    }
    const auto frames = static_cast<sf_count_t>(samples.size());
    const sf_count_t written = sf_writef_float(file, samples.data(), frames);
    if (written != frames) {
        error = sf_strerror(file);
        if (error.empty() || error == "No Error.") error = Reason(errno);
    }
    const int closed = sf_close(file);
    if (closed != 0 && error.empty()) error = sf_error_number(closed);
    if (error.empty() && ::fsync(descriptor) != 0 && errno != EINVAL && errno != EROFS) {
        error = Reason(errno);
    }
    CloseChecked(descriptor, error);
    return error;
}
