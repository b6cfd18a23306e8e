#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "samples/packing.h"

namespace {

std::array<std::uint8_t, 3> Pack(std::int64_t value) {
    const std::int64_t samples[1] = {value};
    std::int8_t bytes[3] = {};
    NUM24_TO_CHAR(samples, bytes, 1);
    return {static_cast<std::uint8_t>(bytes[0]), static_cast<std::uint8_t>(bytes[1]),
            static_cast<std::uint8_t>(bytes[2])};
}

std::int64_t Unpack(std::vector<std::uint8_t> raw, std::int32_t width) {
    std::vector<std::int8_t> bytes(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        bytes[i] = static_cast<std::int8_t>(raw[i]);
    }
    std::int64_t sample[1] = {12345};
    CHAR_TO_NUM32(bytes, sample, width, 1);
    return sample[0];
}

using Bytes = std::array<std::uint8_t, 3>;

TEST(Packing, WritesLowThreeBytesLowestFirst) {
    EXPECT_EQ(Pack(0), (Bytes{0x00, 0x00, 0x00}));
    EXPECT_EQ(Pack(1), (Bytes{0x01, 0x00, 0x00}));
    EXPECT_EQ(Pack(-1), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Pack(-2), (Bytes{0xFE, 0xFF, 0xFF}));
    EXPECT_EQ(Pack(255), (Bytes{0xFF, 0x00, 0x00}));
    EXPECT_EQ(Pack(256), (Bytes{0x00, 0x01, 0x00}));
    EXPECT_EQ(Pack(-129), (Bytes{0x7F, 0xFF, 0xFF}));
    EXPECT_EQ(Pack(8388607), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(Pack(-8388608), (Bytes{0x00, 0x00, 0x80}));
    EXPECT_EQ(Pack(4194304), (Bytes{0x00, 0x00, 0x40}));
    EXPECT_EQ(Pack(-4194304), (Bytes{0x00, 0x00, 0xC0}));
}

TEST(Packing, SaturatesOutsideThe24BitRange) {
    EXPECT_EQ(Pack(8388608), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(Pack(16777216), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(Pack(std::numeric_limits<std::int64_t>::max()), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(Pack(-8388609), (Bytes{0x00, 0x00, 0x80}));
    EXPECT_EQ(Pack(std::numeric_limits<std::int64_t>::min()), (Bytes{0x00, 0x00, 0x80}));
}

TEST(Packing, UnpacksWidthThree) {
    EXPECT_EQ(Unpack({0xFF, 0xFF, 0xFF}, 3), -1);
    EXPECT_EQ(Unpack({0x00, 0x00, 0x80}, 3), -8388608);
    EXPECT_EQ(Unpack({0xFF, 0xFF, 0x7F}, 3), 8388607);
    EXPECT_EQ(Unpack({0x7F, 0xFF, 0xFF}, 3), -129);
    EXPECT_EQ(Unpack({0x34, 0x12, 0x00}, 3), 0x1234);
}

TEST(Packing, UnpacksWidthTwoOntoThe24BitScale) {
    EXPECT_EQ(Unpack({0x01, 0x00}, 2), 256);
    EXPECT_EQ(Unpack({0xFF, 0x7F}, 2), 8388352);
    EXPECT_EQ(Unpack({0x00, 0x80}, 2), -8388608);
    EXPECT_EQ(Unpack({0xFF, 0xFF}, 2), -256);
}

TEST(Packing, OtherWidthsConvertNothing) {
    for (std::int32_t width : {-3, 0, 1, 4, 8, std::numeric_limits<std::int32_t>::max()}) {
        EXPECT_EQ(Unpack({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, width), 12345) << width;
    }
}

TEST(Packing, EveryValueSurvivesTheRoundTrip) {
    constexpr std::int64_t kCount = 16777216;
    std::vector<std::int64_t> samples(kCount);
    for (std::int64_t k = 0; k < kCount; ++k) {
        samples[k] = k - 8388608;
    }
    std::vector<std::int8_t> bytes(3 * kCount);
    NUM24_TO_CHAR(samples, bytes, kCount);
    std::vector<std::int64_t> back(kCount, 99);
    CHAR_TO_NUM32(bytes, back, 3, kCount);
    std::int64_t mismatches = 0;
    for (std::int64_t k = 0; k < kCount; ++k) {
        mismatches += back[k] != samples[k];
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Packing, ChannelTwoBlockOfTheRunBuffer) {
    // Two non-interleaved channels of 528000 frames: channel 2 starts at
    // byte 3 * 528000.
    constexpr std::int64_t kFrames = 528000;
    std::vector<std::int8_t> bytes(6 * kFrames, 0);
    const std::int64_t channel2[2] = {0x123456, -2};
    NUM24_TO_CHAR(channel2, std::span(bytes).subspan(3 * kFrames), 2);
    EXPECT_EQ(bytes[1584000 - 1], 0);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[1584000]), 0x56);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[1584002]), 0x12);
    std::vector<std::int64_t> back(2);
    CHAR_TO_NUM32(std::span<const std::int8_t>(bytes).subspan(1584000), back, 3, 2);
    EXPECT_EQ(back, (std::vector<std::int64_t>{0x123456, -2}));
}

TEST(Packing, CountsBeyondTheArraysAreClampedAndNegativeCountsDoNothing) {
    const std::int64_t samples[2] = {1, 2};
    std::vector<std::int8_t> bytes(7, 0x55);  // room for two samples and one spare byte
    NUM24_TO_CHAR(samples, bytes, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(bytes[3], 2);
    EXPECT_EQ(bytes[6], 0x55);

    std::vector<std::int8_t> fewBytes(3, 0x55);
    NUM24_TO_CHAR(samples, fewBytes, 2);
    EXPECT_EQ(fewBytes[0], 1);

    std::vector<std::int8_t> untouched(6, 0x55);
    NUM24_TO_CHAR(samples, untouched, 0);
    NUM24_TO_CHAR(samples, untouched, -5);
    EXPECT_EQ(untouched, std::vector<std::int8_t>(6, 0x55));

    std::vector<std::int64_t> out(3, 7);
    CHAR_TO_NUM32(bytes, out, 3, 1000);  // 7 bytes hold two whole samples
    EXPECT_EQ(out, (std::vector<std::int64_t>{1, 2, 7}));
    std::vector<std::int64_t> one(1, 7);
    CHAR_TO_NUM32(bytes, one, 2, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(one[0], 256);
    CHAR_TO_NUM32(bytes, one, 3, -1);
    EXPECT_EQ(one[0], 256);
}

TEST(Packing, Decon) {
    std::array<std::uint8_t, 2> two{};
    Decon2(4660, two);
    EXPECT_EQ(two, (std::array<std::uint8_t, 2>{0x34, 0x12}));
    Decon2(65535, two);
    EXPECT_EQ(two, (std::array<std::uint8_t, 2>{0xFF, 0xFF}));

    std::array<std::uint8_t, 4> four{};
    Decon4(16909060, four);
    EXPECT_EQ(four, (std::array<std::uint8_t, 4>{0x04, 0x03, 0x02, 0x01}));
    Decon4(0x1FFFFFFFF, four);  // only bits 0 to 31 are written
    EXPECT_EQ(four, (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    Decon4(-2, four);
    EXPECT_EQ(four, (std::array<std::uint8_t, 4>{0xFE, 0xFF, 0xFF, 0xFF}));
}

// --- One sample ---

// A 3-byte pattern's value is b0 + 256 b1 + 65536 b2, less 2^24 when the
// top bit is set; packing that value gives the same bytes back, from signed
// and from unsigned bytes alike. Every low and top byte, with middle bytes
// at both ends of their range.
TEST(Packing, PatternsUnpackToTheirValueAndPackBack) {
    std::vector<std::uint32_t> patterns;
    for (std::uint32_t top = 0; top < 256; ++top) {
        for (const std::uint32_t middle : {0x00u, 0x01u, 0x7Fu, 0x80u, 0xFEu, 0xFFu}) {
            for (std::uint32_t low = 0; low < 256; ++low) {
                patterns.push_back(top << 16 | middle << 8 | low);
            }
        }
    }
    for (const std::uint32_t pattern : patterns) {
        const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(pattern & 0xFF),
                                       static_cast<std::uint8_t>((pattern >> 8) & 0xFF),
                                       static_cast<std::uint8_t>(pattern >> 16)};
        const std::int64_t expected = bytes[0] + 256 * std::int64_t{bytes[1]} +
                                      65536 * std::int64_t{bytes[2]} -
                                      (bytes[2] >= 0x80 ? (std::int64_t{1} << 24) : 0);
        const std::int8_t signedBytes[3] = {static_cast<std::int8_t>(bytes[0]),
                                            static_cast<std::int8_t>(bytes[1]),
                                            static_cast<std::int8_t>(bytes[2])};
        ASSERT_EQ(Unpack24(bytes), expected) << pattern;
        ASSERT_EQ(Unpack24(signedBytes), expected) << pattern;
        std::uint8_t back[3] = {0x55, 0x55, 0x55};
        Pack24(expected, back);
        ASSERT_TRUE(back[0] == bytes[0] && back[1] == bytes[1] && back[2] == bytes[2]) << pattern;
    }
}

}  // namespace
