#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "analysis/transfer.h"
#include "base/outcome.h"
#include "console/run_description.h"

// The files of one run, created together under one base name
// sweep_YYYYMMDD_HHMMSS[_N] (local time) so that no earlier run's file is
// ever replaced. Each file is open for writing and owned here until handed to
// a writer; whatever is still open is closed on destruction.
class RunFiles {
  public:
    RunFiles() = default;
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;
    RunFiles(RunFiles&& other) noexcept;
    RunFiles& operator=(RunFiles&& other) noexcept;
    ~RunFiles();

    std::string base;                // e.g. sweep_20261207_130000_2
    std::vector<std::string> paths;  // one per ending, in the order asked
    std::vector<int> descriptors;    // open for writing; -1 once handed over

    // Hands file i's descriptor over to the caller (who closes it), or -1.
    int Release(std::size_t i);
};

// Creates one new file per ending (e.g. ".frd", "_ir.wav") in directory, all
// under the first base name none of them is taken for: sweep_DATE_TIME, then
// with _2, _3, ... Each is created exclusively, so a file that appears in
// the meantime is never overwritten; the files of a base name that lost such
// a race are removed again and the next number is tried.
// Why the files could not be created.
struct CreateFailure {
    enum class Kind {
        NoDate,    // the run's time has no local date
        Create,    // path could not be created: error
        AllTaken,  // every numbered name of that second is taken
    };
    Kind kind = Kind::NoDate;
    std::string path;  // Create: the file; AllTaken: the first base name
    int error = 0;     // Create: errno
};
Outcome<RunFiles, CreateFailure> CreateRunFiles(std::time_t when,
                                                std::span<const std::string> endings,
                                                const std::string& directory = ".");

// Why a file could not be written whole: the system's error number, or the
// words of the library that wrote it (libsndfile, cairo).
struct WriteFailure {
    int error = 0;
    std::string library;
};
using Written = Outcome<Done, WriteFailure>;

// The reasons in words, one line without a newline.
std::string Words(const CreateFailure& failure);
std::string Words(const WriteFailure& failure);

// Every file of a run is written through its descriptor with these: all of
// the bytes (through interruptions and short writes), then, to complete the
// file, fsync and close.
Written WriteAll(int descriptor, const void* data, std::size_t size);
// Syncs and closes the descriptor (always), keeping the first failure.
Written Complete(int descriptor, Written sofar);

// Writes the file at path through a temporary file beside it (path, '.'
// and six characters) that takes the name only once the writer has
// completed it and the system has it on disk, so that the file at path is
// always whole: the earlier version or the new one. replace false: path
// must be new, and an existing file there is never replaced (EEXIST);
// replace true: the earlier version is replaced. A failed write removes the
// temporary file and leaves path as it was.
Written PlaceFile(const std::string& path, bool replace, const std::function<Written(int)>& write);

// The comment lines that open a response file: the program, the date, the
// device, the settings and the sweep, each beginning with "* ".
std::string ResponseHeader(const RunDescription& run);

// The response file's text: comment lines beginning with '*', then one line
// per point: frequency (Hz), magnitude (dB), phase (degrees), the points of
// PointResponse (H at that frequency, not smoothed). notes: further comment
// lines.
std::string FormatResponse(const RunDescription& run, const Delay& delay,
                           std::span<const std::string> notes,
                           std::span<const ResponsePoint> points);

// Writes text to the open file and completes it.
Written WriteText(int descriptor, const std::string& text);

// Appends text to the file at path, created when missing, and completes it.
// Fails with the open's error before anything is written.
struct AppendFailure {
    bool opened = false;  // the file was opened; the write or its completion failed
    WriteFailure failure;
};
Outcome<Done, AppendFailure> AppendText(const std::string& path, const std::string& text);

// Writes a 32-bit float mono WAV file at rate to the open file, with one cue
// point at sample zeroIndex marking time zero (0 up to the number of
// samples), and completes it. Its fmt chunk has the (empty) extension that
// the WAVE format gives every format but PCM.
// Gives a WAV file's 16-byte IEEE-float fmt chunk, the first chunk, its
// 2-byte extension of size 0, and the RIFF size the 2 bytes; false, and the
// bytes as they were, for any other file.
bool ExtendFloatFormatChunk(std::vector<unsigned char>& bytes);

Written WriteImpulseWav(int descriptor, std::span<const float> samples, std::int64_t zeroIndex,
                        int rate);
