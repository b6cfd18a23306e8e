// An exported PipeWire correction in a real PipeWire: the file loaded by a
// filter-chain process of its own into the server tools/test starts, the
// program playing through its sink and recording the flat loop behind it.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>

#include "console/eq_export.h"
#include "run_support.h"

namespace {

namespace fs = std::filesystem;

// Three cuts and a boost, behind a preamp that leaves the boost its room.
const Correction kCorrection = {
    {{100.0, -6.0, 2.0}, {400.0, -4.0, 4.0}, {2000.0, 3.0, 1.5}, {6000.0, -5.0, 3.0}}, -3.0};

// The cookbook peaking filter's level at f (dB), from its formulas.
double PeakingDb(const PeakingFilter& p, double f) {
    const double a = std::pow(10.0, p.gainDb / 40.0);
    const double w0 = 2.0 * std::numbers::pi * p.frequency / 48000.0;
    const double alpha = std::sin(w0) / (2.0 * p.q);
    const std::complex<double> z = std::polar(1.0, -2.0 * std::numbers::pi * f / 48000.0);
    return 20.0 * std::log10(std::abs(
                      (1.0 + alpha * a - 2.0 * std::cos(w0) * z + (1.0 - alpha * a) * z * z) /
                      (1.0 + alpha / a - 2.0 * std::cos(w0) * z + (1.0 - alpha / a) * z * z)));
}

// A process of its own, stopped by its id (SIGTERM, then SIGKILL after 5 s).
struct Child {
    pid_t pid = -1;
    ~Child() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

bool SinkIsThere(const std::string& runtime, const std::string& sink) {
    const std::string command = "XDG_RUNTIME_DIR='" + runtime + "' pw-cli ls Node 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    std::string out;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out.find("\"" + sink + "\"") != std::string::npos;
}

TEST(PipeWireCorrection, ExportedFilterChainMeasuresAsItsFilters) {
    const char* config = std::getenv("ZEMBRAK_PIPEWIRE_ALSA_CONFIG");
    if (config == nullptr || config[0] == '\0') {
        GTEST_SKIP() << "No PipeWire server: ZEMBRAK_PIPEWIRE_ALSA_CONFIG is not set";
    }
    const std::string runtime = fs::path(config).parent_path().string();
    const fs::path home = fs::path(testing::TempDir()) / "zembrak_filter_chain";
    fs::remove_all(home);
    fs::create_directories(home / "pipewire" / "zembrak-eq.conf.d");
    // A client of the running server that holds nothing but the filter
    // chain, which the exported file adds as a drop-in.
    std::ofstream(home / "pipewire" / "zembrak-eq.conf")
        << "context.spa-libs = {\n  audio.convert.* = audioconvert/libspa-audioconvert\n"
           "  support.* = support/libspa-support\n}\n"
           "context.modules = [\n  { name = libpipewire-module-protocol-native }\n"
           "  { name = libpipewire-module-client-node }\n"
           "  { name = libpipewire-module-adapter }\n]\n";
    std::ofstream(home / "pipewire" / "zembrak-eq.conf.d" / "eq.conf")
        << PipeWireConf(kCorrection, "zembrak_eqtest", "a known correction");
    const fs::path alsa = home / "asound.conf";
    std::ofstream(alsa) << "<" << config
                        << ">\npcm.eqtest {\n  type asym\n"
                           "  playback.pcm \"pipewire:NODE=zembrak_eqtest\"\n"
                           "  capture.pcm \"pipewire\"\n}\n";

    Child chain;
    chain.pid = fork();
    ASSERT_GE(chain.pid, 0);
    if (chain.pid == 0) {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        execlp("pipewire", "pipewire", "-c", "zembrak-eq.conf", static_cast<char*>(nullptr));
        _exit(127);
    }
    bool ready = false;
    for (int i = 0; i < 100 && !(ready = SinkIsThere(runtime, "zembrak_eqtest")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(ready) << "the correction's sink did not appear";

    // PipeWire here loses a period now and then; a disturbed take is taken
    // again, up to three times.
    ProgramRun run;
    for (int attempt = 0; attempt < 3; ++attempt) {
        run = RunProgram(Script("eqtest", "r"), {"ALSA_CONFIG_PATH=" + alsa.string()}, 90);
        if (Count(run.out, "repeat the measurement") == 0) break;
    }
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, "sync pulse was not found"), 0) << run.out;
    EXPECT_EQ(Count(run.out, "repeat the measurement"), 0) << run.out;
    int checked = 0;
    for (const auto& [f, level] : ResponseFilePoints(FileEndingIn(run, ".frd"))) {
        if (f < 25.0 || f > 10000.0) continue;
        double expected = kCorrection.preampDb;
        for (const PeakingFilter& filter : kCorrection.filters) expected += PeakingDb(filter, f);
        ASSERT_NEAR(level, expected, 0.2) << f << " Hz";
        ++checked;
    }
    EXPECT_GT(checked, 800);
}

}  // namespace
