// The simulated rig's impulse response, in two figures:
//  - CPU time per second of audio of a real-time rig device convolving a
//    480000-tap response (and a 65536-tap one), one period each way per pass
//    as the program does;
//  - the wall time of a whole instant default run of the program through a
//    65536-tap response (and through the flat rig, for reference).
//
// Usage: rig_bench [program rig.conf plugin.so]
// Settings: RIG_BENCH_SECONDS (audio per real-time figure, 10),
// RIG_BENCH_ROUNDS (runs per instant figure, best taken, 3), RIG_BENCH_LIMIT
// (seconds after which a run is stopped, 900).
// Without arguments it measures this build; with them, another build's
// program, configuration and plugin (an older plugin that refuses a
// response says so instead of a figure).

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned kRate = 48000;
constexpr snd_pcm_uframes_t kPeriod = 1024;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A room-like response: noise decaying by 60 dB over its length.
bool WriteResponse(const std::string& path, std::size_t taps) {
    std::mt19937 gen(1);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<float> h(taps);
    for (std::size_t k = 0; k < taps; ++k)
        h[k] = static_cast<float>(0.02 * d(gen) *
                                  std::pow(10.0, -3.0 * static_cast<double>(k) / taps));
    h[0] = 0.5f;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return false;
    const bool ok = sf_writef_float(f, h.data(), static_cast<sf_count_t>(taps)) ==
                    static_cast<sf_count_t>(taps);
    return sf_close(f) == 0 && ok;
}

int OpenText(snd_pcm_t** pcm, const std::string& text, snd_pcm_stream_t stream) {
    snd_config_t* conf = nullptr;
    snd_input_t* in = nullptr;
    int err = snd_config_top(&conf);
    if (err < 0) return err;
    err = snd_input_buffer_open(&in, text.data(), static_cast<ssize_t>(text.size()));
    if (err >= 0) {
        err = snd_config_load(conf, in);
        snd_input_close(in);
    }
    if (err >= 0) err = snd_pcm_open_lconf(pcm, "bench", stream, 0, conf);
    snd_config_delete(conf);
    return err;
}

int Configure(snd_pcm_t* pcm) {
    snd_pcm_hw_params_t* p = nullptr;
    snd_pcm_hw_params_alloca(&p);
    snd_pcm_hw_params_any(pcm, p);
    unsigned rate = kRate;
    snd_pcm_uframes_t period = kPeriod, buffer = 4 * kPeriod;
    int err = snd_pcm_hw_params_set_access(pcm, p, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, p, SND_PCM_FORMAT_S24_3LE);
    if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, p, 2);
    if (err >= 0) err = snd_pcm_hw_params_set_rate_near(pcm, p, &rate, nullptr);
    if (err >= 0) err = snd_pcm_hw_params_set_period_size_near(pcm, p, &period, nullptr);
    if (err >= 0) err = snd_pcm_hw_params_set_buffer_size_near(pcm, p, &buffer);
    if (err >= 0) err = snd_pcm_hw_params(pcm, p);
    return err;
}

// Runs `seconds` of duplex audio through a real-time device with the
// response and prints the CPU time it took per second of audio.
void RealTimeFigure(const std::string& plugin, const std::string& ir, std::size_t taps,
                    double seconds) {
    const std::string text = "pcm_type.rig { lib \"" + plugin +
                             "\" }\npcm.bench { type rig realtime true ir \"" + ir + "\" }\n";
    snd_pcm_t* playback = nullptr;
    snd_pcm_t* capture = nullptr;
    int err = OpenText(&playback, text, SND_PCM_STREAM_PLAYBACK);
    if (err >= 0) err = Configure(playback);
    if (err >= 0) err = OpenText(&capture, text, SND_PCM_STREAM_CAPTURE);
    if (err >= 0) err = Configure(capture);
    if (err < 0) {
        std::printf("real time, %zu taps: the device refuses (%s)\n", taps, snd_strerror(err));
        if (capture != nullptr) snd_pcm_close(capture);
        if (playback != nullptr) snd_pcm_close(playback);
        return;
    }
    snd_pcm_prepare(capture);
    snd_pcm_prepare(playback);
    std::vector<unsigned char> play(6 * kPeriod), rec(6 * kPeriod);
    std::mt19937 gen(2);
    for (auto& b : play) b = static_cast<unsigned char>(gen() & 0x3F);
    void* w[2] = {play.data(), play.data() + 3 * kPeriod};
    void* r[2] = {rec.data(), rec.data() + 3 * kPeriod};
    const long passes = std::lround(seconds * kRate / kPeriod);
    long xruns = 0, written = 0;
    // Two periods queued first: a pass may come late on a busy machine.
    for (int k = 0; k < 2; ++k)
        if (snd_pcm_writen(playback, w, kPeriod) < 0) ++xruns, snd_pcm_prepare(playback);
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    auto wallSince = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    };
    // A device that cannot keep up takes longer than the audio: it is given
    // twice the audio's time, and the frames it took are what is counted.
    for (long k = 0; k < passes && wallSince() < 2 * seconds; ++k) {
        const snd_pcm_sframes_t wrote = snd_pcm_writen(playback, w, kPeriod);
        if (wrote < 0)
            ++xruns, snd_pcm_prepare(playback);
        else
            written += wrote;
        if (snd_pcm_readn(capture, r, kPeriod) < 0) ++xruns, snd_pcm_prepare(capture);
    }
    const double cpu = CpuSeconds() - cpu0;
    const double wall = wallSince();
    const double audio = static_cast<double>(written) / kRate;
    std::printf(
        "real time, %zu taps: %.2f s of audio taken in %.1f s, CPU %.3f s = %.2f %% of one core "
        "per second of audio, %ld xruns\n",
        taps, audio, wall, cpu, audio > 0 ? 100.0 * cpu / audio : INFINITY, xruns);
    std::fflush(stdout);
    snd_pcm_close(capture);
    snd_pcm_close(playback);
}

