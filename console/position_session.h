#pragma once

// The session's average of microphone positions (--average): every clean
// take of the same settings adds one position. From the second position on,
// each added take prints the average's tables and replaces its files.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analysis/position_average.h"
#include "console/average_report.h"
#include "console/correction_report.h"
#include "console/run_description.h"

class PositionSession {
  public:
    // With a correction request, a correction is designed on the average
    // after each update too.
    explicit PositionSession(AverageKind kind, const CorrectionRequest* correction = nullptr)
        : kind_(kind), correction_(correction) {}

    AverageKind Kind() const { return kind_; }

    // Offers an evaluated take: added when it is clean, starting a new
    // average when its settings differ from the average's, with one line
    // saying which; then, from the second position on, the average's tables
    // and files. runBase: the run's files' base name (empty when it has none).
    void Offer(const RunDescription& run, const std::string& runBase, const RunResult& result,
               std::int64_t damagingFaults, std::span<const double> lowerEdges,
               std::span<const double> upperEdges);

    // A take that was not evaluated, and why (a phrase, e.g. "the sync pulse
    // was not found"): one line saying it is not added.
    void Skip(const char* reason) const;

  private:
    bool SameSettings(const RunDescription& run, const Position& position) const;

    // Designs the correction of the average, prints it, replaces its files
    // and adds its predicted response to the average's picture.
    void Correct(const PositionAverage& average, std::span<const double> lowerEdges,
                 std::span<const double> upperEdges, PlotData& picture);

    AverageKind kind_;
    const CorrectionRequest* correction_;
    std::array<bool, kCorrectionFileCount> correctionPlaced_{};
    std::vector<Position> positions_;
    RunDescription first_;  // the average's first run
    std::string base_;      // its files' base name, sweep_..._N
    // Which of its files this average has written (and later versions
    // replace).
    std::array<bool, kAverageFileCount> placed_{};
    std::vector<std::string> names_;  // each position's run
};
