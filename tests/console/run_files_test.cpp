#include "console/run_files.h"

#include "base/version.h"
#include "console/run_report.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// 2026-12-07 13:00:00 UTC.
constexpr std::time_t kWhen = 1796648400;

class RunFilesTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz != nullptr) savedTz_ = tz;
        hadTz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        char pattern[] = "/tmp/zembrak_run_files_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::remove_all(dir_);
        if (hadTz_) {
            setenv("TZ", savedTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir_;
    std::string savedTz_;
    bool hadTz_ = false;
};

const std::vector<std::string> kEndings = {".frd", "_ir.wav"};

// The files of a run at `when` in dir; a test that cannot create them fails.
RunFiles Created(std::time_t when, const std::string& dir) {
    auto created = CreateRunFiles(when, kEndings, dir);
    EXPECT_TRUE(created.ok()) << (created.ok() ? "" : Words(created.reason()));
    return created.ok() ? std::move(created.value()) : RunFiles();
}

// "" for a file written whole, else the reason.
std::string Said(const Written& written) {
    return written.ok() ? "" : Words(written.reason());
}

TEST_F(RunFilesTest, NamesFollowTheLocalTimeAndNeverRepeat) {
    const char* expected[] = {"sweep_20261207_130000", "sweep_20261207_130000_2",
                              "sweep_20261207_130000_3"};
    std::vector<RunFiles> runs;
    for (const char* base : expected) {
        runs.push_back(Created(kWhen, dir_));
        const RunFiles& run = runs.back();
        EXPECT_EQ(run.base, base);
        ASSERT_EQ(run.paths.size(), 2u);
        EXPECT_EQ(run.paths[0], dir_ + "/" + base + ".frd");
        EXPECT_EQ(run.paths[1], dir_ + "/" + base + "_ir.wav");
        for (const std::string& path : run.paths) EXPECT_TRUE(fs::exists(path)) << path;
    }
    // One second later the plain name is free again.
    const RunFiles later = Created(kWhen + 1, dir_);
    EXPECT_EQ(later.base, "sweep_20261207_130001");
}

TEST_F(RunFilesTest, OneTakenFileMovesTheWholeRunToTheNextNumber) {
    // Only the impulse response of the plain name exists, with content.
    const std::string taken = dir_ + "/sweep_20261207_130000_ir.wav";
    std::ofstream(taken) << "an earlier run";
    const RunFiles run = Created(kWhen, dir_);
    EXPECT_EQ(run.base, "sweep_20261207_130000_2");
    EXPECT_EQ(Read(taken), "an earlier run");
    // The response file of the plain name, created before the clash was
    // seen, is gone again.
    EXPECT_FALSE(fs::exists(dir_ + "/sweep_20261207_130000.frd"));
}

TEST_F(RunFilesTest, AMissingDirectorySaysWhy) {
    const auto run = CreateRunFiles(kWhen, kEndings, dir_ + "/absent");
    ASSERT_FALSE(run.ok());
    const std::string error = Words(run.reason());
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_NE(error.find("sweep_20261207_130000"), std::string::npos) << error;
}

TEST_F(RunFilesTest, TextIsWrittenWhole) {
    RunFiles run = Created(kWhen, dir_);
    ASSERT_EQ(run.paths.size(), 2u);
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(i) + " line\n";
    EXPECT_EQ(Said(WriteText(run.Release(0), text)), "");
    EXPECT_EQ(Read(run.paths[0]), text);
    EXPECT_EQ(run.Release(0), -1);  // already handed over
    EXPECT_NE(Said(WriteText(-1, text)), "");
}

TEST_F(RunFilesTest, AFullDiskIsSaid) {
    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    EXPECT_NE(Said(WriteText(full, std::string(100000, 'x'))).find("No space left"),
              std::string::npos);
    const int fullAgain = ::open("/dev/full", O_WRONLY);
    const std::vector<float> samples(100000, 0.25f);
    EXPECT_NE(Said(WriteImpulseWav(fullAgain, samples, 0, 48000)), "");
}

struct WavCase {
    const char* name;
    std::vector<float> samples;
    std::int64_t zeroIndex;
};

// The cue points of a WAV file as libsndfile reads them back: sample
// offsets, in order.
std::vector<std::int64_t> CueOffsets(SNDFILE* file) {
    SF_CUES cues{};
    std::vector<std::int64_t> offsets;
    if (sf_command(file, SFC_GET_CUE, &cues, sizeof cues) != SF_TRUE) return offsets;
    for (std::uint32_t i = 0; i < cues.cue_count && i < 100; ++i) {
        offsets.push_back(cues.cue_points[i].sample_offset);
    }
    return offsets;
}

TEST_F(RunFilesTest, ImpulseResponseReadsBackAsFloatMonoWav) {
    std::vector<float> ramp;
    for (int i = 0; i < 48000; ++i) ramp.push_back(std::sin(0.01f * i) * 0.7f);
    const WavCase cases[] = {
        {"one second", ramp, 480},
        {"single sample", {0.5f}, 0},
        {"above full scale", {3.0f, -2.5f, 1e-20f}, 3},
        {"empty", {}, 0},
    };
    for (const WavCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunFiles run = Created(kWhen, dir_);
        ASSERT_EQ(run.paths.size(), 2u);
        ASSERT_EQ(Said(WriteImpulseWav(run.Release(1), c.samples, c.zeroIndex, 48000)), "");
        SF_INFO info{};
        SNDFILE* file = sf_open(run.paths[1].c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.samplerate, 48000);
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        EXPECT_EQ(info.frames, static_cast<sf_count_t>(c.samples.size()));
        EXPECT_EQ(CueOffsets(file), std::vector<std::int64_t>{c.zeroIndex});
        std::vector<float> back(c.samples.size() + 1);
        EXPECT_EQ(sf_readf_float(file, back.data(), static_cast<sf_count_t>(back.size())),
                  static_cast<sf_count_t>(c.samples.size()));
        sf_close(file);
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            ASSERT_EQ(back[i], c.samples[i]) << i;
        }
    }
}

