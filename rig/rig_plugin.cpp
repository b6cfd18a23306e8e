// The `rig` ALSA PCM type: an ioplug device whose playback comes back on its
// capture through a simulated cable and room (see rig_loop.h), with faults on
// demand. Built as libasound_module_pcm_rig.so; devices are defined in
// rig.conf.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "rig/rig_loop.h"
#include "samples/packing.h"

namespace {

enum class Side { none, playback, capture };
enum class Access { both, interleaved, noninterleaved };

struct RigOptions {
    RigRoom room;
    bool realtime = false;
    Access access = Access::both;
    bool failOpenCapture = false;
    bool busy = false;  // every open fails with EBUSY, as when another program holds it
    Side failFormat = Side::none;
    Side failParams = Side::none;
    long grantPeriod = 0;  // 0: the period asked for
    long xrunPlayback = -1;
    long xrunCapture = -1;
    long stallPlayback = -1;  // chunk after which the playback stops moving
    long stallCapture = -1;   // chunk after which the capture stops moving
    bool stuckDrain = false;  // the playback never plays its last period
    long cutCapture = -1;     // capture chunk whose frames never arrive
    long repeatCapture = -1;  // capture chunk that arrives twice
    std::string queueLog;     // file the queue record is appended to
};

constexpr long maxXrunChunk = 1L << 30;
constexpr long minGrantPeriod = 16;
constexpr long maxGrantPeriod = 1L << 16;

struct RigStream {
    snd_pcm_ioplug_t io{};
    RigLoop* loop = nullptr;
    bool playback = true;
    bool realtime = false;
    bool failParams = false;
    long xrunChunk = -1;  // chunk (period) index that fails once; -1: none
    bool xrunDone = false;
    long stallChunk = -1;         // the pointer stops once this chunk has passed; -1: never
    bool stalled = false;         // it has stopped
    std::uint64_t stallHw = 0;    // where it stands
    bool stuckDrain = false;      // playback: one period always stays queued
    long jumpChunk = -1;          // capture: at this chunk the loop position jumps
    std::int64_t jumpFrames = 0;  // by this many frames (ahead: a cut, back: a repeat)
    bool jumpDone = false;
    std::int64_t preparedPos = 0;  // instant mode: loop frame of the last prepare
    std::FILE* queueLog = nullptr;
    std::uint64_t framesSinceOpen = 0;  // transferred or refused, for xrunChunk
    int timerFd = -1;
    std::int64_t pos = 0;   // loop frame of the next frame transferred
    bool clockSet = false;  // real time: base is valid
    std::int64_t base = 0;  // real time: loop frame of stream frame 0 since prepare
    snd_pcm_uframes_t period = 1;
    snd_pcm_uframes_t buffer = 2;
    snd_pcm_uframes_t boundary = 2;
    snd_pcm_uframes_t availMin = 1;
    snd_pcm_format_t format = SND_PCM_FORMAT_S16_LE;
    unsigned channels = 1;
    // Playback: one chunk of both channels as read from the application.
    std::vector<double> chunk1, chunk2;
};

constexpr std::size_t maxTransferChunk = 1u << 16;

// ---- configuration ----

int badValue(const char* id, const char* expected) {
    SNDERR("rig: bad value for field %s (expected %s)", id, expected);
    return -EINVAL;
}

bool getInteger(snd_config_t* node, long lo, long hi, long* out) {
    long v = 0;
    if (snd_config_get_integer(node, &v) < 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool getReal(snd_config_t* node, double lo, double hi, double* out) {
    double v = 0;
    if (snd_config_get_ireal(node, &v) < 0 || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool getBool(snd_config_t* node, bool* out) {
    const int v = snd_config_get_bool(node);
    if (v < 0) return false;
    *out = v != 0;
    return true;
}

bool getSide(snd_config_t* node, Side* out) {
    const char* s = nullptr;
    if (snd_config_get_string(node, &s) < 0) return false;
    if (std::strcmp(s, "playback") == 0)
        *out = Side::playback;
    else if (std::strcmp(s, "capture") == 0)
        *out = Side::capture;
    else
        return false;
    return true;
}

int parseFilter(snd_config_t* node, RigFilter* f) {
    const char* fid = nullptr;
    snd_config_get_id(node, &fid);
    if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND)
        return badValue("filters", "compounds { type freq gain q }");
    bool hasType = false, hasFreq = false;
    *f = RigFilter{RigFilterType::peaking, 0.0, 0.0, 0.7071};
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, node) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (std::strcmp(id, "type") == 0) {
            const char* s = nullptr;
            if (snd_config_get_string(n, &s) < 0) s = "";
            static const struct {
                const char* name;
                RigFilterType type;
            } kinds[] = {{"peaking", RigFilterType::peaking},
                         {"lowshelf", RigFilterType::lowshelf},
                         {"highshelf", RigFilterType::highshelf},
                         {"highpass", RigFilterType::highpass},
                         {"lowpass", RigFilterType::lowpass}};
            hasType = false;
            for (const auto& k : kinds)
                if (std::strcmp(s, k.name) == 0) f->type = k.type, hasType = true;
            if (!hasType)
                return badValue("filters.type",
                                "peaking, lowshelf, highshelf, highpass or lowpass");
        } else if (std::strcmp(id, "freq") == 0) {
            // Some rate up to rigMaxRate must lie above twice the frequency.
            if (!getReal(n, 1e-3, rigMaxRate / 2.0 - 1.0, &f->freq))
                return badValue("filters.freq", "0.001 to 383999 Hz");
            hasFreq = f->freq > 0;
        } else if (std::strcmp(id, "gain") == 0) {
            if (!getReal(n, -60.0, 60.0, &f->gain)) return badValue("filters.gain", "-60 to 60 dB");
        } else if (std::strcmp(id, "q") == 0) {
            if (!getReal(n, 1e-3, 1000.0, &f->q)) return badValue("filters.q", "0.001 to 1000");
        } else {
            SNDERR("rig: unknown field filters.%s.%s", fid ? fid : "?", id);
            return -EINVAL;
        }
    }
    if (!hasType) return badValue("filters.type", "a filter type in every filter");
    if (!hasFreq) return badValue("filters.freq", "a frequency in every filter");
    return 0;
}

// The preset rooms, by name: `room typical` and `room living` are the rooms
// of room.h.
// A preset sets delay, gain, noise and filters; those fields given beside it
// replace the preset's, wherever they stand.
int parsePreset(snd_config_t* conf, RigOptions* o) {
    snd_config_t* n = nullptr;
    if (snd_config_search(conf, "room", &n) < 0) return 0;
    const char* s = nullptr;
    const bool living = snd_config_get_string(n, &s) >= 0 && std::strcmp(s, "living") == 0;
    if (!living && (s == nullptr || std::strcmp(s, "typical") != 0))
        return badValue("room", "typical or living");
    o->room.delay = rigRoomDelay;
    o->room.gainDb = rigRoomGain;
    o->room.noise = true;
    o->room.noiseDb = rigRoomNoise;
    o->room.filters.assign(std::begin(rigRoomFilters), std::end(rigRoomFilters));
    if (living) {
        o->room.gainDb = rigLivingGain;
        o->room.ir = RigLivingResponse();
        o->room.irRate = rigLivingRate;
        o->room.irPath = "(room living)";
    }
    return 0;
}

int parseOptions(snd_config_t* conf, RigOptions* o) {
    const int err = parsePreset(conf, o);
    if (err < 0) return err;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0 ||
            std::strcmp(id, "hint") == 0 || std::strcmp(id, "room") == 0)
            continue;
        if (std::strcmp(id, "latency") == 0) {
            if (!getInteger(n, 0, rigMaxLatency, &o->room.latency))
                return badValue(id, "0 to 1048576 frames");
        } else if (std::strcmp(id, "delay") == 0) {
            if (!getInteger(n, 0, rigMaxLatency, &o->room.delay))
                return badValue(id, "0 to 1048576 frames");
        } else if (std::strcmp(id, "gain") == 0) {
            if (!getReal(n, -120.0, 40.0, &o->room.gainDb)) return badValue(id, "-120 to 40 dB");
        } else if (std::strcmp(id, "distortion2") == 0) {
            if (!getReal(n, -100.0, 100.0, &o->room.distortion2))
                return badValue(id, "-100 to 100");
        } else if (std::strcmp(id, "distortion3") == 0) {
            if (!getReal(n, -100.0, 100.0, &o->room.distortion3))
                return badValue(id, "-100 to 100");
        } else if (std::strcmp(id, "filters") == 0) {
            if (snd_config_get_type(n) != SND_CONFIG_TYPE_COMPOUND)
                return badValue(id, "an array of filters");
            o->room.filters.clear();
            snd_config_iterator_t j, jnext;
            snd_config_for_each(j, jnext, n) {
                RigFilter f{};
                const int err = parseFilter(snd_config_iterator_entry(j), &f);
                if (err < 0) return err;
                if (o->room.filters.size() >= 64) return badValue(id, "at most 64 filters");
                o->room.filters.push_back(f);
            }
        } else if (std::strcmp(id, "ir") == 0) {
            const char* path = nullptr;
            if (snd_config_get_string(n, &path) < 0) return badValue(id, "an audio file path");
            std::string why;
            if (!rigReadIr(path, o->room.ir, &o->room.irRate, &why)) {
                SNDERR("rig: bad value for field ir: %s: %s", path, why.c_str());
                return -EINVAL;
            }
            o->room.irPath = path;
        } else if (std::strcmp(id, "noise") == 0) {
            if (!getReal(n, -200.0, 0.0, &o->room.noiseDb)) return badValue(id, "-200 to 0 dBFS");
            o->room.noise = true;
        } else if (std::strcmp(id, "seed") == 0) {
            long v = 0;
            if (!getInteger(n, LONG_MIN, LONG_MAX, &v)) return badValue(id, "an integer");
            o->room.seed = static_cast<std::uint64_t>(v);
        } else if (std::strcmp(id, "realtime") == 0) {
            if (!getBool(n, &o->realtime)) return badValue(id, "true or false");
        } else if (std::strcmp(id, "access") == 0) {
            const char* s = nullptr;
            if (snd_config_get_string(n, &s) < 0) s = "";
            if (std::strcmp(s, "both") == 0)
                o->access = Access::both;
            else if (std::strcmp(s, "interleaved") == 0)
                o->access = Access::interleaved;
            else if (std::strcmp(s, "noninterleaved") == 0)
                o->access = Access::noninterleaved;
            else
                return badValue(id, "both, interleaved or noninterleaved");
        } else if (std::strcmp(id, "fail_open_capture") == 0) {
            if (!getBool(n, &o->failOpenCapture)) return badValue(id, "true or false");
        } else if (std::strcmp(id, "busy") == 0) {
            if (!getBool(n, &o->busy)) return badValue(id, "true or false");
        } else if (std::strcmp(id, "fail_format") == 0) {
            if (!getSide(n, &o->failFormat)) return badValue(id, "playback or capture");
        } else if (std::strcmp(id, "fail_params") == 0) {
            if (!getSide(n, &o->failParams)) return badValue(id, "playback or capture");
        } else if (std::strcmp(id, "grant_period") == 0) {
            if (!getInteger(n, minGrantPeriod, maxGrantPeriod, &o->grantPeriod))
                return badValue(id, "16 to 65536 frames");
        } else if (std::strcmp(id, "xrun_playback") == 0) {
            if (!getInteger(n, 0, maxXrunChunk, &o->xrunPlayback))
                return badValue(id, "a chunk index from 0");
        } else if (std::strcmp(id, "xrun_capture") == 0) {
            if (!getInteger(n, 0, maxXrunChunk, &o->xrunCapture))
                return badValue(id, "a chunk index from 0");
        } else if (std::strcmp(id, "stall_playback") == 0) {
            if (!getInteger(n, 0, maxXrunChunk, &o->stallPlayback))
                return badValue(id, "a chunk index from 0");
        } else if (std::strcmp(id, "stall_capture") == 0) {
            if (!getInteger(n, 0, maxXrunChunk, &o->stallCapture))
                return badValue(id, "a chunk index from 0");
        } else if (std::strcmp(id, "cut_capture") == 0) {
            if (!getInteger(n, 0, maxXrunChunk, &o->cutCapture))
                return badValue(id, "a chunk index from 0");
        } else if (std::strcmp(id, "repeat_capture") == 0) {
            if (!getInteger(n, 0, maxXrunChunk, &o->repeatCapture))
                return badValue(id, "a chunk index from 0");
        } else if (std::strcmp(id, "stuck_drain") == 0) {
            if (!getBool(n, &o->stuckDrain)) return badValue(id, "true or false");
        } else if (std::strcmp(id, "queue_log") == 0) {
            const char* path = nullptr;
            if (snd_config_get_string(n, &path) < 0 || path[0] == '\0')
                return badValue(id, "a file path");
            o->queueLog = path;
        } else if (std::strcmp(id, "cable") == 0) {
            if (!getBool(n, &o->room.cable)) return badValue(id, "true or false");
        } else {
            SNDERR("rig: unknown field %s", id);
            return -EINVAL;
        }
    }
    return 0;
}

