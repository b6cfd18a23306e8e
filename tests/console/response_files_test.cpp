// Saved response files refused with the file (and the line) named.

#include "console/response_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Reason(const std::string& path) {
    const auto load = LoadResponseFile(path);
    return load.ok() ? "loaded" : load.reason();
}

// A FIFO without a writer is refused without waiting for one; should the
// load wait, a writer's open and close let it go on and the test fails.
TEST(ResponseFile, RefusalNamesTheFile) {
    std::string dir = (fs::temp_directory_path() / "zembrak_frd_XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string fifo = dir + "/in.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto load = std::async(std::launch::async, [&fifo] { return Reason(fifo); });
    const bool atOnce = load.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!atOnce) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_TRUE(atOnce);
    EXPECT_EQ(load.get(), "zembrak: response file '" + fifo + "': not a regular file");

    std::ofstream(dir + "/a\tb.txt") << "20 0\n40\n";
    std::ofstream(dir + "/big.txt") << std::string(kMaxResponseFileSize + 1, '#');
    const std::string prefix = "zembrak: response file '" + dir;
    EXPECT_EQ(Reason(dir + "/none.frd"),
              prefix + "/none.frd': cannot open: No such file or directory");
    EXPECT_EQ(Reason(dir + "/a\tb.txt"), prefix + "/a?b.txt', line 2: a frequency but no level");
    EXPECT_EQ(Reason(dir + "/big.txt"), prefix + "/big.txt': larger than 16777216 bytes");
    std::error_code error;
    fs::remove_all(dir, error);
}

}  // namespace
