// A device that refuses to open or to be configured: the program's one
// fatal line stays as it is, and what alsa-lib and the rig said about the
// refusal follows it on standard error, a line each, bounded.

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sndfile.h>

#include "run_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "  alsa-lib: ";

// A folder of its own for one test: an ALSA configuration of the rig's
// devices plus `devices`, and whatever files the devices name.
class DeviceMessages : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "zembrak_devmsg_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(dir_, error);
    }

    std::string Config(const std::string& devices) const {
        const fs::path path = dir_ / "devices.conf";
        std::ofstream(path) << "<" RIG_CONFIG ">\n" << devices;
        return "ALSA_CONFIG_PATH=" + path.string();
    }

    // A one-tap impulse response at `rate`, as a 16-bit WAV file.
    std::string ImpulseResponse(int rate) const {
        const std::string path = (dir_ / ("ir_" + std::to_string(rate) + ".wav")).string();
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        if (file == nullptr) return path;
        std::vector<float> taps(64, 0.0f);
        taps[0] = 0.5f;
        EXPECT_EQ(sf_writef_float(file, taps.data(), 64), 64);
        sf_close(file);
        return path;
    }

    fs::path dir_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A run that ended at the device's setup: status 1, nothing played, no file.
void ExpectSetupFailure(const ProgramRun& run) {
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(Count(run.out, "Running Test..."), 0);
    EXPECT_FALSE(run.resultsExist);
}

TEST_F(DeviceMessages, MistypedFieldIsNamedUnderTheFatalLine) {
    const ProgramRun run =
        RunProgram(Script("rig_badfield", "r"), {"ALSA_CONFIG_PATH=" RIG_CONFIG});
    ExpectSetupFailure(run);
    EXPECT_EQ(run.err,
              "Playback device could not be opened: " + std::string(snd_strerror(-EINVAL)) + "\n" +
                  kPrefix + "rig: unknown field latncy\n" + DeviceHint("rig_badfield"));
}