// ---- samples ----

double readSample(snd_pcm_format_t format, const unsigned char* p) {
    switch (format) {
        case SND_PCM_FORMAT_S16_LE:
            return static_cast<std::int16_t>(p[0] | (p[1] << 8)) / 32768.0;
        case SND_PCM_FORMAT_S24_3LE:
            return Unpack24(p) / kFullScale;
        case SND_PCM_FORMAT_S32_LE: {
            const std::uint32_t u =
                p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
            return static_cast<std::int32_t>(u) / 2147483648.0;
        }
        case SND_PCM_FORMAT_FLOAT_LE: {
            const std::uint32_t u =
                p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
            float f = 0;
            std::memcpy(&f, &u, sizeof f);
            // NaN is silence; anything huge is clipped so the room stays finite.
            if (std::isnan(f)) return 0.0;
            return std::fmax(-1e6, std::fmin(1e6, static_cast<double>(f)));
        }
        default:
            return 0.0;
    }
}

void putLe(unsigned char* p, std::uint32_t u, int bytes) {
    for (int b = 0; b < bytes; ++b) p[b] = static_cast<unsigned char>(u >> (8 * b));
}

std::uint32_t quantize(double v, int bits) {
    const double scale = std::ldexp(1.0, bits - 1);
    double x = std::nearbyint(v * scale);
    if (std::isnan(x)) x = 0.0;
    if (x > scale - 1) x = scale - 1;
    if (x < -scale) x = -scale;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(x));
}

