#include "analysis/calibration.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The field of a line that starts at or after `position`, which moves past
// it; empty at the end of the line. A run of separators counts as one.
std::string_view NextField(std::string_view line, std::size_t& position) {
    while (position < line.size() && IsSeparator(line[position])) ++position;
    const std::size_t begin = position;
    while (position < line.size() && !IsSeparator(line[position])) ++position;
    return line.substr(begin, position - begin);
}

// How many fields the line has from `position` on, without keeping them: a
// line may be as long as the whole text.
std::size_t CountFields(std::string_view line, std::size_t position) {
    std::size_t count = 0;
    while (!NextField(line, position).empty()) ++count;
    return count;
}

std::string_view WithoutSign(std::string_view field) {
    if (!field.empty() && (field[0] == '+' || field[0] == '-')) field.remove_prefix(1);
    return field;
}

// A comma between two digits in a line whose fields are also parted by
// blanks or tabs: "100 0,5" is a gain of 0.5 dB written with a decimal
// comma, not a gain of 0 dB and a phase of 5 degrees.
bool HasDecimalComma(std::string_view line) {
    if (line.find_first_of(" \t") == std::string_view::npos) return false;
    for (std::size_t i = 1; i + 1 < line.size(); ++i) {
        if (line[i] == ',' && IsDigit(line[i - 1]) && IsDigit(line[i + 1])) return true;
    }
    return false;
}

// "nan", "inf" or "infinity" in any case, with an optional sign.
bool IsNonFiniteWord(std::string_view field) {
    const std::string_view word = WithoutSign(field);
    if (word.size() > 8) return false;
    std::string lower;
    for (const char c : word) lower.push_back(Lower(c));
    return lower == "nan" || lower == "inf" || lower == "infinity";
}

// A field that begins the way a number does: a digit, or a point and a
// digit, after an optional sign.
bool StartsLikeNumber(std::string_view field) {
    const std::string_view rest = WithoutSign(field);
    if (rest.empty()) return false;
    if (IsDigit(rest[0])) return true;
    return rest.size() >= 2 && rest[0] == '.' && IsDigit(rest[1]);
}

