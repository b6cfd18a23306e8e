// The real program with command-line arguments: what reaches standard
// output and standard error, and the exit status; and the calibration file
// as the console reads it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/calibration_file.h"
#include "console/options.h"
#include "support/program_run.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

// The program with `arguments`, the session "x", and files written into its
// working directory first.
ProgramRun RunWith(const std::vector<std::string>& arguments,
                   const std::vector<std::pair<std::string, std::string>>& files = {}) {
    const auto prepare = [&files](const fs::path& dir) {
        for (const auto& [name, text] : files) WriteFile(dir / name, text);
    };
    return RunProgram("x\n", {}, 5, prepare, 8 << 20, arguments);
}

// The session without arguments, which the session tests pin line by line.
const ProgramRun& Plain() {
    static const ProgramRun run = RunWith({});
    return run;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The text after the banner's seven lines.
std::size_t AfterBanner(const std::string& out) {
    std::size_t at = 0;
    for (int line = 0; line < 7 && at != std::string::npos; ++line) {
        at = out.find('\n', at);
        if (at != std::string::npos) ++at;
    }
    return at;
}

void ExpectRefused(const ProgramRun& run, const std::string& err) {
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, err);
    EXPECT_FALSE(run.resultsExist);
}

TEST(ProgramOptions, PlainSessionStartsWithTheBanner) {
    EXPECT_EQ(Plain().exitStatus, 0);
    EXPECT_EQ(Plain().err, "");
    EXPECT_EQ(Plain().out.rfind(std::string(66, '/') + "\n", 0), 0u);
    EXPECT_NE(Plain().out.find("Soundcard:  default\n"), std::string::npos);
    EXPECT_EQ(Plain().out.find("Calibration"), std::string::npos);
}

TEST(ProgramOptions, VersionAndHelpPrintAndExit) {
    for (const char* version : {"-V", "--version"}) {
        const ProgramRun run = RunWith({version});
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, "Zembrak 1.00\n");
        EXPECT_EQ(run.err, "");
    }
    for (const char* help : {"-h", "--help"}) {
        const ProgramRun run = RunWith({help});
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, UsageText());
        EXPECT_EQ(run.out.rfind("Usage: zembrak", 0), 0u);
        EXPECT_EQ(run.err, "");
    }
}

TEST(ProgramOptions, BadCommandLinesEndBeforeTheBanner) {
    const std::string hint = " (try 'zembrak --help')\n";
    ExpectRefused(RunWith({"--bogus"}), "zembrak: unknown option '--bogus'" + hint);
    ExpectRefused(RunWith({"-D"}), "zembrak: option '-D' needs a value" + hint);
    ExpectRefused(RunWith({"rig"}), "zembrak: unexpected argument 'rig'" + hint);
    ExpectRefused(RunWith({"--version=1"}), "zembrak: option '--version' takes no value" + hint);
    ExpectRefused(RunWith({"--sweep", "cubic"}),
                  "zembrak: option '--sweep' takes 'log' or 'linear', not 'cubic'" + hint);
    ExpectRefused(RunWith({"--sweep"}), "zembrak: option '--sweep' needs a value" + hint);
}

TEST(ProgramOptions, DeviceIsTheFirstSoundcard) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-D", "rig"}, {"--device=rig"}}) {
        const ProgramRun run = RunWith(arguments);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, Replaced(Plain().out, "Soundcard:  default\n", "Soundcard:  rig\n"));
    }
}

TEST(ProgramOptions, ADevicesControlCharactersNeverReachTheTerminal) {
    const ProgramRun run = RunWith({"-D", "rig\x1b[31m\r"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, Replaced(Plain().out, "Soundcard:  default\n", "Soundcard:  rig?[31m?\n"));
}

TEST(ProgramOptions, TooLongDeviceIsNotTaken) {
    const ProgramRun run = RunWith({"-D", std::string(256, 'd')});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "Device name longer than 255 characters, not changed.\n");
    EXPECT_EQ(run.out, Plain().out);
}

const std::string kUmikStyle =
    "\"Sens Factor =-1.378dB, SERNO: 7001234\"\n"
    "20.0\t-0.5\t3\n"
    "1000.0\t0\t0\n"
    "20000.0\t-1.25\t-4\n";

TEST(ProgramOptions, CalibrationLineFollowsTheBanner) {
    const ProgramRun run = RunWith({"--calibration", "mic.txt"}, {{"mic.txt", kUmikStyle}});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    std::string expected = Plain().out;
    expected.insert(AfterBanner(expected),
                    "Calibration:  mic.txt (3 points, 20.0 Hz to 20000.0 Hz, with phase)\n");
    EXPECT_EQ(run.out, expected);

    const ProgramRun plain = RunWith({"-C", "flat.txt"}, {{"flat.txt", "10,0\n40000,0\n"}});
    EXPECT_NE(plain.out.find("\nCalibration:  flat.txt (2 points, 10.0 Hz to 40000.0 Hz)\n\n"),
              std::string::npos);
}

