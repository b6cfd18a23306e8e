// The room: biquads measured with sines against the analogue prototypes of
// the RBJ cookbook (the bilinear transform maps frequency w to
// tan(w/2) / tan(w0/2)), gain, impulse response, noise.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "rig/room.h"
#include "rig_test_util.h"

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

void writeWav(const std::string& path, int tag, int bits, const std::vector<double>& samples) {
    std::vector<unsigned char> data;
    for (double v : samples) {
        if (tag == 3) {
            const float f = static_cast<float>(v);
            unsigned char b[4];
            std::memcpy(b, &f, 4);
            data.insert(data.end(), b, b + 4);
        } else {
            const long x = std::lround(v * (bits == 16 ? 32768.0 : 8388608.0));
            for (int k = 0; k < bits / 8; ++k)
                data.push_back(static_cast<unsigned char>(x >> (8 * k)));
        }
    }
    auto le = [](std::vector<unsigned char>& o, unsigned v, int n) {
        for (int k = 0; k < n; ++k) o.push_back(static_cast<unsigned char>(v >> (8 * k)));
    };
    std::vector<unsigned char> w = {'R', 'I', 'F', 'F'};
    le(w, static_cast<unsigned>(36 + data.size()), 4);
    for (char c : std::string("WAVEfmt ")) w.push_back(static_cast<unsigned char>(c));
    le(w, 16, 4), le(w, tag, 2), le(w, 1, 2), le(w, 48000, 4), le(w, 48000 * bits / 8, 4),
        le(w, bits / 8, 2);
    le(w, bits, 2);
    for (char c : std::string("data")) w.push_back(static_cast<unsigned char>(c));
    le(w, static_cast<unsigned>(data.size()), 4);
    w.insert(w.end(), data.begin(), data.end());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(w.data(), 1, w.size(), f);
    std::fclose(f);
}

}  // namespace

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
        double want = 0;
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
    struct Case {
        const char* file;
        int tag, bits;
        std::size_t tap;
        double value;
    } cases[] = {{"rig_ir16.wav", 1, 16, 60, 0.5},
                 {"rig_ir24.wav", 1, 24, 0, -0.25},
                 {"rig_irf.wav", 3, 32, 211, 1.0}};
    for (const Case& c : cases) {
        std::vector<double> ir(c.tap + 30, 0.0);
        ir[c.tap] = c.value;
        const std::string path = dir + c.file;
        writeWav(path, c.tag, c.bits, ir);
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

TEST(RigRoom, ConfDescribesTheRoomOfRoomHeader) {
    ASSERT_GE(snd_config_update(), 0);
    for (const char* dev : {"pcm.rig_room", "pcm.rig_live"}) {
        snd_config_t* node = nullptr;
        long delay = 0;
        double noise = 0;
        ASSERT_GE(snd_config_search(snd_config, (std::string(dev) + ".delay").c_str(), &node), 0)
            << dev;
        ASSERT_GE(snd_config_get_integer(node, &delay), 0);
        EXPECT_EQ(delay, rigRoomDelay);
        ASSERT_GE(snd_config_search(snd_config, (std::string(dev) + ".noise").c_str(), &node), 0);
        ASSERT_GE(snd_config_get_ireal(node, &noise), 0);
        EXPECT_EQ(noise, rigRoomNoise);
        ASSERT_GE(snd_config_search(snd_config, (std::string(dev) + ".filters").c_str(), &node), 0);
        std::size_t i = 0;
        snd_config_iterator_t it, next;
        snd_config_for_each(it, next, node) {
            ASSERT_LT(i, std::size(rigRoomFilters));
            snd_config_t* flt = snd_config_iterator_entry(it);
            snd_config_t* v = nullptr;
            const char* type = nullptr;
            double freq = 0, gain = 0, q = 0;
            ASSERT_GE(snd_config_search(flt, "type", &v), 0);
            snd_config_get_string(v, &type);
            EXPECT_STREQ(type, kindName(rigRoomFilters[i].type));
            ASSERT_GE(snd_config_search(flt, "freq", &v), 0);
            snd_config_get_ireal(v, &freq);
            ASSERT_GE(snd_config_search(flt, "gain", &v), 0);
            snd_config_get_ireal(v, &gain);
            ASSERT_GE(snd_config_search(flt, "q", &v), 0);
            snd_config_get_ireal(v, &q);
            EXPECT_EQ(freq, rigRoomFilters[i].freq);
            EXPECT_EQ(gain, rigRoomFilters[i].gain);
            EXPECT_EQ(q, rigRoomFilters[i].q);
            ++i;
        }
        EXPECT_EQ(i, std::size(rigRoomFilters));
    }
}
