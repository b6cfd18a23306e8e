#include "console/eq_files.h"

#include <utility>

#include "console/text_file.h"

std::string Words(const EqTextError& error) {
    switch (error.kind) {
        case EqTextError::Kind::NotAFilterLine:
            return "not a filter of the form \"Filter N: ON PK Fc F Hz Gain G dB Q Q\"";
        case EqTextError::Kind::NotPeaking:
            return "not a peaking filter (PK), the only kind this program plays";
        case EqTextError::Kind::BadNumber:
            return "a value is not a finite number";
        case EqTextError::Kind::OutOfRange:
            return "the frequency is not between 0 Hz and 24000 Hz (half of 48000 Hz), Q is not "
                   "above 0, or the filter is too sharp or too deep to be played stably";
        case EqTextError::Kind::NoFilter:
            return "no filter in it";
        case EqTextError::Kind::TooMany:
            return "more than " + std::to_string(kMostEqFilters) + " filters";
    }
    return "unknown";
}

Outcome<LoadedEq, std::string> LoadEqFile(const std::string& path) {
    static const char* const kRole = "equalizer file";
    const auto text = ReadRegularFile(path, kMaxEqFileSize);
    if (!text) return Fail(FileProblem(kRole, path, 0, text.reason()));
    auto parse = ParseEqText(text.value());
    if (!parse) return Fail(FileProblem(kRole, path, parse.reason().line, Words(parse.reason())));
    return LoadedEq{path, std::move(parse.value())};
}
