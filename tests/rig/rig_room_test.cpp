// The room: biquads measured with sines against the analogue prototypes of
// the RBJ cookbook (the bilinear transform maps frequency w to
// tan(w/2) / tan(w0/2)), gain, impulse response, noise.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <sndfile.h>

#include "rig/room.h"
#include "rig_test_util.h"
#include "signal/biquad.h"

using namespace rigtest;

namespace {

constexpr double rate = 48000.0;

// |H| of the cookbook's analogue prototype at frequency f, computed here from
// the published transfer functions, not from the rig's coefficients.
double cookbookMagnitude(const RigFilter& flt, double f) {
    const double w = std::tan(M_PI * f / rate) / std::tan(M_PI * flt.freq / rate);
    const double a = std::pow(10.0, flt.gain / 40.0);
    const double q = flt.q;
    const double w2 = w * w;
    auto sq = [](double x) { return x * x; };
    switch (flt.type) {
        case RigFilterType::lowpass:
            return std::sqrt(1.0 / (sq(1 - w2) + sq(w / q)));
        case RigFilterType::highpass:
            return std::sqrt(sq(w2) / (sq(1 - w2) + sq(w / q)));
        case RigFilterType::peaking:
            return std::sqrt((sq(1 - w2) + sq(w * a / q)) / (sq(1 - w2) + sq(w / (a * q))));
        case RigFilterType::lowshelf:
            return a * std::sqrt((sq(a - w2) + sq(std::sqrt(a) * w / q)) /
                                 (sq(1 - a * w2) + sq(std::sqrt(a) * w / q)));
        case RigFilterType::highshelf:
            return a * std::sqrt((sq(1 - a * w2) + sq(std::sqrt(a) * w / q)) /
                                 (sq(a - w2) + sq(std::sqrt(a) * w / q)));
    }
    return 0.0;
}

// Amplitude of the sine at f (an even number of Hz) in the last half of x:
// 24000 frames, a whole number of cycles.
double sineAmplitude(const std::vector<float>& x, double f) {
    const std::size_t n = 24000, start = x.size() - n;
    double s = 0, c = 0;
    for (std::size_t i = start; i < x.size(); ++i) {
        const double ph = 2 * M_PI * f * static_cast<double>(i) / rate;
        s += x[i] * std::sin(ph);
        c += x[i] * std::cos(ph);
    }
    return 2.0 / n * std::hypot(s, c);
}

// Gain in dB of device `name` (defined by `text`, or rig.conf when empty) at f.
double measuredDb(const std::string& text, const char* name, double f) {
    std::vector<float> in(48000), zero(48000, 0.0f), out1, out2;
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(0.25 * std::sin(2 * M_PI * f * i / rate));
    if (!duplexFloat(text, name, in, zero, out1, out2)) return NAN;
    return 20 * std::log10(sineAmplitude(out1, f) / 0.25);
}

const char* kindName(RigFilterType t) {
    switch (t) {
        case RigFilterType::peaking:
            return "peaking";
        case RigFilterType::lowshelf:
            return "lowshelf";
        case RigFilterType::highshelf:
            return "highshelf";
        case RigFilterType::highpass:
            return "highpass";
        case RigFilterType::lowpass:
            return "lowpass";
    }
    return "";
}

}  // namespace

// The design itself, evaluated on the unit circle: |H(e^jw)| from its
// coefficients equals the prototype's magnitude, at many frequencies and
// rates, to rounding.
TEST(RigRoom, BiquadDesignIsTheCookbooksBilinearPrototype) {
    const RigFilter filters[] = {
        {RigFilterType::peaking, 1000, 6, 2},       {RigFilterType::peaking, 52, -12, 5},
        {RigFilterType::lowshelf, 300, -8, 0.8},    {RigFilterType::lowshelf, 80, 10, 0.5},
        {RigFilterType::highshelf, 4000, 5, 0.707}, {RigFilterType::highshelf, 12000, -20, 1.5},
        {RigFilterType::highpass, 100, 0, 0.707},   {RigFilterType::highpass, 20, 0, 3},
        {RigFilterType::lowpass, 2000, 0, 1.2},     {RigFilterType::lowpass, 20000, 0, 0.5},
    };
    for (const RigFilter& flt : filters) {
        const auto c = DesignBiquad(flt, rate);
        ASSERT_TRUE(c.has_value()) << kindName(flt.type) << " " << flt.freq;
        for (double f = 10; f < rate / 2; f *= 1.07) {
            const std::complex<double> z = std::polar(1.0, -2 * M_PI * f / rate);
            const double got =
                std::abs((c->b0 + c->b1 * z + c->b2 * z * z) / (1.0 + c->a1 * z + c->a2 * z * z));
            const double want = cookbookMagnitude(flt, f);
            ASSERT_NEAR(20 * std::log10(got), 20 * std::log10(want), 1e-6)
                << kindName(flt.type) << " " << flt.freq << " Hz at " << f << " Hz";
        }
    }
}

