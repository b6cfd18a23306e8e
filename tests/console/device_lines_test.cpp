// The lines under a device's fatal line: what alsa-lib said, one line each.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/device_list.h"
#include "console/run_report.h"

namespace {

DeviceFailure Said(std::vector<std::string> messages, std::size_t omitted) {
    DeviceFailure failure;
    failure.diagnostics = std::move(messages);
    failure.diagnosticsOmitted = omitted;
    return failure;
}

TEST(DeviceLines, EachMessageOnALineOfItsOwn) {
    const std::string ten(10, 'm');
    const struct {
        DeviceFailure failure;
        std::string lines;
    } cases[] = {
        {Said({}, 0), ""},
        {Said({"rig: unknown field x"}, 0), "  alsa-lib: rig: unknown field x\n"},
        // Control characters cannot start a line of their own or move the
        // cursor.
        {Said({"a\nb\r\x1b[2J\x7f"}, 0), "  alsa-lib: a?b??[2J?\n"},
        {Said({"one", "two"}, 1),
         "  alsa-lib: one\n  alsa-lib: two\n  alsa-lib: (1 more message)\n"},
        {Said({}, 3), "  alsa-lib: (3 more messages)\n"},
        // A list longer than the device layer keeps is cut all the same: 8
        // lines, the other 4 counted with the 2 already left out.
        {Said(std::vector<std::string>(12, ten), 2),
         [&] {
             std::string lines;
             for (int i = 0; i < 8; ++i) lines += "  alsa-lib: " + ten + "\n";
             return lines + "  alsa-lib: (6 more messages)\n";
         }()},
        // So is a message longer than 240 bytes.
        {Said({std::string(300, 'x')}, 0), "  alsa-lib: " + std::string(240, 'x') + "\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(DeviceDiagnosticLines(c.failure), c.lines);
}

// The line after the fatal one names the device as typed; a hw: device
// that refuses the sample format is pointed to the plughw: name of the
// same card, which converts.
TEST(DeviceLines, HintNamesTheDeviceAndItsConvertingName) {
    const auto failure = [](SetupStage stage, StreamDirection direction) {
        DeviceFailure f;
        f.stage = stage;
        f.direction = direction;
        return f;
    };
    const std::string list =
        " cannot measure: zembrak -L lists the devices and which of them can.\n";
    const std::string converts = "\", which converts them (zembrak -L lists the devices).\n";
    const struct {
        const char* device;
        DeviceFailure failure;
        std::string line;
    } cases[] = {
        {"nosuchcard", failure(SetupStage::Open, StreamDirection::Playback),
         "Device \"nosuchcard\"" + list},
        {"hw:9", failure(SetupStage::Open, StreamDirection::Playback), "Device \"hw:9\"" + list},
        {"hw:1,0", failure(SetupStage::Format, StreamDirection::Playback),
         "Device \"hw:1,0\" refuses packed 24-bit samples: try \"plughw:1,0" + converts},
        {"hw:CARD=USB,DEV=0", failure(SetupStage::Format, StreamDirection::Capture),
         "Device \"hw:CARD=USB,DEV=0\" refuses packed 24-bit samples: try "
         "\"plughw:CARD=USB,DEV=0" +
             converts},
        {"hw", failure(SetupStage::Format, StreamDirection::Playback),
         "Device \"hw\" refuses packed 24-bit samples: try \"plughw" + converts},
        // Not a hw: device: plughw would not be the same card.
        {"hwx:1", failure(SetupStage::Format, StreamDirection::Playback),
         "Device \"hwx:1\"" + list},
        {"front:CARD=PCH", failure(SetupStage::Format, StreamDirection::Playback),
         "Device \"front:CARD=PCH\"" + list},
        {"hw:1", failure(SetupStage::Params, StreamDirection::Capture), "Device \"hw:1\"" + list},
        {"hw:1", failure(SetupStage::Rate, StreamDirection::Playback), "Device \"hw:1\"" + list},
        // A name as typed may hold anything: it stays on one line.
        {"hw:1\n\x1b[2J", failure(SetupStage::Format, StreamDirection::Playback),
         "Device \"hw:1??[2J\" refuses packed 24-bit samples: try \"plughw:1??[2J" + converts},
        // Not the device's fault: no hint.
        {"rig", failure(SetupStage::Channels, StreamDirection::Playback), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        EXPECT_EQ(DeviceHintLine(c.device, c.failure), c.line);
    }
}

TEST(DeviceLines, ConvertingNameOnlyForHwDevices) {
    const struct {
        const char* name;
        const char* plug;
    } cases[] = {
        {"hw:0", "plughw:0"}, {"hw:0,1", "plughw:0,1"}, {"hw", "plughw"}, {"hw:", "plughw:"},
        {"plughw:0", ""},     {"default", ""},          {"hwx", ""},      {"", ""},
        {"HW:0", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ConvertingName(c.name), c.plug) << c.name;
}

}  // namespace
