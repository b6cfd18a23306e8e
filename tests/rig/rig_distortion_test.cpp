// The rig's nonlinearity: y = x + a x^2 + b x^3 on channel 1, ahead of the
// room's gain, sample by sample.

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "rig_test_util.h"

using namespace rigtest;

namespace {

TEST(RigDistortion, PolynomialOnChannelOneBeforeTheGain) {
    struct Case {
        double a, b, gainDb;
    };
    for (const Case c : {Case{0.1, 0.2, 0.0}, Case{-0.05, -0.3, -6.0}, Case{0.0, 0.0, 0.0}}) {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b << " " << c.gainDb);
        std::vector<float> in(6000), out1, out2;
        for (std::size_t i = 0; i < in.size(); ++i) {
            in[i] = static_cast<float>(0.8 * std::sin(0.031 * static_cast<double>(i)));
        }
        const std::string device = "pcm.d { type rig latency 0 distortion2 " + std::to_string(c.a) +
                                   " distortion3 " + std::to_string(c.b) + " gain " +
                                   std::to_string(c.gainDb) + " }";
        ASSERT_TRUE(duplexFloat(device, "d", in, in, out1, out2));
        const double g = std::pow(10.0, c.gainDb / 20.0);
        for (std::size_t i = 0; i < in.size(); i += 37) {
            const double x = in[i];
            EXPECT_NEAR(out1[i], g * (x + c.a * x * x + c.b * x * x * x), 1e-6) << i;
            EXPECT_EQ(out2[i], in[i]) << i;
        }
    }
}

TEST(RigDistortion, BadCoefficientsAreRefused) {
    for (const std::string fields :
         {"distortion2 101", "distortion3 -101", "distortion2 loud", "distortion3 [ 1 2 ]"}) {
        ErrorCapture errors;
        snd_pcm_t* pcm = nullptr;
        const int err =
            openText(&pcm, "pcm.bad { type rig " + fields + " }", "bad", SND_PCM_STREAM_PLAYBACK);
        EXPECT_EQ(err, -EINVAL) << fields;
        EXPECT_NE(ErrorCapture::text.find(fields.substr(0, 11)), std::string::npos)
            << fields << ": " << ErrorCapture::text;
        if (err == 0) snd_pcm_close(pcm);
    }
}

}  // namespace
