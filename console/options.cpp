#include "console/options.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "console/settings.h"

namespace {

// Options without a short form get codes beyond any character.
constexpr int kSweepOption = 256;
constexpr int kAverageOption = 257;
constexpr int kAverageFilesOption = 258;

constexpr char kShortOptions[] = "+:D:C:hV";  // '+': stop at the first stray argument
const option kLongOptions[] = {
    {"device", required_argument, nullptr, 'D'},
    {"calibration", required_argument, nullptr, 'C'},
    {"sweep", required_argument, nullptr, kSweepOption},
    {"average", optional_argument, nullptr, kAverageOption},
    {"average-files", no_argument, nullptr, kAverageFilesOption},
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

ProgramOptions OptionFailure(std::string what) {
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
                if (name.empty()) return OptionFailure("empty device name");
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
                    return OptionFailure("option '--sweep' takes 'log' or 'linear', not '" +
                                         Printable(kind) + "'");
                }
                break;
            }
            case kAverageOption: {
                // "--average vector": the kind as the next argument, when it
                // is one; any other argument is left to what follows.
                std::string_view kind = optarg != nullptr ? optarg : "power";
                if (optarg == nullptr && optind < argc &&
                    (std::string_view(argv[optind]) == "power" ||
                     std::string_view(argv[optind]) == "vector")) {
                    kind = argv[optind++];
                }
                if (kind == "power") {
                    options.average = AverageKind::Power;
                } else if (kind == "vector") {
                    options.average = AverageKind::Vector;
                } else {
                    return OptionFailure("option '--average' takes 'power' or 'vector', not '" +
                                         Printable(kind) + "'");
                }
                break;
            }
            case kAverageFilesOption:
                options.averageFiles = true;
                break;
            case 'h':
                options.action = OptionsAction::Help;
                return options;
            case 'V':
                options.action = OptionsAction::Version;
                return options;
            case ':':
                return OptionFailure("option '" + Spelling(element, optopt) + "' needs a value");
            default:
                if (optopt == 0) {
                    return OptionFailure("unknown option '" + Spelling(element, 0) + "'");
                }
                if (element.substr(0, 2) == "--") {
                    return OptionFailure("option '" + Spelling(element, optopt) +
                                         "' takes no value");
                }
                return OptionFailure("unknown option '" + Spelling(element, optopt) + "'");
        }
    }
    if (options.averageFiles) {
        for (int i = optind; i < argc; ++i) options.files.emplace_back(argv[i]);
        if (options.files.size() < 2) {
            return OptionFailure("option '--average-files' needs two files or more");
        }
        if (options.calibrationPath) {
            return OptionFailure(
                "option '--calibration' does not apply to '--average-files': the files are "
                "averaged as they are");
        }
        return options;
    }
    if (optind < argc) {
        return OptionFailure("unexpected argument '" + Printable(argv[optind]) + "'");
    }
    return options;
}

std::string OptionsErrorLine(const ProgramOptions& options) {
    return "zembrak: " + options.error + " (try 'zembrak --help')";
}

std::string UsageText() {
    return "Usage: zembrak [OPTION]...\n"
           "   or: zembrak [--average vector] --average-files FILE FILE...\n"
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
           "      --average [KIND]    add every clean run to the session's average of\n"
           "                          microphone positions, printed and saved from the\n"
           "                          second run on: by power (KIND power, the default)\n"
           "                          or by vector, each position aligned by its\n"
           "                          acoustic delay (KIND vector)\n"
           "      --average-files     average the response files that follow (this\n"
           "                          program's .frd files or other tools' text exports),\n"
           "                          save the average's files and exit\n"
           "  -h, --help              print this text and exit\n"
           "  -V, --version           print the version and exit\n";
}
