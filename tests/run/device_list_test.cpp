// -L through the rig: every device of the configuration is listed with its
// mark, worked out from what each device was built to refuse.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_support.h"

namespace fs = std::filesystem;

namespace {

// The line of `name` in the listing ("  <mark>  <name>..."), or "".
std::string LineOf(const std::string& out, const std::string& name) {
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 8 || line.rfind("  ", 0) != 0) continue;
        const std::string rest = line.substr(8);
        if (rest == name || rest.rfind(name + "  ", 0) == 0) return line;
    }
    return "";
}

TEST(DeviceList, RigDevicesCarryTheirMarks) {
    const ProgramRun run = RunProgram("", {"ALSA_CONFIG_PATH=" RIG_CONFIG}, 60, {}, 0, {"-L"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(run.resultsExist);
    const struct {
        const char* device;
        const char* line;
    } cases[] = {
        // Every format, rate and access the measurement needs.
        {"rig", "  yes   rig"},
        {"rig_room", "  yes   rig_room"},
        {"rig_interleaved", "  yes   rig_interleaved"},
        // Refused only when the parameters are installed.
        {"rig_badparams_play", "  no    rig_badparams_play  (playback refuses the parameters)"},
        {"rig_badparams_rec", "  no    rig_badparams_rec  (capture refuses the parameters)"},
        // No packed 24-bit samples on one side.
        {"rig_badformat_play",
         "  no    rig_badformat_play  (playback refuses packed 24-bit samples)"},
        {"rig_badformat_rec", "  no    rig_badformat_rec  (capture refuses packed 24-bit samples)"},
        // The same device behind a plug converts.
        {"rig_plug_badformat", "  plug  rig_plug_badformat  (converts)"},
        {"rig_nocapture", "  no    rig_nocapture  (capture does not open)"},
        {"rig_busy", "  busy  rig_busy"},
        // The rig's own refusal of a mistyped field.
        {"rig_badfield", "  no    rig_badfield  (playback does not open)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        EXPECT_EQ(LineOf(run.out, c.device), c.line) << run.out;
    }
    // The device a run uses without -D is listed though no hint names it;
    // its mark depends on the machine's card or sound server.
    EXPECT_NE(LineOf(run.out, "default"), "") << run.out;
    // The description given in the configuration, under its device.
    const std::size_t plug = run.out.find("rig_plug_badformat  (converts)\n");
    ASSERT_NE(plug, std::string::npos);
    EXPECT_EQ(
        run.out.find("        Zembrak simulated rig: converted to another sample format\n", plug),
        plug + std::string("rig_plug_badformat  (converts)\n").size());
}

// A device's name and description come from the configuration: control
// characters in either stay on their line.
TEST(DeviceList, ControlCharactersStayOnTheirLine) {
    std::string dir = testing::TempDir() + "zembrak_devlist_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const fs::path config = fs::path(dir) / "devices.conf";
    std::ofstream(config) << "<" RIG_CONFIG ">\n"
                          << "pcm.\"odd\\033[2Jname\" { type rig hint.description "
                             "\"first\nsecond\\rline\" }\n";
    const ProgramRun run =
        RunProgram("", {"ALSA_CONFIG_PATH=" + config.string()}, 60, {}, 0, {"--list-devices"});
    fs::remove_all(dir);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::size_t line =
        run.out.find("  yes   odd?[2Jname\n        first\n        second?line\n");
    EXPECT_NE(line, std::string::npos) << run.out;
}

// A device that does not exist, typed at -D: the fatal line stays as it is,
// and the next names the device and points to the list.
TEST(DeviceList, MissingDeviceNamesItAndPointsToTheList) {
    const ProgramRun run =
        RunProgram("r\nx\n", {"ALSA_CONFIG_PATH=" RIG_CONFIG}, 60, {}, 0, {"-D", "nosuchcard"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1);
    ASSERT_EQ(run.err.rfind("Playback device could not be opened: ", 0), 0u) << run.err;
    const std::string hint =
        "Device \"nosuchcard\" cannot measure: zembrak -L lists the devices and which of them "
        "can.\n";
    ASSERT_GE(run.err.size(), hint.size());
    EXPECT_EQ(run.err.substr(run.err.size() - hint.size()), hint) << run.err;
}

}  // namespace
