#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "analysis/correction.h"

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

// The whole word as a finite number.
bool Number(const std::string& word, double& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    return end == word.c_str() + word.size() && std::isfinite(value);
}

// The number after the keyword among words (e.g. "fc" 52 "hz").
enum class Field { Found, Missing, Bad };
Field After(const std::vector<std::string>& words, const char* keyword, double& value) {
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == keyword) return Number(words[i + 1], value) ? Field::Found : Field::Bad;
    }
    return Field::Missing;
}

// Whether the biquad's poles lie strictly inside the unit circle: a filter
// whose frequency is tiny or whose Q or cut is huge puts them on it (to
// double precision), and it would ring for ever or grow.
bool Stable(const BiquadCoefficients& c) {
    return std::abs(c.a2) < 1.0 && std::abs(c.a1) < 1.0 + c.a2;
}

// A line that is not written as a filter but holds a filter's words (a
// misspelt "Filter", a missing colon): passed over, it would leave out a
// filter unseen.
bool LooksLikeAFilter(const std::vector<std::string>& words) {
    const auto has = [&](const char* word) {
        return std::find(words.begin(), words.end(), word) != words.end();
    };
    return has("fc") && has("gain");
}

}  // namespace

Outcome<Correction, EqTextError> ParseEqText(std::string_view text) {
    using Kind = EqTextError::Kind;
    Correction correction;
    std::size_t number = 0;
    std::size_t start = 0;
    bool anyFilter = false;
    bool anyPreamp = false;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        const std::string line = Lower(text.substr(start, end - start));
        start = end + 1;
        const std::vector<std::string> words = Words(line);
        if (words.empty() || words[0][0] == '#' || words[0][0] == '*') continue;
        const std::size_t colon = line.find(':');
        const std::string head = line.substr(0, colon);
        const std::vector<std::string> headWords = Words(head);
        if (colon != std::string::npos && headWords.size() == 1 && headWords[0] == "preamp") {
            const std::vector<std::string> rest = Words(line.substr(colon + 1));
            double gain = 0.0;
            if (rest.empty() || rest.size() > 2 || !Number(rest[0], gain) ||
                (rest.size() == 2 && rest[1] != "db")) {
                return Fail(EqTextError{Kind::BadNumber, number});
            }
            correction.preampDb += gain;
            anyPreamp = true;
            if (!std::isfinite(correction.preampDb))
                return Fail(EqTextError{Kind::BadNumber, number});
            continue;
        }
        // "Filter:", "Filter 3:", "Filter3:".
        const bool filterLine = colon != std::string::npos && !headWords.empty() &&
                                headWords[0].rfind("filter", 0) == 0 && headWords.size() <= 2;
        if (!filterLine) {
            if (LooksLikeAFilter(words)) return Fail(EqTextError{Kind::NotAFilterLine, number});
            continue;  // a title or a note of the program that wrote it
        }
        const std::vector<std::string> rest = Words(line.substr(colon + 1));
        if (rest.empty()) return Fail(EqTextError{Kind::NotAFilterLine, number});
        if (rest[0] == "off") continue;
        if (rest[0] != "on" || rest.size() < 2)
            return Fail(EqTextError{Kind::NotAFilterLine, number});
        if (rest[1] != "pk") return Fail(EqTextError{Kind::NotPeaking, number});
        PeakingFilter filter;
        const Field fields[] = {After(rest, "fc", filter.frequency),
                                After(rest, "gain", filter.gainDb), After(rest, "q", filter.q)};
        for (const Field field : fields) {
            if (field == Field::Missing) return Fail(EqTextError{Kind::NotAFilterLine, number});
            if (field == Field::Bad) return Fail(EqTextError{Kind::BadNumber, number});
        }
        const std::optional<BiquadCoefficients> biquad = CorrectionBiquad(filter);
        if (!(filter.frequency > 0.0) || !(filter.frequency < kCorrectionRate / 2) ||
            !(filter.q > 0.0) || !biquad || !Stable(*biquad)) {
            return Fail(EqTextError{Kind::OutOfRange, number});
        }
        if (correction.filters.size() == kMostEqFilters) {
            return Fail(EqTextError{Kind::TooMany, number});
        }
        correction.filters.push_back(filter);
        anyFilter = true;
    }
    // A correction that needs no filter still has its preamp line.
    if (!anyFilter && !anyPreamp) return Fail(EqTextError{Kind::NoFilter, 0});
    return correction;
}
