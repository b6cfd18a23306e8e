#pragma once

#include <cstdio>
#include <string>

// Reads whitespace-separated tokens of any length from a stream. A number
// read takes the longest numeric prefix of the next token; whatever follows
// it in the token stays unread and is what the next read sees. A token with
// no numeric prefix stays wholly unread.
struct InputReader {
    std::FILE* stream = stdin;
    std::string pending;  // unread rest of the current token; empty when none
};

enum class ReadResult {
    Value,       // the value was read
    NotANumber,  // the next token has no numeric prefix; it stays unread
    EndOfInput,  // no token is left (end of input or a read error)
};

// The whole next token, any length.
ReadResult ReadWord(InputReader& reader, std::string& word);

// A floating number as strtod reads it (inf, nan and hex forms included).
ReadResult ReadDouble(InputReader& reader, double& value);

// An integer as strtol reads it with base 0 (010 is 8, 0x1f is 31); values
// beyond int saturate at the nearest int bound.
ReadResult ReadInt(InputReader& reader, int& value);
