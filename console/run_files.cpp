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
#include <sys/stat.h>
#include <unistd.h>

#include "console/options.h"
#include "console/run_report.h"

namespace {

// How many numbered names one second's runs may take before giving up.
constexpr int kMostNames = 10000;

// The chunk a WAV cue point lies in ("data"), as libsndfile takes chunk
// names: the four characters in file order, the first in the lowest byte.
constexpr std::int32_t kDataChunk = 'd' | ('a' << 8) | ('t' << 16) | ('a' << 24);

// Appends printf-formatted text.
template <typename... Args>
void Append(std::string& text, const char* format, Args... args) {
    char line[512];
    const int length = std::snprintf(line, sizeof line, format, args...);
    if (length > 0) text.append(line, std::min<std::size_t>(length, sizeof line - 1));
}

Written SystemFailure(int error) {
    return Fail(WriteFailure{error != 0 ? error : EIO, {}});
}

}  // namespace

RunFiles::RunFiles(RunFiles&& other) noexcept
    : base(std::move(other.base)),
      paths(std::move(other.paths)),
      descriptors(std::move(other.descriptors)) {
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

Outcome<RunFiles, CreateFailure> CreateRunFiles(std::time_t when,
                                                std::span<const std::string> endings,
                                                const std::string& directory) {
    std::tm local{};
    char stamp[64];
    if (localtime_r(&when, &local) == nullptr ||
        std::strftime(stamp, sizeof stamp, "sweep_%Y%m%d_%H%M%S", &local) == 0) {
        return Fail(CreateFailure{CreateFailure::Kind::NoDate, {}, 0});
    }
    const std::string prefix = directory.empty() ? std::string() : directory + "/";
    for (int number = 1; number <= kMostNames; ++number) {
        std::string base = stamp;
        if (number > 1) base.append("_").append(std::to_string(number));
        RunFiles files;
        bool taken = false;
        for (const std::string& ending : endings) {
            const std::string path = prefix + base + ending;
            const int descriptor =
                ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (descriptor < 0) {
                const int error = errno;
                // Remove only what this attempt created.
                for (std::size_t i = 0; i < files.descriptors.size(); ++i) {
                    ::close(std::exchange(files.descriptors[i], -1));
                    ::unlink(files.paths[i].c_str());
                }
                if (error != EEXIST) {
                    return Fail(CreateFailure{CreateFailure::Kind::Create, path, error});
                }
                taken = true;
                break;
            }
            files.paths.push_back(path);
            files.descriptors.push_back(descriptor);
        }
        if (!taken) {
            files.base = std::move(base);
            return files;
        }
    }
    return Fail(CreateFailure{CreateFailure::Kind::AllTaken, stamp, 0});
}

std::string Words(const CreateFailure& failure) {
    switch (failure.kind) {
        case CreateFailure::Kind::NoDate:
            return "the time of the run has no local date";
        case CreateFailure::Kind::Create:
            return failure.path + " could not be created: " + std::strerror(failure.error);
        case CreateFailure::Kind::AllTaken:
            return "every name from " + failure.path + " to " + failure.path + "_" +
                   std::to_string(kMostNames) + " is taken";
    }
    return "unknown error";
}

std::string Words(const WriteFailure& failure) {
    if (!failure.library.empty()) return failure.library;
    return failure.error != 0 ? std::strerror(failure.error) : "unknown error";
}

Written WriteAll(int descriptor, const void* data, std::size_t size) {
    if (descriptor < 0) return SystemFailure(EBADF);
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(descriptor, bytes + done, size - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return SystemFailure(errno);
        }
        if (written == 0) return SystemFailure(EIO);
        done += static_cast<std::size_t>(written);
    }
    return Done{};
}

Written Complete(int descriptor, Written sofar) {
    if (descriptor < 0) return sofar.ok() ? SystemFailure(EBADF) : sofar;
    // A file system that cannot sync (a pipe, a read-only mount) has
    // nothing to lose.
    if (sofar.ok() && ::fsync(descriptor) != 0 && errno != EINVAL && errno != EROFS) {
        sofar = SystemFailure(errno);
    }
    if (::close(descriptor) != 0 && sofar.ok()) sofar = SystemFailure(errno);
    return sofar;
}

