#include "console/text_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/options.h"

namespace {

// Closes a descriptor when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

Failure<std::string> Problem(const char* what, int error) {
    return Fail(std::string(what) + ": " + std::strerror(error));
}

// Read at a time; the text grows by this much, not by the limit at once.
constexpr std::size_t kChunk = 1 << 16;

}  // namespace

Outcome<std::string, std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes) {
    // Without O_NONBLOCK the open of a FIFO waits for a writer; the file is
    // checked for being regular before anything is read from it.
    const Descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) return Problem("cannot open", errno);
    struct stat status {};
    if (fstat(file.fd, &status) != 0) return Problem("cannot read", errno);
    if (S_ISDIR(status.st_mode)) return Problem("cannot read", EISDIR);
    if (!S_ISREG(status.st_mode)) return Fail(std::string("not a regular file"));
    // One byte beyond the limit tells a file at the limit from a larger one.
    std::string bytes;
    while (bytes.size() <= maxBytes) {
        const std::size_t had = bytes.size();
        const std::size_t want = std::min(kChunk, maxBytes + 1 - had);
        bytes.resize(had + want);
        const ssize_t got = read(file.fd, bytes.data() + had, want);
        const int error = errno;
        bytes.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got == 0) break;
        if (got < 0 && error != EINTR) return Problem("cannot read", error);
    }
    if (bytes.size() > maxBytes) {
        return Fail("larger than " + std::to_string(maxBytes) + " bytes");
    }
    return bytes;
}

std::string FileProblem(const char* role, const std::string& path, std::size_t line,
                        const std::string& what) {
    std::string text = std::string("zembrak: ") + role + " '" + Printable(path) + "'";
    if (line > 0) text += ", line " + std::to_string(line);
    return text + ": " + what;
}