// The little-endian fields of a file's bytes.
unsigned U16(const std::string& bytes, std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}
std::uint32_t U32(const std::string& bytes, std::size_t at) {
    return U16(bytes, at) | static_cast<std::uint32_t>(U16(bytes, at + 2)) << 16;
}

// The header as the WAVE format defines it for IEEE float samples (format
// tag 3, not PCM): a fmt chunk of 18 bytes whose last two, cbSize, are 0 (a
// 16-byte one is what sox warns about as "missing extended part"), then a
// fact chunk with the frame count; every chunk's size leads exactly to the
// next, the last to the file's end, and RIFF's size is the file's less 8.
TEST_F(RunFilesTest, ImpulseResponseHeaderHasTheFloatFormatsExtension) {
    const std::vector<float> samples(1000, 0.25f);
    RunFiles run = Created(kWhen, dir_);
    ASSERT_EQ(run.paths.size(), 2u);
    ASSERT_EQ(Said(WriteImpulseWav(run.Release(1), samples, 10, 48000)), "");
    std::ifstream in(run.paths[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 12u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(U32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(bytes.substr(8, 4), "WAVE");
    std::map<std::string, std::pair<std::size_t, std::uint32_t>> chunks;  // data start, size
    std::vector<std::string> order;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::uint32_t size = U32(bytes, at + 4);
        order.push_back(bytes.substr(at, 4));
        chunks[order.back()] = {at + 8, size};
        at += 8 + size + (size & 1);
    }
    EXPECT_EQ(at, bytes.size());
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), "fmt ");
    const auto [fmt, fmtSize] = chunks["fmt "];
    ASSERT_EQ(fmtSize, 18u);
    EXPECT_EQ(U16(bytes, fmt), 3u);               // wFormatTag: IEEE float
    EXPECT_EQ(U16(bytes, fmt + 2), 1u);           // nChannels
    EXPECT_EQ(U32(bytes, fmt + 4), 48000u);       // nSamplesPerSec
    EXPECT_EQ(U32(bytes, fmt + 8), 48000u * 4u);  // nAvgBytesPerSec
    EXPECT_EQ(U16(bytes, fmt + 12), 4u);          // nBlockAlign
    EXPECT_EQ(U16(bytes, fmt + 14), 32u);         // wBitsPerSample
    EXPECT_EQ(U16(bytes, fmt + 16), 0u);          // cbSize
    ASSERT_EQ(chunks.count("fact"), 1u);
    EXPECT_EQ(U32(bytes, chunks["fact"].first), 1000u);
    ASSERT_EQ(chunks.count("data"), 1u);
    EXPECT_EQ(chunks["data"].second, 4000u);
    float first = 0.0f;
    std::memcpy(&first, bytes.data() + chunks["data"].first, 4);
    EXPECT_EQ(first, 0.25f);
    EXPECT_EQ(chunks.count("cue "), 1u);
}

