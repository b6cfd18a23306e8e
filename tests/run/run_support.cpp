#include "run_support.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

ProgramRun RunProgram(const std::string& input, const std::vector<std::string>& environment,
                      int timeoutSeconds,
                      const std::function<void(const std::filesystem::path&)>& prepare) {
    ProgramRun run;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/zembrak_run_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return run;
    const std::filesystem::path dir = pattern;
    {
        std::ofstream in(dir / "input.txt", std::ios::binary);
        in << input;
    }
    if (prepare) prepare(dir);

    std::string command = "cd " + Quote(dir.string()) + " && ";
    for (const std::string& setting : environment) {
        const std::size_t equals = setting.find('=');
        command += setting.substr(0, equals + 1) + Quote(setting.substr(equals + 1)) + " ";
    }
    command += "timeout -s KILL " + std::to_string(timeoutSeconds) + " " +
               Quote(ZEMBRAK_BINARY) + " <input.txt >stdout.txt 2>stderr.txt";
    const int status = std::system(command.c_str());
    if (status != -1 && WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        // timeout(1) reports a killed program as 128 + 9.
        if (code == 137) {
            run.timedOut = true;
        } else {
            run.exitStatus = code;
        }
    }
    run.out = Slurp(dir / "stdout.txt");
    run.err = Slurp(dir / "stderr.txt");
    const auto resultsPath = dir / "sweep_out.txt";
    std::error_code error;
    run.resultsExist = std::filesystem::is_regular_file(resultsPath, error);
    if (run.resultsExist) run.results = Slurp(resultsPath);
    std::filesystem::remove_all(dir, error);
    return run;
}

std::string Script(const std::string& device, const std::string& commands) {
    return "c " + device + "\n" + commands + "\nc\nx\n";
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
