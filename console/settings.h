#pragma once

#include <cstdio>
#include <string>

struct LoadedCalibration;
struct CorrectionRequest;
struct LoadedEq;

// The excitation of a run: the linear sweep, or the exponential one that
// also measures harmonic distortion.
enum class SweepKind { Linear, Exponential };

// The sweep's level: the default, which the banner states, and the lowest.
constexpr double kDefaultSweepLevelDb = -6.0;
constexpr double kLowestSweepLevelDb = -40.0;

// The operator's settings. Every value the input conversions accept is kept
// as given (zero, negative, infinite, NaN); the band plan and the run decide
// what they can do with it.
struct TestSettings {
    double q = 4.0;
    int bandCount = 31;
    double startFrequency = 18.0;
    double sweepLength = 10.0;
    std::string deviceName = "default";
    // The microphone calibration for every run, or none. Owned by main for
    // the whole process.
    const LoadedCalibration* calibration = nullptr;
    // The sweep's level in dBFS (--level), kDefaultSweepLevelDb down to
    // kLowestSweepLevelDb; the sync pulse keeps its own.
    double levelDb = kDefaultSweepLevelDb;
    // Where each run's summary goes as one line (--json), or nowhere.
    std::FILE* summaryLine = nullptr;
    // The sweep of every run (--sweep).
    SweepKind sweep = SweepKind::Linear;
    // The correction designed after every run (--eq), or none.
    const CorrectionRequest* correction = nullptr;
    // The correction every sweep is played through (--apply-eq), or none.
    const LoadedEq* appliedEq = nullptr;
};

// Longest device name the console keeps.
constexpr std::size_t kMaxDeviceNameLength = 255;