// Only a float file's bare fmt chunk is extended; anything else is left
// as it is.
TEST(FloatFormatChunk, OtherFilesAreLeftAsTheyAre) {
    // RIFF(size) WAVE fmt (16) tag ch rate byterate align bits, data(0).
    const auto file = [](unsigned tag, unsigned fmtSize) {
        std::string b = "RIFF....WAVEfmt ";
        const auto put = [&](std::uint32_t v, int n) {
            for (int i = 0; i < n; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
        };
        put(fmtSize, 4);
        put(tag, 2);
        put(1, 2);
        put(48000, 4);
        put(192000, 4);
        put(4, 2);
        put(32, 2);
        for (unsigned i = 16; i < fmtSize; ++i) b.push_back('\0');
        b += "data";
        put(0, 4);
        const auto riff = static_cast<std::uint32_t>(b.size() - 8);
        for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<char>(riff >> (8 * i));
        return std::vector<unsigned char>(b.begin(), b.end());
    };
    std::vector<unsigned char> extended = file(3, 16);
    ASSERT_TRUE(ExtendFloatFormatChunk(extended));
    EXPECT_EQ(extended, file(3, 18));
    std::vector<unsigned char> truncated = file(3, 16);
    truncated.resize(30);
    const struct {
        const char* name;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"PCM", file(1, 16)},
        {"already extended", file(3, 18)},
        {"extensible", file(0xFFFE, 40)},
        {"truncated", truncated},
        {"empty", {}},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> bytes = c.bytes;
        EXPECT_FALSE(ExtendFloatFormatChunk(bytes)) << c.name;
        EXPECT_EQ(bytes, c.bytes) << c.name;
    }
}

// Time zero outside the samples cannot be marked: nothing is written and the
// file is closed all the same.
TEST_F(RunFilesTest, TimeZeroOutsideTheResponseIsRefused) {
    const std::vector<float> samples(10, 0.5f);
    for (const std::int64_t zero : {std::int64_t{-1}, std::int64_t{11}, std::int64_t{1} << 33}) {
        RunFiles run = Created(kWhen, dir_);
        ASSERT_EQ(run.paths.size(), 2u);
        const int descriptor = run.Release(1);
        EXPECT_NE(Said(WriteImpulseWav(descriptor, samples, zero, 48000)), "") << zero;
        EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1) << zero;
        EXPECT_EQ(fs::file_size(run.paths[1]), 0u) << zero;
        fs::remove(run.paths[0]);
        fs::remove(run.paths[1]);
    }
}

// A file placed through its temporary one: the earlier version stays whole
// when the new one fails, a new file never replaces one that is there, and
// nothing temporary is left behind.
TEST_F(RunFilesTest, PlacedFilesAreWholeOrAsTheyWere) {
    const auto writes = [](const std::string& text) {
        return [text](int fd) { return WriteText(fd, text); };
    };
    const auto fails = [](int fd) {
        (void)WriteAll(fd, "half", 4);
        return Complete(fd, Fail(WriteFailure{ENOSPC, {}}));
    };
    struct Case {
        const char* name;
        bool replace;
        std::function<Written(int)> write;
        bool ok;
        const char* after;
    };
    const Case cases[] = {
        {"replaced", true, writes("new\n"), true, "new\n"},
        {"failed_write_keeps_the_old", true, fails, false, "old\n"},
        {"new_name_taken", false, writes("new\n"), false, "old\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_ + "/" + c.name;
        std::ofstream(path) << "old\n";
        EXPECT_EQ(PlaceFile(path, c.replace, c.write).ok(), c.ok);
        EXPECT_EQ(Read(path), c.after);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
        fs::remove(path);
    }
    const std::string fresh = dir_ + "/fresh";
    EXPECT_TRUE(PlaceFile(fresh, false, writes("first\n")).ok());
    EXPECT_EQ(Read(fresh), "first\n");
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::others_read, fs::perms::others_read);
}

// A process killed in the middle of writing a new version leaves the
// earlier version whole under its name.
TEST_F(RunFilesTest, AKilledWriteLeavesTheEarlierVersion) {
    const std::string path = dir_ + "/average.frd";
    std::ofstream(path) << "old\n";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        (void)PlaceFile(path, true, [](int fd) {
            (void)WriteAll(fd, "new, but not all of it", 22);
            kill(getpid(), SIGKILL);
            return Complete(fd, Done{});
        });
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Read(path), "old\n");
}

