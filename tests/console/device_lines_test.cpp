// The lines under a device's fatal line: what alsa-lib said, one line each.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
