#include "rig/rig_loop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <map>

#include <sndfile.h>

namespace {

constexpr std::int64_t nsPerSecond = 1000000000;
// Frames of history kept beyond the loop's delays: how far capture may fall
// behind playback before old frames read as silence (about 5 s at 48 kHz).
constexpr std::int64_t historySlack = 1 << 18;

std::mutex registryLock;
std::map<std::string, RigLoop*>& registry() {
    static std::map<std::string, RigLoop*> loops;
    return loops;
}

std::int64_t historySize(const RigLoop& loop) {
    return static_cast<std::int64_t>(loop.wet.size());
}

// Frames of channel 1 taken through the room per step of rigLoopPlay.
constexpr std::size_t playChunk = RigConvolver::kMaxBlock;

void clearRoomState(RigLoop& loop) {
    for (RigBiquad& b : loop.chain) b.z1 = b.z2 = 0.0;
    if (loop.convolver) loop.convolver->Reset();
}

// Plays count <= playChunk frames at head.
void playChunkAtHead(RigLoop& loop, const double* ch1, const double* ch2, std::size_t count) {
    double* room = loop.scratch.data();
    for (std::size_t i = 0; i < count; ++i) {
        double x = ch1 != nullptr ? ch1[i] : 0.0;
        x += (loop.room.distortion2 + loop.room.distortion3 * x) * x * x;
        x *= loop.gain;
        for (RigBiquad& b : loop.chain) {
            const double y = b.c.b0 * x + b.z1;
            b.z1 = b.c.b1 * x - b.c.a1 * y + b.z2;
            b.z2 = b.c.b2 * x - b.c.a2 * y;
            x = y;
        }
        room[i] = x;
    }
    if (loop.convolver) loop.convolver->Process(room, room, count);
    const std::int64_t mask = historySize(loop) - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = static_cast<std::size_t>(loop.head & mask);
        loop.wet[at] = room[i];
        loop.dry[at] = ch2 != nullptr ? ch2[i] : 0.0;
        ++loop.head;
    }
}

void playAtHead(RigLoop& loop, const double* ch1, const double* ch2, std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(playChunk, count - done);
        playChunkAtHead(loop, ch1 != nullptr ? ch1 + done : nullptr,
                        ch2 != nullptr ? ch2 + done : nullptr, n);
        done += n;
    }
}

double heldFrame(const RigLoop& loop, const std::vector<double>& ring, std::int64_t at) {
    if (at < 0 || at >= loop.head || at < loop.head - historySize(loop)) return 0.0;
    return ring[static_cast<std::size_t>(at & (historySize(loop) - 1))];
}

// Uniform in [-1, 1), a pure function of seed and frame so that noise does not
// depend on how the capture is split into reads.
double noiseAt(std::uint64_t seed, std::int64_t frame) {
    std::uint64_t z = seed + static_cast<std::uint64_t>(frame) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

}  // namespace

std::int64_t rigNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * nsPerSecond + ts.tv_nsec;
}

std::int64_t rigLoopFrameAt(const RigLoop& loop, std::int64_t nowNs) {
    const std::int64_t d = nowNs - loop.originNs;
    if (d <= 0 || loop.rate == 0) return 0;
    return (d / nsPerSecond) * loop.rate + (d % nsPerSecond) * loop.rate / nsPerSecond;
}

std::int64_t rigLoopTimeOf(const RigLoop& loop, std::int64_t frame) {
    if (frame <= 0 || loop.rate == 0) return loop.originNs;
    const std::int64_t rate = loop.rate;
    const std::int64_t seconds = std::min<std::int64_t>(frame / rate, 1000000000);  // ~31 years
    const std::int64_t rest = frame % rate;
    return loop.originNs + seconds * nsPerSecond + (rest * nsPerSecond + rate - 1) / rate;
}

RigLoop* rigLoopAcquire(const std::string& name, const RigRoom& room, bool realtime, bool playback,
                        int* err) {
    std::lock_guard<std::mutex> guard(registryLock);
    auto found = registry().find(name);
    RigLoop* loop = nullptr;
    if (found != registry().end()) {
        loop = found->second;
    } else {
        loop = new RigLoop;
        loop->name = name;
        loop->room = room;
        loop->realtime = realtime;
        loop->originNs = rigNowNs();
        loop->gain = std::pow(10.0, room.gainDb / 20.0);
        loop->noiseAmp = room.noise ? std::sqrt(3.0) * std::pow(10.0, room.noiseDb / 20.0) : 0.0;
        if (!room.ir.empty()) loop->convolver = std::make_unique<RigConvolver>(room.ir);
        loop->scratch.assign(playChunk, 0.0);
        // The history also covers the response's length, so that a silence
        // longer than the history has rung the room out.
        std::int64_t size = 1;
        const std::int64_t need =
            room.latency + room.delay + historySlack + static_cast<std::int64_t>(room.ir.size());
        while (size < need) size *= 2;
        loop->wet.assign(static_cast<std::size_t>(size), 0.0);
        loop->dry.assign(static_cast<std::size_t>(size), 0.0);
        registry()[name] = loop;
    }
    std::lock_guard<std::mutex> loopGuard(loop->lock);
    bool& taken = playback ? loop->hasPlayback : loop->hasCapture;
    if (taken) {
        *err = -EBUSY;
        return nullptr;
    }
    taken = true;
    *err = 0;
    return loop;
}