TEST(ResponseText, CommentsFirstThenRisingPoints) {
    TestSettings settings;
    settings.deviceName = "rig_room\nfake data line 1 2 3";
    const RunDescription run = DescribeRun(settings, kWhen, 18.0, 16175.0);
    const std::vector<ResponsePoint> points = {
        {20.0, -1.25, 179.5}, {20.1448, 0.0, -179.25}, {20.2907, -300.0, 0.0}};
    const std::vector<std::string> notes = {"a note\nwith a break"};
    const std::string text = FormatResponse(run, Delay{480.0, 10.0, 3.43}, notes, points);
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> comments;
    std::vector<ResponsePoint> parsed;
    while (std::getline(lines, line)) {
        if (line.starts_with("*")) {
            EXPECT_TRUE(parsed.empty()) << "comment after the data: " << line;
            comments.push_back(line);
            continue;
        }
        std::istringstream fields(line);
        ResponsePoint p;
        ASSERT_TRUE(fields >> p.frequency >> p.magnitudeDb >> p.phaseDegrees) << line;
        std::string rest;
        EXPECT_FALSE(fields >> rest) << line;
        parsed.push_back(p);
    }
    ASSERT_FALSE(comments.empty());
    EXPECT_EQ(comments[0], std::string("* ") + kProgramName);
    const std::string all = text.substr(0, text.find("\n20."));
    for (const char* expected :
         {"2026-12-07", "rig_room?fake", "Q: 4", "Bands: 31", "Start: 18.0", "Length: 10.0",
          "* Linear sweep: 18.0 Hz to 16175.0 Hz", "Delay: 10.000 ms", "3.430 m", "* a note?with",
          "* Frequency (Hz), magnitude (dB) and phase (degrees) of H at that frequency (not "
          "smoothed)"}) {
        EXPECT_NE(all.find(expected), std::string::npos) << expected;
    }
    ASSERT_EQ(parsed.size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_NEAR(parsed[i].frequency, points[i].frequency, 1e-4);
        EXPECT_NEAR(parsed[i].magnitudeDb, points[i].magnitudeDb, 1e-3);
        EXPECT_NEAR(parsed[i].phaseDegrees, points[i].phaseDegrees, 1e-2);
    }
}

struct LevelCase {
    double level;
    const char* text;
};

TEST(LevelText, OneDecimalAndNeverANegativeZero) {
    const LevelCase cases[] = {
        {0.0, "0.0"},      {-0.0, "0.0"},     {-0.04, "0.0"}, {0.04, "0.0"},       {-0.06, "-0.1"},
        {-12.34, "-12.3"}, {-12.36, "-12.4"}, {3.0, "3.0"},   {-HUGE_VAL, "-inf"},
    };
    for (const LevelCase& c : cases) {
        EXPECT_EQ(FormatLevel(c.level), c.text) << c.level;
        // The return level lines read the same way.
        EXPECT_EQ(ReturnLevelLine(c.level),
                  std::string("Ch 1 (sweep): Return Level = ") + c.text + " dB\n")
            << c.level;
    }
    // The delay's two decimals have no sign at zero either.
    EXPECT_EQ(FormatFixed(-0.004, 2), "0.00");
    EXPECT_EQ(FormatFixed(-0.005001, 2), "-0.01");
    EXPECT_EQ(FormatFixed(-0.0, 3), "0.000");
}

TEST(BandTableText, LevelsMissingBandsAndEdges) {
    const std::vector<double> levels = {-3.04, -0.02, 0.0, -HUGE_VAL, -HUGE_VAL};
    const std::vector<bool> missing = {false, false, false, true, false};
    const double lower[] = {18.0, 22.0, 27.0, 33.0, 41.0};
    const double upper[] = {22.0, 27.0, 33.0, 41.0, 51.0};
    EXPECT_EQ(ResultsText(levels, lower, upper),
              "Results:\n"
              "Band\tRange (Hz)\tdB\n"
              "1\t18\t22\t-3.0\n"
              "2\t22\t27\t0.0\n"
              "3\t27\t33\t0.0\n"
              "4\t33\t41\t-inf\n"
              "5\t41\t51\t-inf\n");
    EXPECT_EQ(MissingDataLines(missing), "Band 4 is missing data\n");
    // Only the bands every span describes.
    EXPECT_EQ(ResultsText(levels, std::span(lower).first(2), upper),
              "Results:\nBand\tRange (Hz)\tdB\n1\t18\t22\t-3.0\n2\t22\t27\t0.0\n");
}

}  // namespace
