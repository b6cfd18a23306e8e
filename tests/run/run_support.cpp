#include "run_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::string Script(const std::string& device, const std::string& commands) {
    return "c " + device + "\n" + commands + "\nc\nx\n";
}

std::string DeviceHint(const std::string& device) {
    return "Device \"" + device +
           "\" cannot measure: zembrak -L lists the devices and which of them can.\n";
}

std::string TableText(const std::string& out, std::size_t from) {
    const std::size_t start = out.find("Results:\n", from);
    if (start == std::string::npos) return "";
    std::size_t end = out.find("Band\tRange (Hz)\tdB\n", start);
    if (end == std::string::npos) return "";
    end = out.find('\n', end) + 1;
    // Rows begin with a band number.
    while (end < out.size() && out[end] >= '0' && out[end] <= '9') {
        const std::size_t next = out.find('\n', end);
        if (next == std::string::npos) break;
        end = next + 1;
    }
    return out.substr(start, end - start);
}

std::vector<BandRow> TableRows(const std::string& table) {
    std::vector<BandRow> rows;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        BandRow row;
        char level[32] = {};
        if (std::sscanf(line.c_str(), "%d\t%lf\t%lf\t%31s", &row.band, &row.low, &row.high,
                        level) == 4) {
            row.level = std::strtod(level, nullptr);
            rows.push_back(row);
        }
    }
    return rows;
}

int Count(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

double NumberAfter(const std::string& text, const std::string& prefix) {
    const std::size_t at = text.find(prefix);
    if (at == std::string::npos) return std::nan("");
    return std::strtod(text.c_str() + at + prefix.size(), nullptr);
}

void WriteMonoWav(const std::filesystem::path& path, std::span<const float> samples) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(samples.size());
    EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    EXPECT_EQ(sf_close(file), 0);
}

ImpulseFile ReadImpulseFile(const ProgramRun& run) {
    ImpulseFile result;
    const auto ir = std::find_if(run.files.begin(), run.files.end(),
                                 [](const auto& file) { return file.first.ends_with("_ir.wav"); });
    if (ir == run.files.end()) {
        ADD_FAILURE() << "the run wrote no impulse-response file";
        return result;
    }
    const std::filesystem::path wav = std::filesystem::path(testing::TempDir()) / "run_ir.wav";
    std::ofstream(wav, std::ios::binary) << ir->second;
    SF_INFO info{};
    SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << sf_strerror(nullptr);
        std::filesystem::remove(wav);
        return result;
    }
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    result.samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(info.frames, 0)));
    EXPECT_EQ(sf_readf_float(file, result.samples.data(), info.frames), info.frames);
    SF_CUES cues{};
    if (sf_command(file, SFC_GET_CUE, &cues, sizeof cues) == SF_TRUE) {
        for (std::uint32_t i = 0; i < cues.cue_count && i < 100; ++i) {
            result.cues.push_back(cues.cue_points[i].sample_offset);
        }
    }
    sf_close(file);
    std::filesystem::remove(wav);
    result.read = true;
    return result;
}

std::string FileEndingIn(const ProgramRun& run, const std::string& ending) {
    for (const auto& [name, contents] : run.files) {
        if (name.ends_with(ending)) return contents;
    }
    return "";
}

std::vector<std::pair<double, double>> ResponseFilePoints(const std::string& text) {
    std::vector<std::pair<double, double>> points;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        double f, level;
        if (!line.empty() && line[0] != '*' &&
            std::sscanf(line.c_str(), "%lf %lf", &f, &level) == 2) {
            points.push_back({f, level});
        }
    }
    return points;
}

std::string RigFiltersField(std::span<const RigFilter> filters) {
    static const char* const kinds[] = {"peaking", "lowshelf", "highshelf", "highpass", "lowpass"};
    std::string text = "filters [\n";
    for (const RigFilter& f : filters) {
        text += std::string("{ type ") + kinds[static_cast<int>(f.type)] + " freq " +
                std::to_string(f.freq) + " gain " + std::to_string(f.gain) + " q " +
                std::to_string(f.q) + " }\n";
    }
    return text + "]";
}
