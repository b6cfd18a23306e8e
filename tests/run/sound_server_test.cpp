// Default runs through real sound servers: the ALSA devices "pulse"
// (PulseAudio) and "pipewire" (PipeWire), whose playback comes back on their
// capture (tools/test starts both servers).

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "run_support.h"

namespace {

// Why no server answers on the "pulse" device, or an empty text when one does.
std::string WhyNoSoundServer() {
    snd_pcm_t* pcm = nullptr;
    const int error = snd_pcm_open(&pcm, "pulse", SND_PCM_STREAM_PLAYBACK, 0);
    if (error < 0)
        return std::string("the ALSA device \"pulse\" cannot be opened: ") + snd_strerror(error);
    snd_pcm_close(pcm);
    return "";
}

// A default run through a loop that neither filters nor drops: the pulse
// comes back whole and every band the sweep passes through whole reads the
// same level.
void ExpectFlatDefaultRun(const ProgramRun& run) {
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Count(run.out, "Running Test..."), 1);
    EXPECT_EQ(Count(run.out, "sync pulse was not found"), 0) << run.out;
    EXPECT_EQ(Count(run.out, "repeat the measurement"), 0) << run.out;
    EXPECT_EQ(Count(run.out, "stopped responding"), 0) << run.out;
    // The pulse comes back whole: its peak at the played level.
    EXPECT_NE(run.out.find("Ch 2 (sync): Return Level = -6.0 dB\n"), std::string::npos);
    const double syncIn = NumberAfter(run.out, "Sync Out = 24032 \t Sync In = ");
    EXPECT_GE(syncIn, 32);

    const std::vector<BandRow> rows = TableRows(TableText(run.out));
    ASSERT_EQ(rows.size(), 31u);
    double lowest = 0, highest = -1e9;
    for (const BandRow& row : rows) {
        if (row.low < 100) continue;
        lowest = std::min(lowest, row.level);
        highest = std::max(highest, row.level);
    }
    EXPECT_LE(highest - lowest, 0.1 + 1e-9) << TableText(run.out);
    EXPECT_EQ(run.results, TableText(run.out));
}

TEST(SoundServer, DefaultRunFindsThePulseAndReadsAFlatLoop) {
    const std::string why = WhyNoSoundServer();
    if (!why.empty()) GTEST_SKIP() << "No sound server reachable: " << why;
    ExpectFlatDefaultRun(RunProgram(Script("pulse", "r"), {}, 90));
}

// The same through PipeWire's own ALSA device, "pipewire". tools/test starts
// a PipeWire server with WirePlumber and names the ALSA configuration that
// defines the device in ZEMBRAK_PIPEWIRE_ALSA_CONFIG.
TEST(SoundServer, PipeWireDefaultRunFindsThePulseAndReadsAFlatLoop) {
    const char* config = std::getenv("ZEMBRAK_PIPEWIRE_ALSA_CONFIG");
    if (config == nullptr || config[0] == '\0') {
        GTEST_SKIP() << "No PipeWire server: ZEMBRAK_PIPEWIRE_ALSA_CONFIG is not set";
    }
    ExpectFlatDefaultRun(
        RunProgram(Script("pipewire", "r"), {std::string("ALSA_CONFIG_PATH=") + config}, 90));
}

}  // namespace