void writeSample(snd_pcm_format_t format, unsigned char* p, double v) {
    switch (format) {
        case SND_PCM_FORMAT_S16_LE:
            putLe(p, quantize(v, 16), 2);
            break;
        case SND_PCM_FORMAT_S24_3LE:
            Pack24(static_cast<std::int32_t>(quantize(v, 24)), p);
            break;
        case SND_PCM_FORMAT_S32_LE:
            putLe(p, quantize(v, 32), 4);
            break;
        case SND_PCM_FORMAT_FLOAT_LE: {
            const float f = std::isnan(v)
                                ? 0.0f
                                : static_cast<float>(std::fmax(-FLT_MAX, std::fmin(FLT_MAX, v)));
            std::uint32_t u = 0;
            std::memcpy(&u, &f, sizeof u);
            putLe(p, u, 4);
            break;
        }
        default:
            break;
    }
}

unsigned char* sampleAt(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame) {
    const std::uint64_t bit = area.first + static_cast<std::uint64_t>(frame) * area.step;
    return static_cast<unsigned char*>(area.addr) + bit / 8;
}

// ---- the clock of real-time mode ----

void armTimer(RigStream* s, std::int64_t ns) {
    itimerspec t{};
    t.it_value.tv_sec = ns / 1000000000;
    t.it_value.tv_nsec = ns % 1000000000;
    if (t.it_value.tv_sec == 0 && t.it_value.tv_nsec == 0) t.it_value.tv_nsec = 1;
    timerfd_settime(s->timerFd, TFD_TIMER_ABSTIME, &t, nullptr);
}

