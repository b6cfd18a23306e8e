#include "console/input_reader.h"

#include <cctype>
#include <climits>
#include <cstdlib>

namespace {

// Makes sure the reader holds a token to work on. False at end of input.
bool FillPending(InputReader& reader) {
    if (reader.offset < reader.pending.size()) {
        return true;
    }
    reader.pending.clear();
    reader.offset = 0;
    int c = std::getc(reader.stream);
    while (c != EOF && std::isspace(c)) {
        c = std::getc(reader.stream);
    }
    while (c != EOF && !std::isspace(c)) {
        if (reader.pending.size() < kMaxTokenLength) {
            reader.pending.push_back(static_cast<char>(c));
        }
        c = std::getc(reader.stream);
    }
    // The whitespace that ended the token is consumed, as a word read does.
    return !reader.pending.empty();
}

}  // namespace

ReadResult ReadWord(InputReader& reader, std::string& word) {
    if (!FillPending(reader)) {
        return ReadResult::EndOfInput;
    }
    if (reader.offset == 0) {
        word.swap(reader.pending);
    } else {
        word.assign(reader.pending, reader.offset);
    }
    reader.pending.clear();
    reader.offset = 0;
    return ReadResult::Value;
}

ReadResult ReadDouble(InputReader& reader, double& value) {
    if (!FillPending(reader)) {
        return ReadResult::EndOfInput;
    }
    const char* begin = reader.pending.c_str() + reader.offset;
    char* end = nullptr;
    const double parsed = std::strtod(begin, &end);
    if (end == begin) {
        return ReadResult::NotANumber;
    }
    value = parsed;
    reader.offset += static_cast<std::size_t>(end - begin);
    return ReadResult::Value;
}

ReadResult ReadInt(InputReader& reader, int& value) {
    if (!FillPending(reader)) {
        return ReadResult::EndOfInput;
    }
    const char* begin = reader.pending.c_str() + reader.offset;
    char* end = nullptr;
    // strtol itself saturates at the long bounds; the rest is done here.
    const long parsed = std::strtol(begin, &end, 0);
    if (end == begin) {
        return ReadResult::NotANumber;
    }
    if (parsed > INT_MAX) {
        value = INT_MAX;
    } else if (parsed < INT_MIN) {
        value = INT_MIN;
    } else {
        value = static_cast<int>(parsed);
    }
    reader.offset += static_cast<std::size_t>(end - begin);
    return ReadResult::Value;
}
