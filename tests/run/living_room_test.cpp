// The living room of the simulated rig, measured by the program: its
// acoustics table reads the reverberation time the room was built with, and
// its impulse-response file holds the early reflections where the room has
// them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "rig/room.h"
#include "run_support.h"

namespace {

// The values of the row that starts with `label` in the acoustics file's
// octave table (63 Hz to 8 kHz); a '*' after a value is dropped.
std::vector<double> Row(const std::string& text, const std::string& label) {
    std::vector<double> values;
    const std::size_t at = text.find("\n" + label);
    if (at == std::string::npos) return values;
    const std::size_t end = text.find('\n', at + 1);
    std::istringstream in(text.substr(at + 1 + label.size(), end - at - 1 - label.size()));
    for (std::string field; in >> field;) {
        if (!field.empty() && field.back() == '*') field.pop_back();
        char* stop = nullptr;
        const double value = std::strtod(field.c_str(), &stop);
        values.push_back(stop != field.c_str() && *stop == '\0' ? value : NAN);
    }
    return values;
}

class LivingRoom : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        run_ = new ProgramRun(
            RunProgram(Script("rig_living", "r"), {"ALSA_CONFIG_PATH=" RIG_CONFIG}, 60));
    }
    static void TearDownTestSuite() {
        delete run_;
        run_ = nullptr;
    }
    static ProgramRun* run_;
};
ProgramRun* LivingRoom::run_ = nullptr;

// Every octave decays as the room was built: 60 dB in rigLivingRt60
// seconds (0.45 s), within a living room's 0.3 to 0.6 s.
TEST_F(LivingRoom, EveryOctaveReadsTheRoomsReverberationTime) {
    ASSERT_FALSE(run_->timedOut);
    ASSERT_EQ(run_->exitStatus, 0) << run_->err;
    const std::string acoustics = FileEndingIn(*run_, "_acoustics.txt");
    ASSERT_NE(acoustics, "");
    for (const char* label : {"T30 s", "T20 s"}) {
        SCOPED_TRACE(label);
        const std::vector<double> values = Row(acoustics, label);
        ASSERT_EQ(values.size(), 8u) << acoustics;
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_NEAR(values[i], rigLivingRt60, 0.08) << "octave " << i << "\n" << acoustics;
            EXPECT_GE(values[i], 0.3) << i;
            EXPECT_LE(values[i], 0.6) << i;
        }
    }
}

// The reflections come back where the room has them: each the largest
// sample near its delay after the direct sound, with its amplitude
// relative to the direct sound's.
TEST_F(LivingRoom, ImpulseResponseHoldsTheEarlyReflections) {
    ASSERT_FALSE(run_->timedOut);
    const ImpulseFile file = ReadImpulseFile(*run_);
    ASSERT_TRUE(file.read);
    const std::vector<float>& h = file.samples;
    const auto direct = static_cast<std::size_t>(
        std::max_element(h.begin(), h.end(),
                         [](float a, float b) { return std::fabs(a) < std::fabs(b); }) -
        h.begin());
    ASSERT_GT(h[direct], 0.0f);
    for (const RigReflection& r : rigLivingReflections) {
        SCOPED_TRACE(r.delay);
        const std::size_t at = direct + static_cast<std::size_t>(r.delay);
        ASSERT_LT(at + 40, h.size());
        std::size_t largest = at - 40;
        for (std::size_t i = at - 40; i <= at + 40; ++i) {
            if (std::fabs(h[i]) > std::fabs(h[largest])) largest = i;
        }
        EXPECT_EQ(largest, at);
        EXPECT_NEAR(h[at] / h[direct], r.amplitude, 0.1 * r.amplitude);
    }
}

}  // namespace