void disarmTimer(RigStream* s) {
    itimerspec t{};
    timerfd_settime(s->timerFd, 0, &t, nullptr);
}

// Instant mode: the descriptor is always readable, as the device is never busy.
void armAlwaysReady(RigStream* s) {
    itimerspec t{};
    t.it_value.tv_nsec = 1;
    timerfd_settime(s->timerFd, 0, &t, nullptr);
}

// ---- the faults that stop a stream ----

// The pointer of a stream with a stall fault stands still once its chunk
// stallChunk has passed; it never reports an error.
std::uint64_t applyStall(RigStream* s, std::uint64_t hw) {
    if (s->stallChunk < 0) return hw;
    if (!s->stalled) {
        const std::uint64_t passed = (static_cast<std::uint64_t>(s->stallChunk) + 1) * s->period;
        if (s->framesSinceOpen < passed) return hw;
        s->stalled = true;
        s->stallHw = hw;
    }
    return s->stallHw;
}

// A playback with a stuck drain keeps its last period queued, so its queue
// never plays out.
std::uint64_t holdLastPeriod(const RigStream* s, std::uint64_t hw, std::uint64_t appl) {
    if (!s->playback || !s->stuckDrain) return hw;
    const std::uint64_t held = appl - std::min<std::uint64_t>(appl, s->period);
    return std::min(hw, held);
}

// Instant mode: playback is consumed as it is written, capture is always
// full, unless a fault holds the pointer back.
std::uint64_t instantPointer(RigStream* s) {
    const std::uint64_t appl = s->io.appl_ptr;
    const std::uint64_t hw = s->playback ? appl : appl + s->buffer;
    return applyStall(s, holdLastPeriod(s, hw, appl));
}

// ---- the queue record ----

// The open streams, so that a capture can find the playback of its loop.
std::mutex openStreamsLock;
std::vector<RigStream*> openStreams;

RigStream* playbackOf(const RigLoop* loop) {
    std::lock_guard<std::mutex> guard(openStreamsLock);
    for (RigStream* s : openStreams)
        if (s->loop == loop && s->playback) return s;
    return nullptr;
}

// With the loop's lock held: the frames playback p holds that have not been
// played yet. In instant mode the capture's position is the loop's clock
// (capture c is about to read there), and a prepare empties the queue; in
// real time the clock is the loop's.
std::int64_t queuedForPlayback(const RigStream* p, const RigStream* c) {
    std::int64_t played = 0;
    if (p->realtime) {
        if (!p->clockSet) return 0;
        played = std::max(rigLoopFrameAt(*c->loop, rigNowNs()), p->base);
    } else {
        played = std::max(c->pos, p->preparedPos);
    }
    return std::max<std::int64_t>(0, p->pos - played);
}