TEST(ProgramOptions, BadCalibrationEndsBeforeTheBanner) {
    ExpectRefused(RunWith({"-C", "missing.txt"}),
                  "zembrak: calibration file 'missing.txt': cannot open: No such file or "
                  "directory\n");
    ExpectRefused(RunWith({"-C", "down.txt"}, {{"down.txt", "title\n100 0\n50 1\n"}}),
                  "zembrak: calibration file 'down.txt', line 3: frequency does not rise "
                  "above line 2's\n");
    ExpectRefused(RunWith({"-C", "one.txt"}, {{"one.txt", "100 0\n"}}),
                  "zembrak: calibration file 'one.txt', line 1: only one data line, at least "
                  "two are needed\n");
    ExpectRefused(RunWith({"-C", "nan.txt"}, {{"nan.txt", "100 0\n200 nan\n"}}),
                  "zembrak: calibration file 'nan.txt', line 2: gain is not finite\n");
}

// ---- The calibration file as the console reads it ------------------------

class CalibrationFile : public testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/zembrak_cal_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir_, error);
    }
    fs::path dir_;
};

TEST_F(CalibrationFile, ReadsAGoodFile) {
    WriteFile(dir_ / "mic.txt", kUmikStyle);
    const auto load = LoadCalibrationFile((dir_ / "mic.txt").string());
    ASSERT_TRUE(load.ok()) << load.reason();
    EXPECT_EQ(load.value().path, (dir_ / "mic.txt").string());
    ASSERT_EQ(load.value().calibration.points.size(), 3u);
    EXPECT_DOUBLE_EQ(GainAt(load.value().calibration, 20000.0), -1.25);
}

// A file of exactly the limit is read; one byte more is refused.
TEST_F(CalibrationFile, SizeIsLimited) {
    std::string text = "100 0\n1000 6\n";
    text += std::string(kMaxCalibrationFileSize - text.size() - 1, '#') + "\n";
    ASSERT_EQ(text.size(), kMaxCalibrationFileSize);
    WriteFile(dir_ / "limit.txt", text);
    EXPECT_TRUE(LoadCalibrationFile((dir_ / "limit.txt").string()).ok());

    WriteFile(dir_ / "over.txt", text + "\n");
    const auto over = LoadCalibrationFile((dir_ / "over.txt").string());
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.reason(), "zembrak: calibration file '" + (dir_ / "over.txt").string() +
                                 "': larger than 1048576 bytes");
}

TEST_F(CalibrationFile, DirectoryCannotBeRead) {
    const auto load = LoadCalibrationFile(dir_.string());
    ASSERT_FALSE(load.ok());
    EXPECT_EQ(load.reason(),
              "zembrak: calibration file '" + dir_.string() + "': cannot read: Is a directory");
}

TEST_F(CalibrationFile, NameStaysOnOneLine) {
    const std::string name = (dir_ / "a\nb.txt").string();
    WriteFile(name, "100 0\n1000 6\n");
    const auto load = LoadCalibrationFile(name);
    ASSERT_TRUE(load.ok());
    EXPECT_EQ(CalibrationLine(load.value()), "Calibration:  " + (dir_ / "a?b.txt").string() +
                                                 " (2 points, 100.0 Hz to 1000.0 Hz)");
}

// A FIFO (with no writer, or with one holding it open after writing good
// data) or a device is refused at once: the program neither waits for a
// writer in the open nor for the end of the data in the read. The run's
// time limit turns a wait into a failure.
TEST_F(CalibrationFile, FileThatIsNotRegularIsRefusedAtOnce) {
    const fs::path fifo = dir_ / "mic.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* name;
        std::string path;
        bool writer;
    } cases[] = {
        {"FIFO without a writer", fifo.string(), false},
        {"FIFO held open by a writer", fifo.string(), true},
        {"character device", "/dev/null", false},
        {"endless device", "/dev/zero", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // O_RDWR opens a FIFO without waiting for a reader; not passed on to
        // the program.
        const int writer = c.writer ? open(c.path.c_str(), O_RDWR | O_CLOEXEC) : -1;
        if (c.writer) {
            ASSERT_GE(writer, 0);
            const std::string data = "100 0\n1000 6\n";
            ASSERT_EQ(write(writer, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        }
        const ProgramRun run = RunWith({"-C", c.path});
        if (writer >= 0) close(writer);
        ExpectRefused(run, "zembrak: calibration file '" + c.path + "': not a regular file\n");
    }
}

}  // namespace
