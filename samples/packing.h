#pragma once

#include <cstdint>
#include <span>

// Full scale of a sample: 2^23, the magnitude of the most negative 24-bit value.
constexpr double kFullScale = 8388608.0;

// One sample as 3 bytes, little-endian two's complement: bytes[0..2] from
// value, which saturates at -8388608..8388607, and the value -8388608..8388607
// of bytes[0..2].
void Pack24(std::int64_t value, std::uint8_t* bytes);
std::int32_t Unpack24(const std::uint8_t* bytes);
inline void Pack24(std::int64_t value, std::int8_t* bytes) {
    Pack24(value, reinterpret_cast<std::uint8_t*>(bytes));
}
inline std::int32_t Unpack24(const std::int8_t* bytes) {
    return Unpack24(reinterpret_cast<const std::uint8_t*>(bytes));
}

// Packs count samples as 3-byte little-endian two's complement, sample k into
// bytes 3k..3k+2. Values outside -8388608..8388607 saturate at those bounds.
// Converts no more samples than both arrays hold.
void NUM24_TO_CHAR(std::span<const std::int64_t> samples, std::span<std::int8_t> bytes,
                   std::int64_t count);

// Unpacks count samples of width 3 (24-bit) or 2 (16-bit, moved onto the
// 24-bit scale); any other width converts nothing. Converts no more samples
// than both arrays hold.
void CHAR_TO_NUM32(std::span<const std::int8_t> bytes, std::span<std::int64_t> samples,
                   std::int32_t width, std::int64_t count);

// Little-endian byte splits: low byte first.
void Decon2(std::uint16_t value, std::span<std::uint8_t, 2> bytes);
void Decon4(std::int64_t value, std::span<std::uint8_t, 4> bytes);