// The queue record, a file the test devices name: before each capture
// transfer "read <capture frame since open> <frames queued for playback>
// <playback buffer>"; where a playback chunk is lost "underrun <loop frame>".
void logRead(RigStream* c) {
    if (c->queueLog == nullptr) return;
    const RigStream* p = playbackOf(c->loop);
    std::fprintf(c->queueLog, "read %llu %lld %lu\n",
                 static_cast<unsigned long long>(c->framesSinceOpen),
                 static_cast<long long>(p != nullptr ? queuedForPlayback(p, c) : 0),
                 static_cast<unsigned long>(p != nullptr ? p->buffer : 0));
    std::fflush(c->queueLog);
}

void logUnderrun(RigStream* p) {
    if (p->queueLog == nullptr) return;
    std::fprintf(p->queueLog, "underrun %lld\n", static_cast<long long>(p->pos));
    std::fflush(p->queueLog);
}

// Places stream frame 0 on the loop clock: now, or for playback not before
// what is already queued in the loop.
void ensureClock(RigStream* s) {
    if (s->clockSet) return;
    std::lock_guard<std::mutex> guard(s->loop->lock);
    const std::int64_t now = rigLoopFrameAt(*s->loop, rigNowNs());
    s->base = s->playback ? std::max(now, s->loop->head) : now;
    s->pos = s->base;
    s->clockSet = true;
}

// Real-time hardware pointer in frames since prepare. The pointer moves in
// whole periods, as a DMA interrupt would. Playback underruns when a period it
// has just played was not completely written, capture overruns when a period
// would overwrite frames not yet read. Returns -EPIPE (state XRUN) then.
int realtimePointer(RigStream* s, std::uint64_t* hwOut) {
    snd_pcm_ioplug_t* io = &s->io;
    if (s->stalled) {
        disarmTimer(s);
        *hwOut = s->stallHw;
        return 0;
    }
    if (!s->clockSet) {
        *hwOut = io->hw_ptr;
        return 0;
    }
    std::int64_t nextNs = 0;
    std::int64_t elapsed = 0;
    {
        std::lock_guard<std::mutex> guard(s->loop->lock);
        elapsed = std::max<std::int64_t>(0, rigLoopFrameAt(*s->loop, rigNowNs()) - s->base);
        const std::int64_t period = static_cast<std::int64_t>(s->period);
        nextNs = rigLoopTimeOf(*s->loop, s->base + (elapsed / period + 1) * period);
    }
    const std::uint64_t e = static_cast<std::uint64_t>(elapsed);
    std::uint64_t hw = e - e % s->period;
    const std::uint64_t appl = io->appl_ptr;
    hw = holdLastPeriod(s, hw, appl);
    if (s->playback) {
        if (io->state == SND_PCM_STATE_DRAINING) {
            hw = std::min<std::uint64_t>(e, appl);
        } else if (io->state == SND_PCM_STATE_RUNNING && hw > appl) {
            snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
            return -EPIPE;
        } else if (hw > appl) {
            hw = appl;
        }
    } else if (hw > appl + s->buffer) {
        if (io->state == SND_PCM_STATE_RUNNING) {
            snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
            return -EPIPE;
        }
        hw = appl + s->buffer;
    }
    *hwOut = applyStall(s, hw);
    if (s->stalled)
        disarmTimer(s);
    else
        armTimer(s, nextNs);
    return 0;
}

// ---- ioplug callbacks ----

RigStream* streamOf(snd_pcm_ioplug_t* io) {
    return static_cast<RigStream*>(io->private_data);
}

int rigStart(snd_pcm_ioplug_t* io) {
    RigStream* s = streamOf(io);
    if (s->realtime) {
        ensureClock(s);
        std::uint64_t hw = 0;
        realtimePointer(s, &hw);
    }
    return 0;
}

int rigStop(snd_pcm_ioplug_t* io) {
    RigStream* s = streamOf(io);
    if (s->realtime) {
        s->clockSet = false;
        disarmTimer(s);
    }
    return 0;
}

snd_pcm_sframes_t rigPointer(snd_pcm_ioplug_t* io) {
    RigStream* s = streamOf(io);
    if (!s->realtime) return static_cast<snd_pcm_sframes_t>(instantPointer(s) % s->boundary);
    std::uint64_t hw = 0;
    const int err = realtimePointer(s, &hw);
    if (err < 0) return err;
    return static_cast<snd_pcm_sframes_t>(hw % s->boundary);
}

