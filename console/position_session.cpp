#include "console/position_session.h"

#include <cstdio>
#include <ctime>

#include "console/options.h"
#include "console/run_report.h"

namespace {

const char* ExclusionText(Exclusion exclusion) {
    switch (exclusion) {
        case Exclusion::None:
            return "";
        case Exclusion::NoResponse:
            return "the room's response could not be computed";
        case Exclusion::Dropouts:
            return "frames were lost in the measured signal";
        case Exclusion::Clipped:
            return "input 1 clipped";
        case Exclusion::Silent:
            return "input 1 is silent";
        case Exclusion::TooLow:
            return "input 1 is too low to measure";
        case Exclusion::Disturbed:
            return "the take was disturbed";
    }
    return "";
}

}  // namespace

void PositionSession::Skip(const char* reason) const {
    std::printf("This take is not added to the average: %s.\n", reason);
}

bool PositionSession::SameSettings(const RunDescription& run, const Position& position) const {
    return run.q == first_.q && run.bands == first_.bands &&
           run.startFrequency == first_.startFrequency && run.sweepLength == first_.sweepLength &&
           run.sweep == first_.sweep && SameGrid(positions_.front().response, position.response);
}

void PositionSession::Offer(const RunDescription& run, const std::string& runBase,
                            const RunResult& result, std::int64_t damagingFaults,
                            std::span<const double> lowerEdges,
                            std::span<const double> upperEdges) {
    const Exclusion exclusion = ExclusionOf(result, damagingFaults);
    if (exclusion != Exclusion::None) {
        Skip(ExclusionText(exclusion));
        return;
    }
    Position position = PositionOf(result);
    // The run's own name, or its date when its files could not be made.
    const std::string name = runBase.empty() ? run.date : runBase;
    if (!positions_.empty() && !SameSettings(run, position)) {
        if (positions_.size() > 1 && placed_[0]) {
            std::printf(
                "The settings changed: a new average begins with this take. The average of "
                "%zu positions stays in %s_average.frd.\n",
                positions_.size(), Printable(base_).c_str());
        } else {
            std::puts("The settings changed: a new average begins with this take.");
        }
        positions_.clear();
        names_.clear();
    }
    if (positions_.empty()) {
        first_ = run;
        base_ = runBase;
        if (base_.empty()) {
            // The run's files could not be made: the average is named after
            // the run's time all the same.
            char stamp[64] = "sweep_unknown";
            std::tm local{};
            if (localtime_r(&run.when, &local) != nullptr) {
                std::strftime(stamp, sizeof stamp, "sweep_%Y%m%d_%H%M%S", &local);
            }
            base_ = stamp;
        }
        placed_ = {};
        correctionPlaced_ = {};
    }
    positions_.push_back(std::move(position));
    names_.push_back(name);
    if (positions_.size() == 1) {
        std::printf(
            "Position 1 of a new %s: the average is shown and saved from the second "
            "position on.\n",
            AverageName(kind_));
        return;
    }
    std::printf("Position %zu added to the %s.\n", positions_.size(), AverageName(kind_));

    const PositionAverage average = AveragePositions(positions_, kind_, lowerEdges, upperEdges);
    std::fputs(AverageTable(average, lowerEdges, upperEdges, false).c_str(), stdout);
    std::fputs(AverageAcousticsTable(average).c_str(), stdout);

    AverageDescription description;
    description.program = first_.program;
    description.sourceLines = {"First position: " + first_.date + ", device " + first_.device,
                               "Settings: " + SettingsLine(first_), SweepLine(first_)};
    description.pictureLines = {"First position " + first_.date + ", device " + first_.device,
                                SettingsLine(first_) + ", " + SweepName(first_.sweep)};
    description.positionNames = names_;
    AverageOutput output = AverageOutputOf(average, description, lowerEdges, upperEdges);
    if (correction_ != nullptr) Correct(average, lowerEdges, upperEdges, output.picture);
    std::vector<std::string> names;
    std::vector<Written> results;
    for (std::size_t i = 0; i < kAverageFileCount; ++i) {
        names.push_back(base_ + kAverageEndings[i]);
        // The first version never replaces a file; later ones replace it.
        results.push_back(
            PlaceFile(names.back(), placed_[i], [&](int fd) { return output.Write(i, fd); }));
        placed_[i] = placed_[i] || results.back().ok();
    }
    PrintAverageFiles(names, results);
}

void PositionSession::Correct(const PositionAverage& average, std::span<const double> lowerEdges,
                              std::span<const double> upperEdges, PlotData& picture) {
    if (average.response.empty()) return;
    std::vector<ResponsePoint> response;
    for (const SpreadPoint& point : average.response) {
        response.push_back({point.frequency, point.levelDb, point.phaseDegrees});
    }
    auto plan = PlanCorrection(*correction_, response.front().frequency, response.back().frequency,
                               lowerEdges, upperEdges);
    if (!plan) {
        std::printf("%s: no correction of the average was designed.\n", plan.reason().c_str());
        return;
    }
    std::puts("Of the average:");
    const DesignedCorrection designed{plan.value(), DesignCorrection(response, plan.value())};
    std::fputs(CorrectionText(designed).c_str(), stdout);
    if (!designed.design) return;
    AddCorrectionCurves(picture, designed.design.value());
    const std::string base = base_ + "_average";
    std::vector<std::string> names;
    std::vector<Written> results;
    for (std::size_t i = 0; i < kCorrectionFileCount; ++i) {
        names.push_back(base + kCorrectionEndings[i]);
        results.push_back(PlaceFile(names.back(), correctionPlaced_[i], [&](int fd) {
            return WriteCorrectionFile(i, fd, designed.design.value().correction, base,
                                       "Correction of the " + std::string(AverageName(kind_)) +
                                           " of " + std::to_string(average.positions) +
                                           " positions from " + base_);
        }));
        correctionPlaced_[i] = correctionPlaced_[i] || results.back().ok();
    }
    PrintAverageFiles(names, results);
}
