#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Reads whitespace-separated tokens of any length from a stream. A number
// read takes the longest numeric prefix of the next token; whatever follows
// it in the token stays unread and is what the next read sees. A token with
// no numeric prefix stays wholly unread.
//
// A token is kept up to kMaxTokenLength characters; the rest of a longer one
// is read and dropped, so it never becomes words of its own and never takes
// more memory than that. Such a token is no command, no device name and no
// number anyone types.
constexpr std::size_t kMaxTokenLength = std::size_t{1} << 20;

struct InputReader {
    std::FILE* stream = stdin;
    // The current token; its unread rest begins at `offset` (none when the
    // offset has reached its end). Numbers read from a token move the
    // offset rather than erase its front, so a long token costs time in
    // proportion to its length.
    std::string pending;
    std::size_t offset = 0;
};

enum class ReadResult {
    Value,       // the value was read
    NotANumber,  // the next token has no numeric prefix; it stays unread
    EndOfInput,  // no token is left (end of input or a read error)
};

// The whole next token (up to kMaxTokenLength characters of it).
ReadResult ReadWord(InputReader& reader, std::string& word);

// A floating number as strtod reads it (inf, nan and hex forms included).
ReadResult ReadDouble(InputReader& reader, double& value);

// An integer as strtol reads it with base 0 (010 is 8, 0x1f is 31); values
// beyond int saturate at the nearest int bound.
ReadResult ReadInt(InputReader& reader, int& value);