// Runs the program once with `input` on standard input in `dir`; returns
// its wall time, -4 when it was stopped after `limit` seconds, or another
// negative value when it did not end well.
double ProgramRun(const std::string& program, const std::string& config, const std::string& dir,
                  const std::string& input, double limit) {
    const std::string inputPath = dir + "/input.txt";
    std::ofstream(inputPath) << input;
    std::filesystem::remove(dir + "/sweep_out.txt");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int in = open(inputPath.c_str(), O_RDONLY);
        const int null = open("/dev/null", O_WRONLY);
        if (in < 0 || null < 0 || chdir(dir.c_str()) != 0 || dup2(in, 0) < 0 || dup2(null, 1) < 0 ||
            dup2(null, 2) < 0)
            _exit(127);
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -1;
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
            limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -4;
        }
        usleep(20000);
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -2;
    if (!std::filesystem::exists(dir + "/sweep_out.txt")) return -3;
    return took;
}

void InstantRunFigure(const std::string& program, const std::string& config, const std::string& dir,
                      const std::string& device, const char* what, int rounds, double limit) {
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const double took = ProgramRun(program, config, dir, "c " + device + "\nr\nc\nx\n", limit);
        if (took == -4) {
            std::printf("instant default run, %s: still running after %.0f s, stopped\n", what,
                        limit);
            std::fflush(stdout);
            return;
        }
        if (took < 0) {
            std::printf("instant default run, %s: the run failed (%g)\n", what, took);
            return;
        }
        best = std::min(best, took);
    }
    std::printf("instant default run, %s: %.2f s for the whole program run (best of %d)\n", what,
                best, rounds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = ZEMBRAK_BINARY, rigConf = RIG_CONFIG, plugin = RIG_PLUGIN;
    if (argc == 4) {
        program = argv[1];
        rigConf = argv[2];
        plugin = argv[3];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [program rig.conf plugin.so]\n", argv[0]);
        return 2;
    }
    char dirTemplate[] = "/tmp/zembrak_rig_bench_XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) return 1;
    const std::string dir = dirTemplate;
    const std::string longIr = dir + "/ir_480000.wav", shortIr = dir + "/ir_65536.wav";
    if (!WriteResponse(longIr, 480000) || !WriteResponse(shortIr, 65536)) return 1;
    // alsa-lib's own configuration, for the device files opened by text.
    setenv("ALSA_CONFIG_PATH", rigConf.c_str(), 1);

    std::printf("program %s\nplugin %s\n", program.c_str(), plugin.c_str());
    const double seconds = std::getenv("RIG_BENCH_SECONDS") != nullptr
                               ? std::atof(std::getenv("RIG_BENCH_SECONDS"))
                               : 10.0;
    RealTimeFigure(plugin, longIr, 480000, seconds);
    RealTimeFigure(plugin, shortIr, 65536, seconds);

    const std::string config = dir + "/rig_ir.conf";
    std::ofstream(config) << "<" << rigConf << ">\npcm.rig_ir { type rig ir \"" << shortIr
                          << "\" }\n";
    const int rounds =
        std::getenv("RIG_BENCH_ROUNDS") != nullptr ? std::atoi(std::getenv("RIG_BENCH_ROUNDS")) : 3;
    const double limit = std::getenv("RIG_BENCH_LIMIT") != nullptr
                             ? std::atof(std::getenv("RIG_BENCH_LIMIT"))
                             : 900.0;
    InstantRunFigure(program, config, dir, "rig", "flat rig", rounds, limit);
    InstantRunFigure(program, config, dir, "rig_ir", "65536-tap response", rounds, limit);
    std::filesystem::remove_all(dir);
    snd_config_update_free_global();
    return 0;
}