Written PlaceFile(const std::string& path, bool replace, const std::function<Written(int)>& write) {
    std::string temporary = path + ".XXXXXX";
    const int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) return SystemFailure(errno);
    // mkostemp makes the file for its owner alone; a run's files are
    // readable by all.
    if (::fchmod(descriptor, 0644) != 0) {
        const int error = errno;
        ::close(descriptor);
        ::unlink(temporary.c_str());
        return SystemFailure(error);
    }
    const Written written = write(descriptor);
    if (!written) {
        ::unlink(temporary.c_str());
        return written;
    }
    // link() never replaces a file; rename() replaces the earlier version
    // in one step.
    const int placed = replace ? ::rename(temporary.c_str(), path.c_str())
                               : ::link(temporary.c_str(), path.c_str());
    const int error = errno;
    if (placed != 0 || !replace) ::unlink(temporary.c_str());
    if (placed != 0) return SystemFailure(error);
    // The new name on disk too.
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return Done{};
}

std::string ResponseHeader(const RunDescription& run) {
    std::string text;
    text += "* " + run.program + "\n";
    text += "* Date: " + run.date + "\n";
    text += "* Device: " + run.device + "\n";
    Append(text, "* Q: %g\n", run.q);
    Append(text, "* Bands: %d\n", run.bands);
    Append(text, "* Start: %.1f Hz\n", run.startFrequency);
    Append(text, "* Length: %.1f s\n", run.sweepLength);
    text += "* " + SweepLine(run) + "\n";
    if (!run.correction.empty()) text += "* " + run.correction + "\n";
    return text;
}

std::string FormatResponse(const RunDescription& run, const Delay& delay,
                           std::span<const std::string> notes,
                           std::span<const ResponsePoint> points) {
    std::string text = ResponseHeader(run);
    text.reserve(text.size() + 256 + 40 * points.size());
    text += "* Delay: " + FormatFixed(delay.milliseconds, 3) + " ms (" +
            FormatFixed(delay.metres, 3) + " m at 343 m/s)\n";
    if (!run.calibration.empty()) text += "* " + run.calibration + "\n";
    for (const std::string& note : notes) text += "* " + Printable(note) + "\n";
    text +=
        "* Frequency (Hz), magnitude (dB) and phase (degrees) of H at that frequency (not "
        "smoothed)\n";
    for (const ResponsePoint& point : points) {
        Append(text, "%.4f %.3f %.2f\n", point.frequency, point.magnitudeDb, point.phaseDegrees);
    }
    return text;
}

Written WriteText(int descriptor, const std::string& text) {
    return Complete(descriptor, WriteAll(descriptor, text.data(), text.size()));
}

Outcome<Done, AppendFailure> AppendText(const std::string& path, const std::string& text) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) return Fail(AppendFailure{false, {errno, {}}});
    Written written = WriteText(descriptor, text);
    if (!written) return Fail(AppendFailure{true, written.reason()});
    return Done{};
}

Written WriteImpulseWav(int descriptor, std::span<const float> samples, std::int64_t zeroIndex,
                        int rate) {
    if (descriptor < 0) return SystemFailure(EBADF);
    if (rate <= 0) {
        return Complete(descriptor, Fail(WriteFailure{0, "the sample rate is not positive"}));
    }
    // A cue point holds a 32-bit sample offset.
    if (zeroIndex < 0 || zeroIndex > static_cast<std::int64_t>(samples.size()) ||
        zeroIndex > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
        return Complete(descriptor,
                        Fail(WriteFailure{0, "time zero lies outside the impulse response"}));
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    // The descriptor stays ours: completed below whatever the library did.
    SNDFILE* file = sf_open_fd(descriptor, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) return Complete(descriptor, Fail(WriteFailure{0, sf_strerror(nullptr)}));
    // Time zero as a cue point, set before any sample makes the header.
    SF_CUES cues{};
    cues.cue_count = 1;
    SF_CUE_POINT& zero = cues.cue_points[0];
    zero.indx = 1;
    zero.position = static_cast<std::uint32_t>(zeroIndex);
    zero.fcc_chunk = kDataChunk;
    zero.sample_offset = static_cast<std::uint32_t>(zeroIndex);
    if (sf_command(file, SFC_SET_CUE, &cues, sizeof cues) != SF_TRUE) {
        const std::string words =
            std::string("time zero could not be marked: ") + sf_strerror(file);
        sf_close(file);
        return Complete(descriptor, Fail(WriteFailure{0, words}));
    }
    Written result = Done{};
    const auto frames = static_cast<sf_count_t>(samples.size());
    if (sf_writef_float(file, samples.data(), frames) != frames) {
        const std::string words = sf_strerror(file);
        result = words.empty() || words == "No Error." ? SystemFailure(errno)
                                                       : Written(Fail(WriteFailure{0, words}));
    }
    const int closed = sf_close(file);
    if (closed != 0 && result.ok()) result = Fail(WriteFailure{0, sf_error_number(closed)});
    return Complete(descriptor, std::move(result));
}
