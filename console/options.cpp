#include "console/options.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "console/settings.h"

namespace {

// Options without a short form get codes beyond any character.
constexpr int kSweepOption = 256;

constexpr char kShortOptions[] = "+:D:C:hV";  // '+': stop at the first stray argument
const option kLongOptions[] = {
    {"device", required_argument, nullptr, 'D'},
    {"calibration", required_argument, nullptr, 'C'},
    {"sweep", required_argument, nullptr, kSweepOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// How the option being read was written: "--name" as typed (without a
// value), or "-c" for a short one.
std::string Spelling(std::string_view element, int shortName) {
    if (element.substr(0, 2) == "--") return Printable(element.substr(0, element.find('=')));
    return Printable(std::string("-") + static_cast<char>(shortName));
}

ProgramOptions Failure(std::string what) {
    ProgramOptions options;
    options.action = OptionsAction::Error;
    options.error = std::move(what);
    return options;
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    return shown;
}

ProgramOptions ParseOptions(int argc, char* argv[]) {
    ProgramOptions options;
    opterr = 0;  // every message is this program's own
    optind = 0;  // 0: getopt starts afresh, also after an earlier parse
    for (;;) {
        // The element being read: getopt_long leaves optind on it until it
        // is done with it (0 only before the first call).
        const int current = std::max(optind, 1);
        const std::string_view element = current < argc ? argv[current] : "";
        const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'D': {
                const std::string_view name = optarg;
                if (name.empty()) return Failure("empty device name");
                if (name.size() > kMaxDeviceNameLength) {
                    char text[80];
                    std::snprintf(text, sizeof text,
                                  "Device name longer than %zu characters, not changed.",
                                  kMaxDeviceNameLength);
                    options.warning = text;  // an earlier -D stays
                } else {
                    options.device = std::string(name);
                }
                break;
            }
            case 'C':
                options.calibrationPath = std::string(optarg);
                break;
            case kSweepOption: {
                const std::string_view kind = optarg;
                if (kind == "log") {
                    options.sweep = SweepKind::Exponential;
                } else if (kind == "linear") {
                    options.sweep = SweepKind::Linear;
                } else {
                    return Failure("option '--sweep' takes 'log' or 'linear', not '" +
                                   Printable(kind) + "'");
                }
                break;
            }
            case 'h':
                options.action = OptionsAction::Help;
                return options;
            case 'V':
                options.action = OptionsAction::Version;
                return options;
            case ':':
                return Failure("option '" + Spelling(element, optopt) + "' needs a value");
            default:
                if (optopt == 0) {
                    return Failure("unknown option '" + Spelling(element, 0) + "'");
                }
                if (element.substr(0, 2) == "--") {
                    return Failure("option '" + Spelling(element, optopt) + "' takes no value");
                }
                return Failure("unknown option '" + Spelling(element, optopt) + "'");
        }
    }
    if (optind < argc) {
        return Failure("unexpected argument '" + Printable(argv[optind]) + "'");
    }
    return options;
}

std::string OptionsErrorLine(const ProgramOptions& options) {
    return "zembrak: " + options.error + " (try 'zembrak --help')";
}

std::string UsageText() {
    return "Usage: zembrak [OPTION]...\n"
           "Measures the frequency response of a room through a two-channel sound\n"
           "interface; commands are read on standard input.\n"
           "\n"
           "  -D, --device NAME       start with ALSA device NAME instead of \"default\"\n"
           "  -C, --calibration FILE  correct every run by the microphone calibration\n"
           "                          in FILE (lines of frequency in Hz, gain in dB and\n"
           "                          optionally phase in degrees)\n"
           "      --sweep KIND        play an exponential sweep (KIND log), which also\n"
           "                          measures harmonic distortion, or the linear one\n"
           "                          (KIND linear, the default) in every run\n"
           "  -h, --help              print this text and exit\n"
           "  -V, --version           print the version and exit\n";
}