snd_pcm_sframes_t rigTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                              snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    RigStream* s = streamOf(io);
    if (size == 0) return 0;
    if (s->jumpChunk >= 0 && !s->jumpDone) {
        // A block lost or repeated inside the device, with no error: the
        // capture goes on from another place of the loop.
        const std::uint64_t at = static_cast<std::uint64_t>(s->jumpChunk) * s->period;
        if (s->framesSinceOpen < at && s->framesSinceOpen + size > at) {
            size = at - s->framesSinceOpen;  // up to the chunk
        } else if (s->framesSinceOpen >= at) {
            s->pos += s->jumpFrames;
            s->jumpDone = true;
        }
    }
    if (s->xrunChunk >= 0 && !s->xrunDone) {
        const std::uint64_t failAt = static_cast<std::uint64_t>(s->xrunChunk) * s->period;
        if (s->framesSinceOpen + size > failAt) {
            if (s->framesSinceOpen < failAt) {
                size = failAt - s->framesSinceOpen;  // up to the failing chunk
            } else {
                // The chunk is lost, as in a real xrun; the loop's time goes on.
                s->xrunDone = true;
                if (s->playback) logUnderrun(s);
                s->framesSinceOpen += size;
                if (!s->realtime) s->pos += static_cast<std::int64_t>(size);
                snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
                return -EPIPE;
            }
        }
    }
    if (s->realtime) ensureClock(s);
    std::lock_guard<std::mutex> guard(s->loop->lock);
    if (!s->playback) logRead(s);
    if (s->playback) {
        // In chunks, so that the room's impulse response works on blocks.
        for (snd_pcm_uframes_t done = 0; done < size;) {
            const std::size_t n = std::min<std::size_t>(s->chunk1.size(), size - done);
            for (std::size_t i = 0; i < n; ++i) {
                s->chunk1[i] = readSample(s->format, sampleAt(areas[0], offset + done + i));
                s->chunk2[i] = s->channels > 1
                                   ? readSample(s->format, sampleAt(areas[1], offset + done + i))
                                   : 0.0;
            }
            rigLoopPlay(*s->loop, s->pos + static_cast<std::int64_t>(done), s->chunk1.data(),
                        s->chunk2.data(), n);
            done += n;
        }
    } else {
        for (snd_pcm_uframes_t i = 0; i < size; ++i) {
            double ch1 = 0, ch2 = 0;
            rigLoopCapture(*s->loop, s->pos + static_cast<std::int64_t>(i), &ch1, &ch2);
            writeSample(s->format, sampleAt(areas[0], offset + i), ch1);
            if (s->channels > 1) writeSample(s->format, sampleAt(areas[1], offset + i), ch2);
        }
    }
    s->pos += static_cast<std::int64_t>(size);
    s->framesSinceOpen += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int rigHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params) {
    RigStream* s = streamOf(io);
    if (s->failParams) return -EINVAL;
    unsigned rate = 0;
    snd_pcm_uframes_t period = 0, buffer = 0;
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    unsigned channels = 0;
    if (snd_pcm_hw_params_get_rate(params, &rate, nullptr) < 0 ||
        snd_pcm_hw_params_get_period_size(params, &period, nullptr) < 0 ||
        snd_pcm_hw_params_get_buffer_size(params, &buffer) < 0 ||
        snd_pcm_hw_params_get_format(params, &format) < 0 ||
        snd_pcm_hw_params_get_channels(params, &channels) < 0 || period == 0 || buffer == 0)
        return -EINVAL;
    {
        std::lock_guard<std::mutex> guard(s->loop->lock);
        const RigRoom& room = s->loop->room;
        if (!room.ir.empty() && static_cast<unsigned>(room.irRate) != rate) {
            SNDERR("rig: bad value for field ir: %s is sampled at %d Hz, the stream runs at %u Hz",
                   room.irPath.c_str(), room.irRate, rate);
            return -EINVAL;
        }
        const int err = rigLoopSetRate(*s->loop, rate);
        if (err < 0) {
            SNDERR("rig: rate %u does not suit the other stream or the room's filters", rate);
            return err;
        }
    }
    if (s->playback) {
        const std::size_t chunk = std::min<std::size_t>(buffer, maxTransferChunk);
        s->chunk1.assign(chunk, 0.0);
        s->chunk2.assign(chunk, 0.0);
    }
    if (s->jumpChunk >= 0 && !s->jumpDone)
        s->jumpFrames = (s->jumpFrames > 0 ? 1 : -1) * static_cast<std::int64_t>(period);
    s->period = period;
    s->buffer = buffer;
    s->availMin = period;
    s->format = format;
    s->channels = channels;
    // alsa-lib's boundary: the largest buffer multiple of a power of two that
    // fits; sw_params reports the real one.
    s->boundary = buffer;
    while (s->boundary * 2 <= static_cast<snd_pcm_uframes_t>(LONG_MAX) - buffer) s->boundary *= 2;
    return 0;
}

int rigSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    RigStream* s = streamOf(io);
    snd_pcm_uframes_t v = 0;
    if (snd_pcm_sw_params_get_boundary(params, &v) >= 0 && v > 0) s->boundary = v;
    if (snd_pcm_sw_params_get_avail_min(params, &v) >= 0 && v > 0) s->availMin = v;
    return 0;
}

int rigPrepare(snd_pcm_ioplug_t* io) {
    RigStream* s = streamOf(io);
    if (s->realtime) {
        s->clockSet = false;
        disarmTimer(s);
    }
    s->preparedPos = s->pos;
    s->stallHw = 0;  // a stalled stream stays where a prepare puts it
    return 0;
}

int rigDrain(snd_pcm_ioplug_t* io) {
    RigStream* s = streamOf(io);
    if (s->playback && (s->stuckDrain || s->stalled) && io->appl_ptr > io->hw_ptr) {
        // What is queued is never played: a drain never completes. It
        // leaves the waiting to a non-blocking caller, and blocks a blocking
        // one for good, as a device that stopped would.
        if (io->nonblock) return -EAGAIN;
        for (;;) pause();
    }
    if (!s->realtime || !s->playback || !s->clockSet) return 0;
    std::int64_t deadline = 0;
    {
        std::lock_guard<std::mutex> guard(s->loop->lock);
        deadline = rigLoopTimeOf(*s->loop, s->base + static_cast<std::int64_t>(io->appl_ptr));
    }
    timespec t{};
    t.tv_sec = deadline / 1000000000;
    t.tv_nsec = deadline % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
    return 0;
}

int rigPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                   unsigned short* revents) {
    RigStream* s = streamOf(io);
    const unsigned short ready = s->playback ? POLLOUT : POLLIN;
    (void)pfd;
    (void)nfds;
    if (!s->realtime) {
        *revents = ready;
        if (s->stallChunk >= 0 || s->stuckDrain) {
            const std::uint64_t hw = instantPointer(s);
            const std::uint64_t appl = io->appl_ptr;
            const std::uint64_t avail =
                s->playback ? s->buffer - std::min<std::uint64_t>(s->buffer, appl - hw)
                            : (hw > appl ? hw - appl : 0);
            std::uint64_t ticks = 0;
            if (avail < s->availMin) {
                // Nothing to do until the stream moves, which it will not:
                // the descriptor stops being readable.
                if (read(s->timerFd, &ticks, sizeof ticks) < 0) ticks = 0;
                *revents = 0;
            } else {
                armAlwaysReady(s);
            }
        }
        return 0;
    }
    std::uint64_t ticks = 0;
    if (read(s->timerFd, &ticks, sizeof ticks) < 0) ticks = 0;  // nothing pending
    if (io->state == SND_PCM_STATE_XRUN) {
        *revents = POLLERR;
        return 0;
    }
    std::uint64_t hw = 0;
    if (realtimePointer(s, &hw) < 0) {
        *revents = POLLERR;
        return 0;
    }
    const std::uint64_t appl = io->appl_ptr;
    const std::uint64_t avail = s->playback
                                    ? s->buffer - std::min<std::uint64_t>(s->buffer, appl - hw)
                                    : (hw > appl ? hw - appl : 0);
    *revents = avail >= s->availMin ? ready : 0;
    return 0;
}

int rigClose(snd_pcm_ioplug_t* io) {
    RigStream* s = streamOf(io);
    {
        std::lock_guard<std::mutex> guard(openStreamsLock);
        openStreams.erase(std::remove(openStreams.begin(), openStreams.end(), s),
                          openStreams.end());
    }
    if (s->queueLog != nullptr) std::fclose(s->queueLog);
    rigLoopRelease(s->loop, s->playback);
    if (s->timerFd >= 0) close(s->timerFd);
    delete s;
    return 0;
}

const snd_pcm_ioplug_callback_t rigCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = rigStart;
    c.stop = rigStop;
    c.pointer = rigPointer;
    c.transfer = rigTransfer;
    c.close = rigClose;
    c.hw_params = rigHwParams;
    c.sw_params = rigSwParams;
    c.prepare = rigPrepare;
    c.drain = rigDrain;
    c.poll_revents = rigPollRevents;
    return c;
}();

