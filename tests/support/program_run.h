#pragma once

// Runs the real program directly (no shell) in a working directory of its
// own, with scripted standard input, and collects everything it leaves
// behind. A run that has not ended by its time limit is killed and reported
// as timed out; one that writes a file beyond its size limit is stopped, so
// a spinning loop fails quickly either way.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProgramRun {
    std::string out;
    std::string err;
    int exitStatus = -1;  // -1 unless the program exited by itself
    bool timedOut = false;
    bool resultsExist = false;
    std::string results;  // sweep_out.txt afterwards
    // The run files it left (sweep_*, but for sweep_out.txt): name, contents.
    std::map<std::string, std::string> files;
};

// environment: NAME=value settings for the program, on top of the test's own.
// prepare: called with the working directory before the program starts.
// fileSizeLimit: largest file the program may write, in bytes, 0 for none.
// It covers every file, also the shared memory files of sound libraries
// (PulseAudio's client makes one of 64 MiB), so runs that open a device
// leave it at 0.
// arguments: the program's command-line arguments after its name.
ProgramRun RunProgram(const std::string& input, const std::vector<std::string>& environment,
                      int timeoutSeconds = 60,
                      const std::function<void(const std::filesystem::path&)>& prepare = {},
                      std::size_t fileSizeLimit = 0,
                      const std::vector<std::string>& arguments = {});
