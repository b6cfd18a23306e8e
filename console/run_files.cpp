#include "console/run_files.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
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

namespace {

// A file in memory for libsndfile's virtual I/O.
struct MemoryFile {
    std::vector<unsigned char> bytes;
    sf_count_t position = 0;
    bool failed = false;  // no memory for a write
};

SF_VIRTUAL_IO MemoryFileIo() {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* data) {
        return static_cast<sf_count_t>(static_cast<MemoryFile*>(data)->bytes.size());
    };
    io.seek = [](sf_count_t offset, int whence, void* data) {
        MemoryFile& file = *static_cast<MemoryFile*>(data);
        const sf_count_t base = whence == SEEK_CUR   ? file.position
                                : whence == SEEK_END ? static_cast<sf_count_t>(file.bytes.size())
                                                     : 0;
        if (base + offset < 0) return static_cast<sf_count_t>(-1);
        file.position = base + offset;
        return file.position;
    };
    io.read = [](void* out, sf_count_t count, void* data) {
        MemoryFile& file = *static_cast<MemoryFile*>(data);
        const auto size = static_cast<sf_count_t>(file.bytes.size());
        if (count <= 0 || file.position >= size) return static_cast<sf_count_t>(0);
        const sf_count_t n = std::min(count, size - file.position);
        std::memcpy(out, file.bytes.data() + file.position, static_cast<std::size_t>(n));
        file.position += n;
        return n;
    };
    io.write = [](const void* in, sf_count_t count, void* data) {
        MemoryFile& file = *static_cast<MemoryFile*>(data);
        if (count <= 0) return static_cast<sf_count_t>(0);
        const auto end = static_cast<std::size_t>(file.position + count);
        try {
            if (end > file.bytes.size()) file.bytes.resize(end);
        } catch (const std::bad_alloc&) {
            file.failed = true;
            return static_cast<sf_count_t>(0);
        }
        std::memcpy(file.bytes.data() + file.position, in, static_cast<std::size_t>(count));
        file.position += count;
        return count;
    };
    io.tell = [](void* data) { return static_cast<MemoryFile*>(data)->position; };
    return io;
}

std::uint32_t LittleEndian32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLittleEndian32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

bool ExtendFloatFormatChunk(std::vector<unsigned char>& bytes) {
    // RIFF, its size, WAVE, then the fmt chunk of a format without its
    // extension: 16 bytes whose format tag is 3 (IEEE float).
    constexpr std::size_t kFmt = 12;
    if (bytes.size() < kFmt + 8 + 16 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0 ||
        std::memcmp(bytes.data() + kFmt, "fmt ", 4) != 0 ||
        LittleEndian32(bytes.data() + kFmt + 4) != 16 || bytes[kFmt + 8] != 3 ||
        bytes[kFmt + 9] != 0 || LittleEndian32(bytes.data() + 4) != bytes.size() - 8) {
        return false;
    }
    // cbSize 0: the extension is there and holds nothing, as the format
    // asks of every format tag but PCM's.
    const unsigned char none[2] = {0, 0};
    bytes.insert(bytes.begin() + kFmt + 8 + 16, std::begin(none), std::end(none));
    PutLittleEndian32(bytes.data() + kFmt + 4, 18);
    PutLittleEndian32(bytes.data() + 4, static_cast<std::uint32_t>(bytes.size() - 8));
    return true;
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
    // libsndfile writes the file into memory, whose fmt chunk is then given
    // its extension before the bytes go to the descriptor.
    MemoryFile memory;
    SF_VIRTUAL_IO io = MemoryFileIo();
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
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
        result = words.empty() || words == "No Error." ? SystemFailure(ENOMEM)
                                                       : Written(Fail(WriteFailure{0, words}));
    }
    const int closed = sf_close(file);
    if (closed != 0 && result.ok()) result = Fail(WriteFailure{0, sf_error_number(closed)});
    if (result.ok() && memory.failed) result = SystemFailure(ENOMEM);
    if (result.ok()) {
        ExtendFloatFormatChunk(memory.bytes);
        result = WriteAll(descriptor, memory.bytes.data(), memory.bytes.size());
    }
    return Complete(descriptor, std::move(result));
}