TEST(RigRoom, BiquadDesignRefusesWhatNoFilterCanBe) {
    const struct {
        RigFilter filter;
        double rate;
    } cases[] = {
        {{RigFilterType::peaking, 24000, 6, 1}, 48000},  // at half the rate
        {{RigFilterType::lowpass, 30000, 0, 1}, 48000},
        {{RigFilterType::lowpass, 0, 0, 1}, 48000},
        {{RigFilterType::lowpass, -5, 0, 1}, 48000},
        {{RigFilterType::highpass, 100, 0, 0}, 48000},
        {{RigFilterType::highpass, 100, 0, -1}, 48000},
        {{RigFilterType::peaking, 100, NAN, 1}, 48000},
        {{RigFilterType::peaking, NAN, 0, 1}, 48000},
        {{RigFilterType::peaking, 100, 0, INFINITY}, 48000},
        {{RigFilterType::peaking, 100, 0, 1}, 0},
        {{RigFilterType::peaking, 100, 0, 1}, NAN},
        {{RigFilterType::peaking, 100, 0, 1}, INFINITY},
        {{RigFilterType::peaking, 100, 1e300, 1}, 48000},  // gain overflows
        {{static_cast<RigFilterType>(99), 100, 0, 1}, 48000},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(DesignBiquad(c.filter, c.rate).has_value())
            << c.filter.freq << " Hz, gain " << c.filter.gain << ", q " << c.filter.q << " at "
            << c.rate;
}

TEST(RigRoom, EachBiquadKindMatchesTheCookbookWithinFiveHundredthsOfADecibel) {
    const struct {
        RigFilter filter;
        double freqs[5];
    } cases[] = {
        {{RigFilterType::peaking, 1000, 6, 2}, {200, 800, 1000, 1250, 5000}},
        {{RigFilterType::lowshelf, 300, -8, 0.8}, {50, 200, 300, 1000, 8000}},
        {{RigFilterType::highshelf, 4000, 5, 0.707}, {500, 2000, 4000, 6000, 12000}},
        {{RigFilterType::highpass, 100, 0, 0.707}, {20, 60, 100, 400, 2000}},
        {{RigFilterType::lowpass, 2000, 0, 1.2}, {500, 1500, 2000, 8000, 16000}},
    };
    for (const auto& c : cases) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "pcm.f { type rig latency 0 filters [ { type %s freq %g gain %g q %g } ] }",
                      kindName(c.filter.type), c.filter.freq, c.filter.gain, c.filter.q);
        for (double f : c.freqs) {
            const double want = 20 * std::log10(cookbookMagnitude(c.filter, f));
            EXPECT_NEAR(measuredDb(text, "f", f), want, 0.05) << text << " at " << f << " Hz";
        }
    }
}

TEST(RigRoom, TypicalRoomIsTheProductOfTheFiltersInRoomHeader) {
    for (double f : {30.0, 52.0, 118.0, 1000.0, 10000.0}) {
        double want = rigRoomGain;
        for (const RigFilter& flt : rigRoomFilters)
            want += 20 * std::log10(cookbookMagnitude(flt, f));
        EXPECT_NEAR(measuredDb("", "rig_room", f), want, 0.05) << f << " Hz";
    }
}

TEST(RigRoom, GainScalesChannelOneOnly) {
    std::vector<float> in(8000), out1, out2;
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(0.5 * std::sin(0.05 * i));
    ASSERT_TRUE(duplexFloat("pcm.g { type rig latency 0 gain -6 }", "g", in, in, out1, out2));
    const double g = std::pow(10.0, -6.0 / 20.0);
    for (std::size_t i = 0; i < in.size(); i += 97) {
        EXPECT_NEAR(out1[i], g * in[i], 1e-6);
        EXPECT_EQ(out2[i], in[i]);
    }
}

