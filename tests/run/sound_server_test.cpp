// A default run through a real sound server: the ALSA "pulse" device, whose
// playback comes back on its capture (tools/test starts such a server).

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <algorithm>
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

TEST(SoundServer, DefaultRunFindsThePulseAndReadsAFlatLoop) {
    const std::string why = WhyNoSoundServer();
    if (!why.empty()) GTEST_SKIP() << "No sound server reachable: " << why;

    const ProgramRun run = RunProgram(Script("pulse", "r"), {}, 90);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Count(run.out, "Running Test..."), 1);
    EXPECT_EQ(Count(run.out, "sync pulse was not found"), 0) << run.out;
    EXPECT_EQ(Count(run.out, "repeat the measurement"), 0) << run.out;
    // The pulse comes back whole: its peak at the played level.
    EXPECT_NE(run.out.find("Ch 2 (sync): Return Level = -6.0 dB\n"), std::string::npos);
    const double syncIn = NumberAfter(run.out, "Sync Out = 24032 \t Sync In = ");
    EXPECT_GE(syncIn, 32);

    // A loop that neither filters nor drops reads the same level in every
    // band the sweep passes through whole.
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

}  // namespace