// Decimal number grammar: sign, digits with an optional point (at least one
// digit), optional exponent.
bool IsDecimal(std::string_view field) {
    std::string_view rest = WithoutSign(field);
    std::size_t i = 0;
    std::size_t digits = 0;
    while (i < rest.size() && IsDigit(rest[i])) ++i, ++digits;
    if (i < rest.size() && rest[i] == '.') {
        ++i;
        while (i < rest.size() && IsDigit(rest[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
        ++i;
        if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
        std::size_t exponentDigits = 0;
        while (i < rest.size() && IsDigit(rest[i])) ++i, ++exponentDigits;
        if (exponentDigits == 0) return false;
    }
    return i == rest.size();
}

enum class FieldResult { Value, NotANumber, NotFinite };

// The program never changes the C locale, so strtod reads '.' as the point.
FieldResult ReadField(std::string_view field, double& value) {
    if (IsNonFiniteWord(field)) return FieldResult::NotFinite;
    if (!IsDecimal(field)) return FieldResult::NotANumber;
    const std::string copy(field);
    value = std::strtod(copy.c_str(), nullptr);
    // Overflow gives an infinity; underflow a value near 0, which is kept.
    return std::isfinite(value) ? FieldResult::Value : FieldResult::NotFinite;
}

// A line that is a data line but for its first field, which begins with a
// letter, a point or a sign (not with a comment's mark), holds a digit and
// is no number: "l00 -9.2" is 100 Hz with a letter for a digit, not a title.
// Titles and headers have words after their first or none with a digit
// ("nano 3"); comments begin with a mark.
bool IsMistypedDataLine(std::string_view line, std::string_view first, std::size_t cursor,
                        const FrequencyTableRules& rules) {
    const auto byte = static_cast<unsigned char>(first[0]);
    const bool opensLikeData = (byte < 0x80 && std::isalnum(byte)) || first[0] == '.' ||
                               first[0] == '+' || first[0] == '-';
    if (!opensLikeData || std::none_of(first.begin(), first.end(), IsDigit)) return false;
    std::size_t others = 0;
    for (std::string_view field = NextField(line, cursor); !field.empty();
         field = NextField(line, cursor)) {
        if (!IsDecimal(field)) return false;
        ++others;
    }
    return others >= 1 && (others <= 2 || rules.furtherColumns);
}

Failure<CalibrationError> Refusal(CalibrationError::Kind kind, std::size_t line) {
    CalibrationError error;
    error.kind = kind;
    error.line = line;
    return Fail(error);
}

// Linear over log frequency, held at the ends; `value` picks the column.
template <typename Value>
double Interpolate(const Calibration& calibration, double frequency, Value value) {
    const std::vector<CalibrationPoint>& points = calibration.points;
    if (points.empty()) return 0.0;
    if (std::isnan(frequency)) return frequency;
    if (frequency <= points.front().frequency) return value(points.front());
    if (frequency >= points.back().frequency) return value(points.back());
    // The first point above the frequency; one at or below it comes before.
    const auto above = std::upper_bound(
        points.begin(), points.end(), frequency,
        [](double f, const CalibrationPoint& point) { return f < point.frequency; });
    const CalibrationPoint& high = *above;
    const CalibrationPoint& low = *(above - 1);
    const double t = std::log(frequency / low.frequency) / std::log(high.frequency / low.frequency);
    return value(low) + t * (value(high) - value(low));
}

}  // namespace

Outcome<Calibration, CalibrationError> ParseCalibration(std::string_view text) {
    return ParseFrequencyTable(text, FrequencyTableRules{});
}

Outcome<Calibration, CalibrationError> ParseFrequencyTable(std::string_view text,
                                                           const FrequencyTableRules& rules) {
    using Kind = CalibrationError::Kind;
    Calibration calibration;
    std::size_t lineNumber = 0;
    std::size_t firstDataLine = 0;
    std::size_t previousLine = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t end = std::min(text.find('\n', position), text.size());
        const std::string_view line = text.substr(position, end - position);
        position = end + 1;
        ++lineNumber;

        // Titles, headers and comments ('*', '#', '"') start with no number.
        std::size_t cursor = 0;
        const std::string_view first = NextField(line, cursor);
        if (first.empty()) continue;
        if (!(StartsLikeNumber(first) || IsNonFiniteWord(first))) {
            if (IsMistypedDataLine(line, first, cursor, rules)) {
                return Refusal(Kind::FirstFieldTypo, lineNumber);
            }
            continue;
        }
        if (HasDecimalComma(line)) {
            return Refusal(Kind::DecimalComma, lineNumber);
        }
        const std::size_t fieldCount = 1 + CountFields(line, cursor);
        if (fieldCount == 1) return Refusal(Kind::NoGain, lineNumber);
        if (fieldCount > 3 && !rules.furtherColumns) {
            return Refusal(Kind::TooManyFields, lineNumber);
        }

        double values[3] = {0.0, 0.0, 0.0};
        cursor = 0;
        for (std::size_t i = 0; i < fieldCount; ++i) {
            double value = 0.0;
            const FieldResult result = ReadField(NextField(line, cursor), value);
            if (result != FieldResult::Value) {
                auto refusal =
                    Refusal(result == FieldResult::NotANumber ? Kind::NotANumber : Kind::NotFinite,
                            lineNumber);
                // A line holds fewer fields than an int counts: the text is
                // limited far below.
                refusal.reason.field = static_cast<int>(std::min<std::size_t>(i, INT_MAX));
                return refusal;
            }
            if (i < 3) values[i] = value;
        }
        if (!rules.zeroHzDropped && values[0] <= 0.0) {
            return Refusal(Kind::NotAbove0Hz, lineNumber);
        }
        if (values[0] < 0.0) return Refusal(Kind::Below0Hz, lineNumber);
        // An FFT's first bin; once there are points, 0 Hz does not rise.
        if (values[0] == 0.0 && calibration.points.empty()) continue;

        const bool hasPhase = fieldCount >= 3;
        if (calibration.points.empty()) {
            calibration.hasPhase = hasPhase;
            firstDataLine = lineNumber;
        } else {
            if (values[0] <= calibration.points.back().frequency) {
                auto refusal = Refusal(Kind::NotRising, lineNumber);
                refusal.reason.otherLine = previousLine;
                return refusal;
            }
            if (hasPhase != calibration.hasPhase) {
                auto refusal = Refusal(Kind::PhaseUnlike, lineNumber);
                refusal.reason.otherLine = firstDataLine;
                refusal.reason.hasPhase = hasPhase;
                return refusal;
            }
        }
        calibration.points.push_back({values[0], values[1], values[2]});
        previousLine = lineNumber;
    }
    if (calibration.points.size() < 2) {
        const std::size_t lastLine = std::max<std::size_t>(lineNumber, 1);
        return Refusal(calibration.points.empty() ? Kind::NoDataLines : Kind::OneDataLine,
                       lastLine);
    }
    return calibration;
}

double GainAt(const Calibration& calibration, double frequency) {
    return Interpolate(calibration, frequency,
                       [](const CalibrationPoint& point) { return point.gainDb; });
}

double PhaseAt(const Calibration& calibration, double frequency) {
    if (!calibration.hasPhase && !std::isnan(frequency)) return 0.0;
    return Interpolate(calibration, frequency,
                       [](const CalibrationPoint& point) { return point.phaseDeg; });
}
