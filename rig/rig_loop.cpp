#include "rig/rig_loop.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

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

void clearRoomState(RigLoop& loop) {
    for (RigBiquad& b : loop.chain) b.z1 = b.z2 = 0.0;
    std::fill(loop.irInput.begin(), loop.irInput.end(), 0.0);
    loop.irPos = 0;
}

double roomSample(RigLoop& loop, double x) {
    x += (loop.room.distortion2 + loop.room.distortion3 * x) * x * x;
    x *= loop.gain;
    for (RigBiquad& b : loop.chain) {
        const double y = b.b0 * x + b.z1;
        b.z1 = b.b1 * x - b.a1 * y + b.z2;
        b.z2 = b.b2 * x - b.a2 * y;
        x = y;
    }
    const std::size_t n = loop.room.ir.size();
    if (n == 0) return x;
    loop.irInput[loop.irPos] = x;
    double y = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double tap = loop.room.ir[k];
        if (tap != 0.0) y += tap * loop.irInput[(loop.irPos + n - k) % n];
    }
    loop.irPos = (loop.irPos + 1) % n;
    return y;
}

void playOne(RigLoop& loop, double ch1, double ch2) {
    const std::int64_t mask = historySize(loop) - 1;
    loop.wet[static_cast<std::size_t>(loop.head & mask)] = roomSample(loop, ch1);
    loop.dry[static_cast<std::size_t>(loop.head & mask)] = ch2;
    ++loop.head;
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

bool rigDesignBiquad(const RigFilter& f, double rate, RigBiquad& out) {
    if (!(rate > 0) || !(f.freq > 0) || !(f.freq < rate / 2) || !(f.q > 0) ||
        !std::isfinite(f.gain) || !std::isfinite(f.q))
        return false;
    const double w0 = 2.0 * M_PI * f.freq / rate;
    const double cw = std::cos(w0);
    const double alpha = std::sin(w0) / (2.0 * f.q);
    const double a = std::pow(10.0, f.gain / 40.0);
    const double sa = 2.0 * std::sqrt(a) * alpha;
    double b0 = 1, b1 = 0, b2 = 0, a0 = 1, a1 = 0, a2 = 0;
    switch (f.type) {
        case RigFilterType::peaking:
            b0 = 1 + alpha * a, b1 = -2 * cw, b2 = 1 - alpha * a;
            a0 = 1 + alpha / a, a1 = -2 * cw, a2 = 1 - alpha / a;
            break;
        case RigFilterType::lowshelf:
            b0 = a * ((a + 1) - (a - 1) * cw + sa), b1 = 2 * a * ((a - 1) - (a + 1) * cw);
            b2 = a * ((a + 1) - (a - 1) * cw - sa);
            a0 = (a + 1) + (a - 1) * cw + sa, a1 = -2 * ((a - 1) + (a + 1) * cw);
            a2 = (a + 1) + (a - 1) * cw - sa;
            break;
        case RigFilterType::highshelf:
            b0 = a * ((a + 1) + (a - 1) * cw + sa), b1 = -2 * a * ((a - 1) + (a + 1) * cw);
            b2 = a * ((a + 1) + (a - 1) * cw - sa);
            a0 = (a + 1) - (a - 1) * cw + sa, a1 = 2 * ((a - 1) - (a + 1) * cw);
            a2 = (a + 1) - (a - 1) * cw - sa;
            break;
        case RigFilterType::highpass:
            b0 = (1 + cw) / 2, b1 = -(1 + cw), b2 = (1 + cw) / 2;
            a0 = 1 + alpha, a1 = -2 * cw, a2 = 1 - alpha;
            break;
        case RigFilterType::lowpass:
            b0 = (1 - cw) / 2, b1 = 1 - cw, b2 = (1 - cw) / 2;
            a0 = 1 + alpha, a1 = -2 * cw, a2 = 1 - alpha;
            break;
    }
    out = RigBiquad{};
    out.b0 = b0 / a0, out.b1 = b1 / a0, out.b2 = b2 / a0, out.a1 = a1 / a0, out.a2 = a2 / a0;
    return std::isfinite(out.b0) && std::isfinite(out.b1) && std::isfinite(out.b2) &&
           std::isfinite(out.a1) && std::isfinite(out.a2);
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
        loop->irInput.assign(room.ir.size(), 0.0);
        std::int64_t size = 1;
        const std::int64_t need = room.latency + room.delay + historySlack;
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
    for (std::size_t i = 0; i < chain.size(); ++i)
        if (!rigDesignBiquad(loop.room.filters[i], rate, chain[i])) return -EINVAL;
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

void rigLoopPlay(RigLoop& loop, std::int64_t pos, double ch1, double ch2) {
    if (pos < loop.head) return;  // the past cannot be played again
    if (pos - loop.head >= historySize(loop)) {
        // Silence longer than the history: the room has rung out.
        clearRoomState(loop);
        std::fill(loop.wet.begin(), loop.wet.end(), 0.0);
        std::fill(loop.dry.begin(), loop.dry.end(), 0.0);
        loop.head = pos;
    }
    while (loop.head < pos) playOne(loop, 0.0, 0.0);
    playOne(loop, ch1, ch2);
}

void rigLoopCapture(RigLoop& loop, std::int64_t pos, double* ch1, double* ch2) {
    *ch2 = loop.room.cable ? heldFrame(loop, loop.dry, pos - loop.room.latency) : 0.0;
    const double noise = loop.noiseAmp != 0.0 ? loop.noiseAmp * noiseAt(loop.room.seed, pos) : 0.0;
    *ch1 = heldFrame(loop, loop.wet, pos - loop.room.latency - loop.room.delay) + noise;
}

// ---- WAV impulse responses ----

namespace {

std::uint32_t le16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}
std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool fail(std::string* why, const char* text) {
    *why = text;
    return false;
}

}  // namespace

bool rigReadWav(const char* path, std::vector<double>& out, std::string* why) {
    constexpr long maxFileBytes = 64L << 20;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return fail(why, std::strerror(errno));
    std::vector<unsigned char> bytes;
    unsigned char block[65536];
    std::size_t got = 0;
    bool tooBig = false;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        bytes.insert(bytes.end(), block, block + got);
        if (static_cast<long>(bytes.size()) > maxFileBytes) {
            tooBig = true;
            break;
        }
    }
    std::fclose(file);
    if (tooBig) return fail(why, "file larger than 64 MiB");
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return fail(why, "not a RIFF WAVE file");

    const unsigned char* fmt = nullptr;
    const unsigned char* data = nullptr;
    std::size_t dataBytes = 0;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::size_t size = le32(&bytes[at + 4]);
        const std::size_t body = at + 8;
        const std::size_t avail = bytes.size() - body;
        // body may be the end of the file: point there without indexing.
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && size >= 16 && size <= avail)
            fmt = bytes.data() + body;
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            data = bytes.data() + body;
            dataBytes = size < avail ? size : avail;  // a truncated file keeps what it has
        }
        if (size > avail) break;
        at = body + size + (size & 1);
    }
    if (fmt == nullptr) return fail(why, "no fmt chunk");
    if (data == nullptr) return fail(why, "no data chunk");

    std::uint32_t tag = le16(fmt);
    const std::uint32_t channels = le16(fmt + 2);
    const std::uint32_t align = le16(fmt + 12);
    const std::uint32_t bits = le16(fmt + 14);
    if (tag == 0xFFFE) {
        // WAVE_FORMAT_EXTENSIBLE: the sub-format's first two bytes hold the tag.
        if (le32(fmt - 4) < 40) return fail(why, "short extensible fmt chunk");
        tag = le16(fmt + 24);
    }
    const bool pcm = tag == 1 && (bits == 16 || bits == 24 || bits == 32);
    const bool flt = tag == 3 && (bits == 32 || bits == 64);
    if (!pcm && !flt) return fail(why, "unsupported sample format (use 16/24/32-bit PCM or float)");
    if (channels == 0 || align != channels * (bits / 8)) return fail(why, "inconsistent fmt chunk");
    const std::size_t frames = dataBytes / align;
    if (frames == 0) return fail(why, "no samples");
    if (frames > rigMaxIrLength) return fail(why, "longer than 65536 samples");

    out.assign(frames, 0.0);
    for (std::size_t i = 0; i < frames; ++i) {
        const unsigned char* p = data + i * align;
        double v = 0.0;
        if (flt && bits == 32) {
            const std::uint32_t u = le32(p);
            float f;
            std::memcpy(&f, &u, sizeof f);
            v = f;
        } else if (flt) {
            const std::uint64_t u = le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
            std::memcpy(&v, &u, sizeof v);
        } else if (bits == 16) {
            v = static_cast<std::int16_t>(le16(p)) / 32768.0;
        } else if (bits == 24) {
            const std::uint32_t u = p[0] | (p[1] << 8) | (p[2] << 16);
            v = static_cast<std::int32_t>(u << 8) / 2147483648.0;
        } else {
            v = static_cast<std::int32_t>(le32(p)) / 2147483648.0;
        }
        if (!std::isfinite(v) || std::fabs(v) > 1e6) return fail(why, "sample not a finite number");
        out[i] = v;
    }
    return true;
}