int setConstraints(RigStream* s, const RigOptions& o, unsigned fixedRate) {
    snd_pcm_ioplug_t* io = &s->io;
    unsigned access[2];
    unsigned accessCount = 0;
    if (o.access != Access::noninterleaved) access[accessCount++] = SND_PCM_ACCESS_RW_INTERLEAVED;
    if (o.access != Access::interleaved) access[accessCount++] = SND_PCM_ACCESS_RW_NONINTERLEAVED;
    const Side side = s->playback ? Side::playback : Side::capture;
    unsigned formats[4];
    unsigned formatCount = 0;
    if (o.failFormat != side) formats[formatCount++] = SND_PCM_FORMAT_S24_3LE;
    formats[formatCount++] = SND_PCM_FORMAT_S16_LE;
    formats[formatCount++] = SND_PCM_FORMAT_S32_LE;
    formats[formatCount++] = SND_PCM_FORMAT_FLOAT_LE;

    // The filters need a rate above twice their highest frequency.
    double highest = 0;
    for (const RigFilter& f : o.room.filters) highest = std::max(highest, f.freq);
    unsigned minRate = std::max<unsigned>(rigMinRate, static_cast<unsigned>(2 * highest) + 1);
    unsigned maxRate = rigMaxRate;
    if (fixedRate != 0) minRate = maxRate = fixedRate;  // the loop's other stream decides

    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, accessCount, access);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, formatCount, formats);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 2);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, minRate, maxRate);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 64, 8u << 20);
    if (err >= 0 && o.grantPeriod > 0) {
        // ioplug constrains periods in bytes only, so a period fixed in frames
        // needs one frame size: such a stream offers 2-channel S24_3LE only.
        // (With fail_format on the same side nothing fits: only S16_LE is left.)
        const unsigned bytes = 6 * static_cast<unsigned>(o.grantPeriod);
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, &formats[0]);
        if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2);
        if (err >= 0)
            err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, bytes, bytes);
    } else if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 32, 1u << 20);
    }
    return err;
}

}  // namespace

extern "C" {

#pragma GCC visibility push(default)

SND_PCM_PLUGIN_DEFINE_FUNC(rig) {
    (void)root;
    RigOptions options;
    int err = parseOptions(conf, &options);
    if (err < 0) return err;
    if (options.busy) return -EBUSY;
    if (stream == SND_PCM_STREAM_CAPTURE && options.failOpenCapture) return -ENODEV;

    RigStream* s = new RigStream;
    s->playback = stream == SND_PCM_STREAM_PLAYBACK;
    s->failParams = options.failParams == (s->playback ? Side::playback : Side::capture);
    s->xrunChunk = s->playback ? options.xrunPlayback : options.xrunCapture;
    if (s->playback) s->chunk1.assign(1024, 0.0), s->chunk2.assign(1024, 0.0);
    s->stallChunk = s->playback ? options.stallPlayback : options.stallCapture;
    s->stuckDrain = s->playback && options.stuckDrain;
    // The jump is one period, known once the parameters are installed.
    if (!s->playback && options.cutCapture >= 0) {
        s->jumpChunk = options.cutCapture;
        s->jumpFrames = 1;
    } else if (!s->playback && options.repeatCapture >= 0) {
        s->jumpChunk = options.repeatCapture + 1;
        s->jumpFrames = -1;
    }
    s->loop = rigLoopAcquire(name != nullptr ? name : "rig", options.room, options.realtime,
                             s->playback, &err);
    if (s->loop == nullptr) {
        delete s;
        return err;
    }
    s->realtime = s->loop->realtime;
    s->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (s->timerFd < 0) {
        err = -errno;
        rigLoopRelease(s->loop, s->playback);
        delete s;
        return err;
    }
    if (!s->realtime) armAlwaysReady(s);
    unsigned fixedRate = 0;
    {
        std::lock_guard<std::mutex> guard(s->loop->lock);
        if (s->loop->hasPlayback && s->loop->hasCapture) fixedRate = s->loop->rate;
    }

    s->io.version = SND_PCM_IOPLUG_VERSION;
    s->io.name = "Zembrak simulated measurement rig";
    s->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
    s->io.poll_fd = s->timerFd;
    s->io.poll_events = POLLIN;
    s->io.mmap_rw = 0;
    s->io.callback = &rigCallbacks;
    s->io.private_data = s;
    err = snd_pcm_ioplug_create(&s->io, name, stream, mode);
    if (err < 0) {
        rigLoopRelease(s->loop, s->playback);
        close(s->timerFd);
        delete s;
        return err;
    }
    err = setConstraints(s, options, fixedRate);
    if (err < 0) {
        snd_pcm_ioplug_delete(&s->io);  // closes, which frees s
        return err;
    }
    if (!options.queueLog.empty()) {
        s->queueLog = std::fopen(options.queueLog.c_str(), "a");
        if (s->queueLog == nullptr) {
            err = -errno;
            SNDERR("rig: bad value for field queue_log: %s: %s", options.queueLog.c_str(),
                   std::strerror(errno));
            snd_pcm_ioplug_delete(&s->io);
            return err;
        }
    }
    {
        std::lock_guard<std::mutex> guard(openStreamsLock);
        openStreams.push_back(s);
    }
    *pcmp = s->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(rig)

#pragma GCC visibility pop

}  // extern "C"