void rigLoopRelease(RigLoop* loop, bool playback) {
    if (loop == nullptr) return;
    std::lock_guard<std::mutex> guard(registryLock);
    bool last = false;
    {
        std::lock_guard<std::mutex> loopGuard(loop->lock);
        (playback ? loop->hasPlayback : loop->hasCapture) = false;
        last = !loop->hasPlayback && !loop->hasCapture;
    }
    if (!last) return;
    registry().erase(loop->name);
    delete loop;
}

int rigLoopSetRate(RigLoop& loop, unsigned rate) {
    if (loop.rate == rate) return 0;
    if (loop.rate != 0 && loop.hasPlayback && loop.hasCapture) return -EINVAL;
    std::vector<RigBiquad> chain(loop.room.filters.size());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const auto c = DesignBiquad(loop.room.filters[i], rate);
        if (!c) return -EINVAL;
        chain[i].c = *c;
    }
    loop.chain = chain;
    loop.rate = rate;
    // A new rate makes the history meaningless: start the loop afresh.
    clearRoomState(loop);
    std::fill(loop.wet.begin(), loop.wet.end(), 0.0);
    std::fill(loop.dry.begin(), loop.dry.end(), 0.0);
    loop.head = 0;
    loop.originNs = rigNowNs();
    return 0;
}

void rigLoopPlay(RigLoop& loop, std::int64_t pos, const double* ch1, const double* ch2,
                 std::size_t count) {
    if (count == 0) return;
    if (pos < loop.head) {
        // The past cannot be played again.
        const std::int64_t late = loop.head - pos;
        if (late >= static_cast<std::int64_t>(count)) return;
        const std::size_t skip = static_cast<std::size_t>(late);
        ch1 += skip;
        if (ch2 != nullptr) ch2 += skip;
        count -= skip;
        pos = loop.head;
    }
    if (pos - loop.head >= historySize(loop)) {
        // Silence longer than the history: the room has rung out.
        clearRoomState(loop);
        std::fill(loop.wet.begin(), loop.wet.end(), 0.0);
        std::fill(loop.dry.begin(), loop.dry.end(), 0.0);
        loop.head = pos;
    }
    if (loop.head < pos)
        playAtHead(loop, nullptr, nullptr, static_cast<std::size_t>(pos - loop.head));
    playAtHead(loop, ch1, ch2, count);
}

void rigLoopCapture(const RigLoop& loop, std::int64_t pos, double* ch1, double* ch2) {
    *ch2 = loop.room.cable ? heldFrame(loop, loop.dry, pos - loop.room.latency) : 0.0;
    const double noise = loop.noiseAmp != 0.0 ? loop.noiseAmp * noiseAt(loop.room.seed, pos) : 0.0;
    *ch1 = heldFrame(loop, loop.wet, pos - loop.room.latency - loop.room.delay) + noise;
}

// ---- impulse responses ----

bool rigReadIr(const char* path, std::vector<double>& out, int* rate, std::string* why) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) {
        *why = sf_strerror(nullptr);
        return false;
    }
    std::string problem;
    if (info.channels <= 0 || info.samplerate <= 0) problem = "no channels or no sample rate";
    // Integer samples come scaled to full scale 1 (libsndfile's default).
    const std::size_t channels = static_cast<std::size_t>(info.channels > 0 ? info.channels : 1);
    constexpr sf_count_t chunk = 512;
    std::vector<double> frames(channels * chunk);
    out.clear();
    while (problem.empty()) {
        const sf_count_t got = sf_readf_double(file, frames.data(), chunk);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got && problem.empty(); ++i) {
            const double v = frames[static_cast<std::size_t>(i) * channels];
            if (!std::isfinite(v) || std::fabs(v) > 1e6)
                problem = "sample not a finite number within +-1e6";
            else if (out.size() == rigMaxIrLength)
                problem = "longer than 480000 samples";
            else
                out.push_back(v);
        }
    }
    if (problem.empty() && sf_error(file) != SF_ERR_NO_ERROR) problem = sf_strerror(file);
    if (problem.empty() && out.empty()) problem = "no samples";
    sf_close(file);
    if (!problem.empty()) {
        out.clear();
        *why = problem;
        return false;
    }
    *rate = info.samplerate;
    return true;
}
