#include "console/input_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

// A reader over a copy of `text`; closes its stream when done.
struct ScriptedInput {
    explicit ScriptedInput(const std::string& text) : text(text) {
        reader.stream = fmemopen(this->text.data(), this->text.size(), "r");
    }
    ~ScriptedInput() { std::fclose(reader.stream); }
    std::string text;
    InputReader reader;
};

std::string Word(InputReader& reader) {
    std::string word;
    EXPECT_EQ(ReadWord(reader, word), ReadResult::Value);
    return word;
}

TEST(InputReader, WordsOfAnyLengthAcrossAnyWhitespace) {
    const std::string longWord(100000, 'w');
    ScriptedInput in(" \t\n a\r\vbc\f" + longWord + "\nlast");
    EXPECT_EQ(Word(in.reader), "a");
    EXPECT_EQ(Word(in.reader), "bc");
    EXPECT_EQ(Word(in.reader), longWord);
    EXPECT_EQ(Word(in.reader), "last");
    std::string word = "kept";
    EXPECT_EQ(ReadWord(in.reader, word), ReadResult::EndOfInput);
    EXPECT_EQ(ReadWord(in.reader, word), ReadResult::EndOfInput);
}

TEST(InputReader, AnOverlongTokenIsOneWordKeptToTheLimit) {
    // Three times the limit: the rest is dropped, not split into more words.
    ScriptedInput in(std::string(3 * kMaxTokenLength, 'x') + "1 next");
    std::string word;
    ASSERT_EQ(ReadWord(in.reader, word), ReadResult::Value);
    EXPECT_EQ(word, std::string(kMaxTokenLength, 'x'));
    EXPECT_EQ(Word(in.reader), "next");
    EXPECT_EQ(ReadWord(in.reader, word), ReadResult::EndOfInput);
}

TEST(InputReader, EndOfInputAtEveryKindOfRead) {
    ScriptedInput in(" \n\t ");
    std::string word;
    double d = 1.5;
    int i = 7;
    EXPECT_EQ(ReadWord(in.reader, word), ReadResult::EndOfInput);
    EXPECT_EQ(ReadDouble(in.reader, d), ReadResult::EndOfInput);
    EXPECT_EQ(ReadInt(in.reader, i), ReadResult::EndOfInput);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(i, 7);
}

TEST(InputReader, DoubleTakesTheLongestNumericPrefix) {
    ScriptedInput in("12abc 1.5e2 -0.25 1e5x 0x1p4 .5. inf -INFINITY nan(7)z 1e999");
    double d = 0;
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_EQ(d, 12.0);
    EXPECT_EQ(Word(in.reader), "abc");
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_EQ(d, 150.0);
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_EQ(d, -0.25);
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_EQ(d, 100000.0);
    EXPECT_EQ(Word(in.reader), "x");
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_EQ(d, 16.0);
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_EQ(d, 0.5);
    EXPECT_EQ(Word(in.reader), ".");
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_TRUE(std::isinf(d) && d > 0);
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_TRUE(std::isinf(d) && d < 0);
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_TRUE(std::isnan(d));
    EXPECT_EQ(Word(in.reader), "z");
    ASSERT_EQ(ReadDouble(in.reader, d), ReadResult::Value);
    EXPECT_TRUE(std::isinf(d));
}

TEST(InputReader, TokenWithoutNumberStaysUnread) {
    ScriptedInput in("x -e .e5 +");
    double d = 3.0;
    int i = 3;
    EXPECT_EQ(ReadDouble(in.reader, d), ReadResult::NotANumber);
    EXPECT_EQ(ReadInt(in.reader, i), ReadResult::NotANumber);
    EXPECT_EQ(Word(in.reader), "x");
    EXPECT_EQ(ReadDouble(in.reader, d), ReadResult::NotANumber);
    EXPECT_EQ(Word(in.reader), "-e");
    EXPECT_EQ(ReadDouble(in.reader, d), ReadResult::NotANumber);
    EXPECT_EQ(Word(in.reader), ".e5");
    EXPECT_EQ(ReadInt(in.reader, i), ReadResult::NotANumber);
    EXPECT_EQ(Word(in.reader), "+");
    EXPECT_EQ(d, 3.0);
    EXPECT_EQ(i, 3);
}

TEST(InputReader, IntegerBasePrefixes) {
    ScriptedInput in("010 0x1f -3 +7 08 0x 0X10 1.9 017x");
    const int expected[] = {8, 31, -3, 7};
    int i = 0;
    for (int e : expected) {
        ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);
        EXPECT_EQ(i, e);
    }
    ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);  // 08: octal stops at 8
    EXPECT_EQ(i, 0);
    ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);
    EXPECT_EQ(i, 8);
    ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);  // 0x: only the 0 is a number
    EXPECT_EQ(i, 0);
    EXPECT_EQ(Word(in.reader), "x");
    ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);
    EXPECT_EQ(i, 16);
    ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(Word(in.reader), ".9");
    ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);
    EXPECT_EQ(i, 15);
    EXPECT_EQ(Word(in.reader), "x");
}

TEST(InputReader, IntegersBeyondIntSaturate) {
    ScriptedInput in(
        "2147483647 2147483648 -2147483648 -2147483649 "
        "99999999999999999999999 -0x7fffffffffffffffffff");
    const int expected[] = {INT_MAX, INT_MAX, INT_MIN, INT_MIN, INT_MAX, INT_MIN};
    for (int e : expected) {
        int i = 0;
        ASSERT_EQ(ReadInt(in.reader, i), ReadResult::Value);
        EXPECT_EQ(i, e);
    }
}

}  // namespace
