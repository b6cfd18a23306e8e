#include "run_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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
