#include "console/file_average.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "analysis/band_plan.h"
#include "base/version.h"
#include "console/average_report.h"
#include "console/response_files.h"
#include "console/run_files.h"
#include "console/settings.h"

namespace {

std::string Range(const std::vector<ResponsePoint>& points) {
    char text[96];
    std::snprintf(text, sizeof text, "%.1f to %.1f Hz", points.front().frequency,
                  points.back().frequency);
    return text;
}

}  // namespace

int AverageResponseFiles(const ProgramOptions& options) {
    const AverageKind kind = options.average.value_or(AverageKind::Power);
    std::vector<LoadedResponse> loaded;
    for (const std::string& path : options.files) {
        Outcome<LoadedResponse, std::string> file = LoadResponseFile(path);
        if (!file) {
            std::fprintf(stderr, "%s; nothing was written.\n", file.reason().c_str());
            return 2;
        }
        if (kind == AverageKind::Vector && !file.value().response.hasPhase) {
            std::fprintf(stderr,
                         "zembrak: response file '%s': no phase, which a vector average needs; "
                         "nothing was written.\n",
                         Printable(path).c_str());
            return 2;
        }
        loaded.push_back(std::move(file.value()));
    }
    std::vector<std::vector<ResponsePoint>> responses;
    for (const LoadedResponse& file : loaded) responses.push_back(file.response.points);
    std::size_t apart = 0;
    const std::optional<CommonRange> range = SharedRange(responses, &apart);
    if (!range) {
        std::fprintf(stderr,
                     "zembrak: response file '%s': its range (%s) shares none with the files "
                     "before it; nothing was written.\n",
                     Printable(loaded[apart].path).c_str(), Range(responses[apart]).c_str());
        return 2;
    }

    // The default band plan, as a run of the default settings has it.
    const TestSettings settings;
    BandPlan plan;
    FindHighFreq(settings.q, settings.bandCount, settings.startFrequency, plan.lowerEdges,
                 plan.upperEdges);
    const std::span<const double> lower(plan.lowerEdges,
                                        static_cast<std::size_t>(settings.bandCount));
    const std::span<const double> upper(plan.upperEdges,
                                        static_cast<std::size_t>(settings.bandCount));
    std::vector<Position> positions;
    for (const std::vector<ResponsePoint>& response : responses) {
        Position position;
        position.response =
            ResampleResponse(response, range->low, range->high, kAverageGridPerOctave);
        for (std::size_t b = 0; b < lower.size(); ++b) {
            position.bandPowers.push_back(GridBandPower(position.response, lower[b], upper[b]));
        }
        positions.push_back(std::move(position));
    }
    const PositionAverage average = AveragePositions(positions, kind, lower, upper);

    AverageDescription description;
    description.program = kProgramName;
    description.ofFiles = true;
    char rangeLine[128];
    std::snprintf(rangeLine, sizeof rangeLine, "Range: %.1f Hz to %.1f Hz, shared by every file",
                  range->low, range->high);
    description.sourceLines = {rangeLine};
    description.pictureLines = {std::string(rangeLine) + "; bands of Q 4 from 18 Hz"};
    for (const LoadedResponse& file : loaded) description.positionNames.push_back(file.path);

    std::fputs(AverageTable(average, lower, upper, true).c_str(), stdout);
    const AverageOutput output = AverageOutputOf(average, description, lower, upper);
    std::vector<std::string> endings(std::begin(kAverageEndings), std::end(kAverageEndings));
    auto created = CreateRunFiles(std::time(nullptr), endings);
    if (!created) {
        std::printf("The average's files were not saved: %s\n", Words(created.reason()).c_str());
        return 1;
    }
    std::vector<std::string> names;
    std::vector<Written> results;
    for (std::size_t i = 0; i < kAverageFileCount; ++i) {
        names.push_back(created.value().base + kAverageEndings[i]);
        results.push_back(output.Write(i, created.value().Release(i)));
    }
    PrintAverageFiles(names, results);
    for (const Written& result : results) {
        if (!result.ok()) return 1;
    }
    return 0;
}
