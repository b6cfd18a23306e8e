#include "console/eq_export.h"

#include <cmath>
#include <cstdio>

#include "base/version.h"
#include "console/formatted.h"
#include "console/options.h"

namespace {

// The preamp as every file gives it: to 0.1 dB, rounded down, so that it
// never leaves less headroom than the correction asked for.
double PreampDb(const Correction& correction) {
    return std::floor(correction.preampDb * 10.0 + 1e-6) / 10.0 + 0.0;
}

double LinearGain(double db) {
    return std::pow(10.0, db / 20.0);
}

// A title as a comment line; quotes and control characters kept out of it.
std::string Comment(const char* mark, const std::string& title) {
    std::string text = Printable(title);
    for (char& c : text) {
        if (c == '"') c = '\'';
    }
    return std::string(mark) + " " + text + "\n" + mark + " " + kProgramName + "\n";
}

}  // namespace

std::string EqText(const Correction& correction, const std::string& title) {
    std::string text = Comment("#", title);
    text += Format("Preamp: %.1f dB\n", PreampDb(correction));
    for (std::size_t i = 0; i < correction.filters.size(); ++i) {
        const PeakingFilter& f = correction.filters[i];
        text += Format("Filter %zu: ON PK Fc %.4f Hz Gain %.3f dB Q %.4f\n", i + 1, f.frequency,
                       f.gainDb + 0.0, f.q);
    }
    return text;
}

std::string CamillaDspYaml(const Correction& correction, const std::string& title) {
    std::string text = Comment("#", title);
    text +=
        "# Filters and pipeline in CamillaDSP 3.0's configuration schema, for 48000 Hz.\n"
        "# Complete the devices section for your interface, for example:\n"
        "# devices:\n"
        "#   samplerate: 48000\n"
        "#   chunksize: 1024\n"
        "#   capture:\n"
        "#     type: Alsa\n"
        "#     channels: 2\n"
        "#     device: \"hw:Loopback,1\"\n"
        "#     format: S32LE\n"
        "#   playback:\n"
        "#     type: Alsa\n"
        "#     channels: 2\n"
        "#     device: \"hw:0\"\n"
        "#     format: S32LE\n"
        "filters:\n"
        "  preamp:\n"
        "    type: Gain\n"
        "    parameters:\n";
    text += Format("      gain: %.1f\n", PreampDb(correction));
    for (std::size_t i = 0; i < correction.filters.size(); ++i) {
        const PeakingFilter& f = correction.filters[i];
        text += Format(
            "  peq_%zu:\n    type: Biquad\n    parameters:\n      type: Peaking\n"
            "      freq: %.4f\n      gain: %.3f\n      q: %.4f\n",
            i + 1, f.frequency, f.gainDb + 0.0, f.q);
    }
    text += "pipeline:\n  - type: Filter\n    channels: [0, 1]\n    names:\n      - preamp\n";
    for (std::size_t i = 0; i < correction.filters.size(); ++i) {
        text += Format("      - peq_%zu\n", i + 1);
    }
    return text;
}

std::string PipeWireConf(const Correction& correction, const std::string& sinkName,
                         const std::string& title) {
    const std::string sink = Printable(sinkName);
    std::string text = Comment("#", title);
    text +=
        "# A PipeWire filter-chain: drop this file into ~/.config/pipewire/pipewire.conf.d/,\n"
        "# restart PipeWire, and play through the sink \"" +
        sink +
        "\".\n"
        "context.modules = [\n"
        "  { name = libpipewire-module-filter-chain\n"
        "    args = {\n"
        "      node.description = \"Zembrak correction " +
        sink + "\"\n      media.name = \"Zembrak correction " + sink +
        "\"\n"
        "      filter.graph = {\n"
        "        nodes = [\n";
    // The preamp as a convolution with a unit impulse times its gain: the
    // builtin mixer of PipeWire 0.3.65 passes a single input on without
    // its gain.
    text += Format(
        "          { type = builtin name = preamp label = convolver config = { filename = "
        "\"/dirac\" gain = %.9g } }\n",
        LinearGain(PreampDb(correction)));
    for (std::size_t i = 0; i < correction.filters.size(); ++i) {
        const PeakingFilter& f = correction.filters[i];
        text += Format(
            "          { type = builtin name = eq_%zu label = bq_peaking control = { \"Freq\" = "
            "%.4f \"Q\" = %.4f \"Gain\" = %.3f } }\n",
            i + 1, f.frequency, f.q, f.gainDb + 0.0);
    }
    text += "        ]\n        links = [\n";
    std::string previous = "preamp";
    for (std::size_t i = 0; i < correction.filters.size(); ++i) {
        const std::string node = "eq_" + std::to_string(i + 1);
        text += "          { output = \"" + previous + ":Out\" input = \"" + node + ":In\" }\n";
        previous = node;
    }
    text +=
        "        ]\n"
        "        inputs = [ \"preamp:In\" ]\n"
        "        outputs = [ \"" +
        previous +
        ":Out\" ]\n"
        "      }\n"
        "      audio.channels = 2\n"
        "      audio.position = [ FL FR ]\n"
        "      capture.props = {\n"
        "        node.name = \"" +
        sink +
        "\"\n"
        "        media.class = Audio/Sink\n"
        "      }\n"
        "      playback.props = {\n"
        "        node.name = \"" +
        sink +
        ".output\"\n"
        "        node.passive = true\n"
        "      }\n"
        "    }\n"
        "  }\n"
        "]\n";
    return text;
}

std::string BiquadText(const Correction& correction, const std::string& title) {
    std::string text = Comment("#", title);
    text +=
        "# Coefficients at 48000 Hz, one filter a line: b0 b1 b2 a1 a2 (a0 = 1),\n"
        "# H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2), in series after the\n"
        "# preamp, the gain line (a linear factor) ahead of them.\n";
    text += Format("# Preamp: %.1f dB\ngain %.17g\n", PreampDb(correction),
                   LinearGain(PreampDb(correction)));
    for (std::size_t i = 0; i < correction.filters.size(); ++i) {
        const PeakingFilter& f = correction.filters[i];
        const std::optional<BiquadCoefficients> c = CorrectionBiquad(f);
        text += Format("# Filter %zu: PK Fc %.4f Hz Gain %.3f dB Q %.4f\n", i + 1, f.frequency,
                       f.gainDb + 0.0, f.q);
        if (c) {
            text += Format("%.17g %.17g %.17g %.17g %.17g\n", c->b0, c->b1, c->b2, c->a1, c->a2);
        } else {
            text += "# (no coefficients: the filter lies outside what 48000 Hz can hold)\n";
        }
    }
    return text;
}
