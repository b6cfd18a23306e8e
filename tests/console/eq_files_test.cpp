// The equalizer file as --apply-eq reads it, and the equalizer text this
// program writes read back by that reader.

#include "console/eq_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/eq_export.h"

namespace {

namespace fs = std::filesystem;

std::string Reason(const std::string& path) {
    const auto load = LoadEqFile(path);
    return load ? "loaded" : load.reason();
}

// A FIFO without a writer is refused without waiting for one; should the
// load wait, a writer's open and close let it go on and the test fails.
TEST(EqFile, LoadsARegularFileAndNamesTheFileAndLineOfARefusal) {
    std::string dir = (fs::temp_directory_path() / "zembrak_eq_XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string fifo = dir + "/eq.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto load = std::async(std::launch::async, [&fifo] { return Reason(fifo); });
    const bool atOnce = load.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!atOnce) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_TRUE(atOnce);
    EXPECT_EQ(load.get(), "zembrak: equalizer file '" + fifo + "': not a regular file");

    std::ofstream(dir + "/good.txt")
        << "Preamp: -2 dB\r\nFilter 1: ON PK Fc 80 Hz Gain -5 dB Q 3\r\n";
    const auto good = LoadEqFile(dir + "/good.txt");
    ASSERT_TRUE(good) << good.reason();
    EXPECT_EQ(good.value().path, dir + "/good.txt");
    EXPECT_EQ(good.value().correction.preampDb, -2.0);
    ASSERT_EQ(good.value().correction.filters.size(), 1u);
    EXPECT_EQ(good.value().correction.filters[0].frequency, 80.0);

    std::ofstream(dir + "/a\tb.txt") << "Preamp: -1 dB\nFilter 1: ON LS Fc 80 Hz Gain 3 dB Q 0.7\n";
    std::ofstream(dir + "/big.txt") << std::string(kMaxEqFileSize + 1, '#');
    const std::string prefix = "zembrak: equalizer file '" + dir;
    EXPECT_EQ(Reason(dir + "/a\tb.txt"),
              prefix +
                  "/a?b.txt', line 2: not a peaking filter (PK), the only kind this program "
                  "plays");
    EXPECT_EQ(Reason(dir + "/none.txt"),
              prefix + "/none.txt': cannot open: No such file or directory");
    EXPECT_EQ(Reason(dir + "/big.txt"), prefix + "/big.txt': larger than 1048576 bytes");
    EXPECT_EQ(Reason(dir), prefix + "': cannot read: Is a directory");
    std::error_code error;
    fs::remove_all(dir, error);
}

// Filters of unrounded values, among them the sharpest and deepest a design
// makes: the text read back is within 0.01 dB of them everywhere, and its
// preamp, also the biquads file's gain line, leaves at least the headroom
// asked for.
TEST(EqFile, WrittenTextReadsBackWithinAHundredthOfADecibel) {
    const std::vector<PeakingFilter> filters = {{23.456789123, -17.23456789, 19.87654321},
                                                {31.00000049, -24.0, 20.0},
                                                {150.123456, -3.33333333, 7.7777777},
                                                {12345.678912, 5.932101, 0.50123456}};
    const Correction correction{filters, -LargestBoostDb(filters)};
    const auto back = ParseEqText(EqText(correction, "unrounded"));
    ASSERT_TRUE(back);
    ASSERT_EQ(back.value().filters.size(), filters.size());
    for (double f = 10.0; f < 24000.0; f *= std::exp2(1.0 / 96.0)) {
        ASSERT_NEAR(CorrectionGainDb(back.value().filters, f), CorrectionGainDb(filters, f), 0.01)
            << f << " Hz";
    }
    const double preamp = back.value().preampDb;
    EXPECT_LE(preamp, correction.preampDb);
    EXPECT_GT(preamp, correction.preampDb - 0.1 - 1e-9);
    std::istringstream biquads(BiquadText(correction, "unrounded"));
    std::string line;
    int gainLines = 0;
    while (std::getline(biquads, line)) {
        if (line.rfind("gain ", 0) != 0) continue;
        ++gainLines;
        EXPECT_NEAR(std::stod(line.substr(5)), std::pow(10.0, preamp / 20.0), 1e-15);
    }
    EXPECT_EQ(gainLines, 1);
}

}  // namespace