// An impulse response at 44100 Hz on the 48000 Hz stream, on either side:
// the fatal line goes where it always went (the capture's parameters to
// standard output), the rig's reason, naming both rates, to standard error.
TEST_F(DeviceMessages, ResponseAtAnotherRateIsExplainedOnEitherSide) {
    const std::string ir = ImpulseResponse(44100);
    const std::string environment = Config("pcm.ir44 { type rig ir \"" + ir +
                                           "\" }\n"
                                           "pcm.ir44_rec { type asym playback.pcm \"rig\" "
                                           "capture.pcm \"ir44\" }\n");
    const std::string invalid = snd_strerror(-EINVAL);
    const struct {
        const char* device;
        const char* fatal;
        bool onStandardOutput;
    } cases[] = {
        {"ir44", "Problem setting playback parameters: ", false},
        {"ir44_rec", "Could not set record hardware parameters: ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        const ProgramRun run = RunProgram(Script(c.device, "t 1e-9\nr"), {environment});
        ExpectSetupFailure(run);
        const std::string fatal = c.fatal + invalid + "\n";
        std::string reasons = run.err;
        if (c.onStandardOutput) {
            ASSERT_GE(run.out.size(), fatal.size());
            EXPECT_EQ(run.out.substr(run.out.size() - fatal.size()), fatal);
        } else {
            ASSERT_EQ(run.err.rfind(fatal, 0), 0u) << run.err;
            reasons = run.err.substr(fatal.size());
        }
        // The last line names the device.
        const std::string hint = DeviceHint(c.device);
        ASSERT_GE(reasons.size(), hint.size());
        EXPECT_EQ(reasons.substr(reasons.size() - hint.size()), hint);
        reasons.resize(reasons.size() - hint.size());
        const std::vector<std::string> lines = Lines(reasons);
        ASSERT_GE(lines.size(), 1u) << run.err;
        for (const std::string& line : lines) EXPECT_EQ(line.rfind(kPrefix, 0), 0u) << line;
        const std::string rig = std::string(kPrefix) + "rig: bad value for field ir: " + ir;
        EXPECT_EQ(lines[0].rfind(rig, 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("44100"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("48000"), std::string::npos) << lines[0];
    }
}

// The rig quotes the file name it could not read: control characters in it
// are shown as '?', and a message is cut after 240 bytes.
TEST_F(DeviceMessages, MessagesStayOnOneBoundedLine) {
    const std::string environment = Config(
        "pcm.tab { type rig ir \"/zembrak_none/a\\tb\\033[2J.wav\" }\n"
        "pcm.long { type rig ir \"/zembrak_none/" +
        std::string(3000, 'a') + ".wav\" }\n");
    const ProgramRun tab = RunProgram(Script("tab", "r"), {environment});
    ExpectSetupFailure(tab);
    const std::vector<std::string> lines = Lines(tab.err);
    ASSERT_EQ(lines.size(), 3u) << tab.err;
    EXPECT_EQ(lines[2] + "\n", DeviceHint("tab"));
    EXPECT_EQ(
        lines[1].rfind(
            std::string(kPrefix) + "rig: bad value for field ir: /zembrak_none/a?b?[2J.wav", 0),
        0u)
        << lines[1];

    const ProgramRun longName = RunProgram(Script("long", "r"), {environment});
    ExpectSetupFailure(longName);
    const std::vector<std::string> cut = Lines(longName.err);
    ASSERT_EQ(cut.size(), 3u) << longName.err;
    EXPECT_EQ(cut[2] + "\n", DeviceHint("long"));
    EXPECT_EQ(cut[1], std::string(kPrefix) +
                          ("rig: bad value for field ir: /zembrak_none/" + std::string(3000, 'a'))
                              .substr(0, 240));
}

// Thirteen messages (alsa-lib cannot read twelve configuration files named in
// ALSA_CONFIG_PATH, then the rig refuses its field): eight are shown, one
// line counts the other five.
TEST_F(DeviceMessages, ChattyOpenIsCapped) {
    std::string path = "ALSA_CONFIG_PATH=";
    for (int i = 0; i < 12; ++i) path += (dir_ / ("missing" + std::to_string(i))).string() + ":";
    path += RIG_CONFIG;
    const ProgramRun run = RunProgram(Script("rig_badfield", "r"), {path});
    ExpectSetupFailure(run);
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 1 + 8u + 1 + 1) << run.err;
    EXPECT_EQ(lines[0],
              "Playback device could not be opened: " + std::string(snd_strerror(-EINVAL)));
    for (std::size_t i = 0; i < 8u; ++i) {
        EXPECT_EQ(lines[1 + i].rfind(kPrefix, 0), 0u) << lines[1 + i];
        EXPECT_NE(lines[1 + i].find((dir_ / ("missing" + std::to_string(i))).string()),
                  std::string::npos)
            << lines[1 + i];
    }
    EXPECT_EQ(lines[9], std::string(kPrefix) + "(5 more messages)");
    EXPECT_EQ(lines.back() + "\n", DeviceHint("rig_badfield"));
}

// A playback granted another period, then a capture that cannot be opened:
// the period warning still comes first, the capture's line after it.
TEST_F(DeviceMessages, PeriodWarningComesAlsoBeforeACaptureFailure) {
    const ProgramRun run = RunProgram(
        Script("p512_nocap", "r"),
        {Config("pcm.p512_nocap { type rig grant_period 512 fail_open_capture true }\n")});
    ExpectSetupFailure(run);
    EXPECT_EQ(Count(run.out, "Driver did not return requested period size.\n"), 1);
    EXPECT_EQ(run.err, "unable to open pcm record device: " + std::string(snd_strerror(-ENODEV)) +
                           "\n" + DeviceHint("p512_nocap"));
}

}  // namespace
