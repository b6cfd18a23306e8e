#include "console/options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "analysis/correction.h"
#include "console/settings.h"

namespace {

// Options without a short form get codes beyond any character.
constexpr int kSweepOption = 256;
constexpr int kAverageOption = 257;
constexpr int kAverageFilesOption = 258;
constexpr int kEqOption = 259;
constexpr int kEqRangeOption = 260;
constexpr int kEqFiltersOption = 261;
constexpr int kEqBoostOption = 262;
constexpr int kEqTargetOption = 263;
constexpr int kApplyEqOption = 264;
constexpr int kMeasureOption = 265;
constexpr int kQOption = 266;
constexpr int kBandsOption = 267;
constexpr int kStartOption = 268;
constexpr int kLengthOption = 269;
constexpr int kPresetOption = 270;
constexpr int kLevelOption = 271;
constexpr int kJsonOption = 272;

constexpr char kShortOptions[] = "+:D:C:LhV";  // '+': stop at the first stray argument
const option kLongOptions[] = {
    {"device", required_argument, nullptr, 'D'},
    {"calibration", required_argument, nullptr, 'C'},
    {"sweep", required_argument, nullptr, kSweepOption},
    {"average", optional_argument, nullptr, kAverageOption},
    {"average-files", no_argument, nullptr, kAverageFilesOption},
    {"eq", no_argument, nullptr, kEqOption},
    {"eq-range", required_argument, nullptr, kEqRangeOption},
    {"eq-filters", required_argument, nullptr, kEqFiltersOption},
    {"eq-boost", required_argument, nullptr, kEqBoostOption},
    {"eq-target", required_argument, nullptr, kEqTargetOption},
    {"apply-eq", required_argument, nullptr, kApplyEqOption},
    {"measure", required_argument, nullptr, kMeasureOption},
    {"q", required_argument, nullptr, kQOption},
    {"bands", required_argument, nullptr, kBandsOption},
    {"start", required_argument, nullptr, kStartOption},
    {"length", required_argument, nullptr, kLengthOption},
    {"preset", required_argument, nullptr, kPresetOption},
    {"level", required_argument, nullptr, kLevelOption},
    {"json", no_argument, nullptr, kJsonOption},
    {"list-devices", no_argument, nullptr, 'L'},
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

// The whole of text as one finite number, or nothing.
std::optional<double> NumberOf(std::string_view text) {
    const std::string copy(text);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The whole of text as a whole number from low to high, or nothing.
std::optional<int> WholeOf(std::string_view text, double low, double high) {
    const auto value = NumberOf(text);
    if (!value || *value != std::floor(*value) || *value < low || *value > high) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::string Refused(const char* option, const std::string& takes, std::string_view value) {
    return std::string("option '--") + option + "' takes " + takes + ", not '" + Printable(value) +
           "'";
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
            case kEqOption:
                options.eq = true;
                break;
            case kEqRangeOption: {
                // LOW-HIGH: the dash after the first number's first character,
                // so that no sign is taken for it.
                const std::string_view range = optarg;
                const std::size_t dash = range.find('-', 1);
                const auto low =
                    dash == std::string_view::npos ? std::nullopt : NumberOf(range.substr(0, dash));
                const auto high = dash == std::string_view::npos ? std::nullopt
                                                                 : NumberOf(range.substr(dash + 1));
                if (!low || !high || !(*low > 0.0) || !(*low < *high)) {
                    return OptionFailure(
                        "option '--eq-range' takes LOW-HIGH in Hz with 0 < LOW < "
                        "HIGH, not '" +
                        Printable(range) + "'");
                }
                options.eq = true;
                options.eqLow = low;
                options.eqHigh = high;
                break;
            }
            case kEqFiltersOption: {
                const auto count = NumberOf(optarg);
                if (!count || *count != std::floor(*count) || *count < 1 ||
                    *count > kMostCorrectionFilters) {
                    return OptionFailure("option '--eq-filters' takes a whole number from 1 to " +
                                         std::to_string(kMostCorrectionFilters) + ", not '" +
                                         Printable(optarg) + "'");
                }
                options.eq = true;
                options.eqFilters = static_cast<int>(*count);
                break;
            }
            case kEqBoostOption: {
                const auto boost = NumberOf(optarg);
                if (!boost || *boost < 0.0 || *boost > kLargestCorrectionBoostDb) {
                    return OptionFailure("option '--eq-boost' takes 0 to 6 (dB), not '" +
                                         Printable(optarg) + "'");
                }
                options.eq = true;
                options.eqBoost = *boost + 0.0;
                break;
            }
            case kEqTargetOption:
                options.eq = true;
                options.eqTargetPath = std::string(optarg);
                break;
            case kApplyEqOption:
                options.applyEqPath = std::string(optarg);
                break;
            case kMeasureOption:
                options.measure = WholeOf(optarg, 1, kMostMeasurements);
                if (!options.measure) {
                    return OptionFailure(Refused(
                        "measure", "a whole number from 1 to " + std::to_string(kMostMeasurements),
                        optarg));
                }
                break;
            // As the commands keep them: any finite number, which the run
            // measures or refuses.
            case kQOption:
            case kStartOption:
            case kLengthOption: {
                const auto value = NumberOf(optarg);
                const char* name = c == kQOption ? "q" : c == kStartOption ? "start" : "length";
                if (!value) return OptionFailure(Refused(name, "a finite number", optarg));
                (c == kQOption       ? options.q
                 : c == kStartOption ? options.start
                                     : options.length) = *value + 0.0;
                break;
            }
            case kBandsOption:
                options.bands = WholeOf(optarg, std::numeric_limits<int>::min(),
                                        std::numeric_limits<int>::max());
                if (!options.bands)
                    return OptionFailure(Refused("bands", "a whole number", optarg));
                break;
            case kPresetOption:
                options.preset = WholeOf(optarg, 1, 5);
                if (!options.preset) return OptionFailure(Refused("preset", "1 to 5", optarg));
                break;
            case kLevelOption: {
                const auto level = NumberOf(optarg);
                if (!level || *level > kDefaultSweepLevelDb || *level < kLowestSweepLevelDb) {
                    return OptionFailure(Refused("level", "-40 to -6 (dBFS)", optarg));
                }
                options.levelDb = *level + 0.0;
                break;
            }
            case kJsonOption:
                options.json = true;
                break;
            case 'L':
                options.action = OptionsAction::ListDevices;
                return options;
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
        if (options.measure) {
            return OptionFailure("option '--measure' does not apply to '--average-files'");
        }
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
           "      --eq                design a room correction after every run (and\n"
           "                          every update of the average): peaking filters\n"
           "                          written for equalizers, CamillaDSP and PipeWire\n"
           "      --eq-range LOW-HIGH the range corrected in Hz (default: from the\n"
           "                          sweep's start, at least 20 Hz, to 300 Hz)\n"
           "      --eq-filters N      at most N filters (1 to 20, default 10)\n"
           "      --eq-boost DB       allow boosts up to DB (0 to 6, default 0: cuts\n"
           "                          only)\n"
           "      --eq-target FILE    a target curve (lines of frequency and dB, as a\n"
           "                          calibration file), flat without one\n"
           "      --apply-eq FILE     play every sweep through the peaking filters and\n"
           "                          preamp of FILE (an equalizer's text, e.g. _eq.txt)\n"
           "      --average-files     average the response files that follow (this\n"
           "                          program's .frd files or other tools' text exports),\n"
           "                          save the average's files and exit\n"
           "      --measure N         make N runs (1 to 1000) with the settings below\n"
           "                          and exit, without reading standard input\n"
           "      --q Q, --bands N, --start HZ, --length S, --preset 1-5\n"
           "                          the run's settings, as the commands q, b, f, t\n"
           "                          and p set them (a preset first, the others over it)\n"
           "      --level DB          the sweep's level, -6 (default) to -40 dBFS\n"
           "      --json              print each run's summary (as _summary.json) as\n"
           "                          one line on standard output, all else on\n"
           "                          standard error\n"
           "  -L, --list-devices      list the ALSA devices, each marked by whether it\n"
           "                          can measure (2 channels of packed 24-bit samples\n"
           "                          at 48000 Hz both ways): directly, only through a\n"
           "                          converting plug device, not at all, or busy; and\n"
           "                          exit\n"
           "  -h, --help              print this text and exit\n"
           "  -V, --version           print the version and exit\n"
           "\n"
           "Exit status: 0 when done (with --measure: every take clean), 1 when the\n"
           "device failed, 2 for bad options or (with --measure) settings a run\n"
           "refuses, 3 when a --measure take was disturbed, clipped, too low, had a\n"
           "dropout or no sync pulse.\n";
}
