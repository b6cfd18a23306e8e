/* Loaded into the program by tools/server_bench (LD_PRELOAD): counts the
 * transfers that find the playback run dry or the capture overrun (-EPIPE),
 * and those that fail otherwise (any other error than -EAGAIN), notes when
 * the capture first had frames (CLOCK_REALTIME, in ns), and writes the
 * counts and that time at exit to the file named by ZEMBRAK_XRUN_COUNT. It
 * also makes standard output line-buffered, so that the benchmark sees each
 * line when it is printed. */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long underruns;
static long overruns;
static long failures;
static long long firstCaptureNs;
/* Whether this process moved audio at all: the benchmark runs the program
 * under timeout(1), which loads this too and must not overwrite the file. */
static int used;

/* The first time a capture stream reports frames to the program. */
static void NoteFrames(snd_pcm_t* pcm, snd_pcm_sframes_t result) {
    if (result <= 0 || firstCaptureNs != 0 || snd_pcm_stream(pcm) != SND_PCM_STREAM_CAPTURE)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    firstCaptureNs = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void Count(snd_pcm_sframes_t result, long* xruns) {
    used = 1;
    if (result == -EPIPE)
        ++*xruns;
    else if (result < 0 && result != -EAGAIN)
        ++failures;
}

typedef snd_pcm_sframes_t (*WriteI)(snd_pcm_t*, const void*, snd_pcm_uframes_t);
typedef snd_pcm_sframes_t (*WriteN)(snd_pcm_t*, void**, snd_pcm_uframes_t);
typedef snd_pcm_sframes_t (*ReadI)(snd_pcm_t*, void*, snd_pcm_uframes_t);

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
    static WriteI next;
    if (next == NULL) next = (WriteI)dlsym(RTLD_NEXT, "snd_pcm_writei");
    const snd_pcm_sframes_t result = next(pcm, buffer, size);
    Count(result, &underruns);
    return result;
}

snd_pcm_sframes_t snd_pcm_writen(snd_pcm_t* pcm, void** buffers, snd_pcm_uframes_t size) {
    static WriteN next;
    if (next == NULL) next = (WriteN)dlsym(RTLD_NEXT, "snd_pcm_writen");
    const snd_pcm_sframes_t result = next(pcm, buffers, size);
    Count(result, &underruns);
    return result;
}

snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) {
    static ReadI next;
    if (next == NULL) next = (ReadI)dlsym(RTLD_NEXT, "snd_pcm_readi");
    const snd_pcm_sframes_t result = next(pcm, buffer, size);
    Count(result, &overruns);
    NoteFrames(pcm, result);
    return result;
}

snd_pcm_sframes_t snd_pcm_readn(snd_pcm_t* pcm, void** buffers, snd_pcm_uframes_t size) {
    static WriteN next;
    if (next == NULL) next = (WriteN)dlsym(RTLD_NEXT, "snd_pcm_readn");
    const snd_pcm_sframes_t result = next(pcm, buffers, size);
    Count(result, &overruns);
    NoteFrames(pcm, result);
    return result;
}

typedef snd_pcm_sframes_t (*Avail)(snd_pcm_t*);

snd_pcm_sframes_t snd_pcm_avail(snd_pcm_t* pcm) {
    static Avail next;
    if (next == NULL) next = (Avail)dlsym(RTLD_NEXT, "snd_pcm_avail");
    const snd_pcm_sframes_t result = next(pcm);
    NoteFrames(pcm, result);
    return result;
}

__attribute__((constructor)) static void LineBuffered(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
}

__attribute__((destructor)) static void WriteCounts(void) {
    const char* path = getenv("ZEMBRAK_XRUN_COUNT");
    if (path == NULL || !used) return;
    FILE* file = fopen(path, "w");
    if (file == NULL) return;
    fprintf(file, "%ld %ld %ld %lld\n", underruns, overruns, failures, firstCaptureNs);
    fclose(file);
}