TEST(RigRoom, ImpulseResponseOfOneDelayedTapReproducesTheDelay) {
    const std::string dir = ::testing::TempDir();
    // Any file libsndfile reads; of several channels, the first is taken.
    struct Case {
        const char* file;
        int format, channels;
        std::size_t tap;
        double value;
    } cases[] = {{"rig_ir16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 60, 0.5},
                 {"rig_ir24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, 0, -0.25},
                 {"rig_irf.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 211, 1.0},
                 {"rig_ir.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 97, 0.5},
                 {"rig_ir.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 2, 5, -0.75}};
    for (const Case& c : cases) {
        // Channel 2 of a stereo file holds a tap elsewhere that must not count.
        std::vector<double> ir(static_cast<std::size_t>(c.channels) * (c.tap + 30), 0.0);
        ir[c.tap * c.channels] = c.value;
        if (c.channels > 1) ir[(c.tap + 7) * c.channels + 1] = 0.5;
        const std::string path = dir + c.file;
        ASSERT_TRUE(writeAudio(path, c.format, 48000, c.channels, ir)) << path;
        std::mt19937 gen(3);
        std::uniform_real_distribution<float> d(-0.5f, 0.5f);
        std::vector<float> in(6000), out1, out2;
        for (float& v : in) v = d(gen);
        ASSERT_TRUE(duplexFloat("pcm.ir { type rig latency 10 ir \"" + path + "\" }", "ir", in, in,
                                out1, out2))
            << path;
        for (std::size_t f = 0; f < in.size(); ++f) {
            const long src = static_cast<long>(f) - 10 - static_cast<long>(c.tap);
            const double want = src < 0 ? 0.0 : c.value * in[static_cast<std::size_t>(src)];
            ASSERT_NEAR(out1[f], want, 1e-6) << path << " frame " << f;
        }
    }
}

TEST(RigRoom, NoiseHasItsLevelAndRepeatsFromRunToRun) {
    std::vector<float> silence(48000, 0.0f), a1, a2, b1, b2;
    ASSERT_TRUE(duplexFloat("", "rig_room", silence, silence, a1, a2));
    ASSERT_TRUE(duplexFloat("", "rig_room", silence, silence, b1, b2));
    double sum = 0;
    for (float v : a1) sum += static_cast<double>(v) * v;
    EXPECT_NEAR(10 * std::log10(sum / a1.size()), rigRoomNoise, 0.2);
    EXPECT_EQ(a1, b1);
    for (float v : a2) ASSERT_EQ(v, 0.0f);  // the cable carries no noise
}

// rig.conf's room devices use the plugin's preset; the preset is the room
// of room.h: a device that spells out room.h's numbers captures exactly the
// same, and fields beside the preset replace its values.
TEST(RigRoom, ConfDescribesTheRoomOfRoomHeader) {
    ASSERT_GE(snd_config_update(), 0);
    for (const char* dev : {"pcm.rig_room", "pcm.rig_live"}) {
        snd_config_t* node = nullptr;
        const char* preset = nullptr;
        ASSERT_GE(snd_config_search(snd_config, (std::string(dev) + ".room").c_str(), &node), 0)
            << dev;
        ASSERT_GE(snd_config_get_string(node, &preset), 0);
        EXPECT_STREQ(preset, "typical");
        for (const char* field : {".delay", ".gain", ".noise", ".filters"})
            EXPECT_LT(snd_config_search(snd_config, (std::string(dev) + field).c_str(), &node), 0)
                << dev << field;
    }
    std::string spelled = "pcm.spelled { type rig delay " + std::to_string(rigRoomDelay) +
                          " gain " + std::to_string(rigRoomGain) + " noise " +
                          std::to_string(rigRoomNoise) + " filters [ ";
    for (const RigFilter& f : rigRoomFilters) {
        char one[160];
        std::snprintf(one, sizeof one, "{ type %s freq %.17g gain %.17g q %.17g } ",
                      kindName(f.type), f.freq, f.gain, f.q);
        spelled += one;
    }
    spelled += "] }";
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    std::vector<float> in(20000), zero(20000, 0.0f), a1, a2, b1, b2, c1, c2, d1, d2;
    for (float& v : in) v = d(gen);
    ASSERT_TRUE(duplexFloat("", "rig_room", in, zero, a1, a2));
    ASSERT_TRUE(duplexFloat(spelled, "spelled", in, zero, b1, b2));
    EXPECT_EQ(a1, b1);
    // The delay and the noise given beside the preset win, wherever they stand.
    ASSERT_TRUE(duplexFloat("pcm.early { type rig delay 0 room typical noise -200 }", "early", in,
                            zero, c1, c2));
    ASSERT_TRUE(
        duplexFloat("pcm.quiet { type rig room typical noise -200 }", "quiet", in, zero, d1, d2));
    const std::size_t shift = static_cast<std::size_t>(rigRoomDelay);
    double shifted = 0, noisy = 0;
    for (std::size_t i = 5000; i < in.size(); ++i) {
        shifted = std::fmax(shifted, std::fabs(c1[i - shift] - d1[i]));
        noisy = std::fmax(noisy, std::fabs(a1[i] - d1[i]));
    }
    EXPECT_LT(shifted, 1e-6);  // float rounding; -200 dBFS of noise on each
    EXPECT_GT(noisy, 1e-5);    // the preset's -90 dBFS
}
