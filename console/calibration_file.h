#pragma once

// The microphone calibration file named on the command line.

#include <cstddef>
#include <string>

#include "analysis/calibration.h"
#include "base/outcome.h"

// A calibration as read from its file, kept for the whole process.
struct LoadedCalibration {
    std::string path;  // as named on the command line
    Calibration calibration;
};

// Largest calibration file read, in bytes.
constexpr std::size_t kMaxCalibrationFileSize = 1 << 20;

// What is wrong with a calibration text, in words: a short phrase without
// the line or the file name.
std::string Words(const CalibrationError& error);

// The same for a text whose second column is named `second` ("level" for a
// response) where a calibration's is its gain.
std::string Words(const CalibrationError& error, const char* second);

// Reads and parses the file. Only a regular file is read: anything else (a
// FIFO, a device, a directory) is refused at once, without waiting for a
// writer or for data. The reason is the console's one line naming the file,
// the line (where there is one) and what is wrong, without a newline.
Outcome<LoadedCalibration, std::string> LoadCalibrationFile(const std::string& path);

// The line shown after the banner: which file, how many points, which
// frequencies; without a newline.
std::string CalibrationLine(const LoadedCalibration& loaded);

// Prints CalibrationLine when the settings carry a calibration.
struct TestSettings;
void PrintCalibrationLine(const TestSettings& settings);
