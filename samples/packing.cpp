#include "samples/packing.h"

#include <algorithm>

namespace {

constexpr std::int64_t kMin24 = -8388608;
constexpr std::int64_t kMax24 = 8388607;

// Number of items to convert: count, but never more than either array holds.
std::int64_t Fit(std::int64_t count, std::size_t inputItems, std::size_t outputItems) {
    const std::size_t room = std::min(inputItems, outputItems);
    return std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(room));
}

std::uint8_t Unsigned(std::int8_t byte) {
    return static_cast<std::uint8_t>(byte);
}

}  // namespace

void Pack24(std::int64_t value, std::uint8_t* bytes) {
    // Values outside the 24-bit range saturate instead of wrapping.
    const auto v = static_cast<std::uint32_t>(std::clamp(value, kMin24, kMax24));
    bytes[0] = static_cast<std::uint8_t>(v & 0xFF);
    bytes[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    bytes[2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
}

std::int32_t Unpack24(const std::uint8_t* bytes) {
    const std::uint32_t v =
        std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16;
    // Flipping the sign bit and subtracting its weight extends the sign.
    return static_cast<std::int32_t>(v ^ 0x800000u) - 0x800000;
}

void NUM24_TO_CHAR(std::span<const std::int64_t> samples, std::span<std::int8_t> bytes,
                   std::int64_t count) {
    const std::int64_t n = Fit(count, samples.size(), bytes.size() / 3);
    for (std::int64_t k = 0; k < n; ++k) Pack24(samples[k], &bytes[3 * k]);
}

void CHAR_TO_NUM32(std::span<const std::int8_t> bytes, std::span<std::int64_t> samples,
                   std::int32_t width, std::int64_t count) {
    if (width == 3) {
        const std::int64_t n = Fit(count, bytes.size() / 3, samples.size());
        for (std::int64_t k = 0; k < n; ++k) samples[k] = Unpack24(&bytes[3 * k]);
    } else if (width == 2) {
        // 16-bit samples are moved onto the 24-bit scale.
        const std::int64_t n = Fit(count, bytes.size() / 2, samples.size());
        for (std::int64_t k = 0; k < n; ++k) {
            samples[k] =
                (std::int64_t{bytes[2 * k + 1]} * 256 + std::int64_t{Unsigned(bytes[2 * k])}) * 256;
        }
    }
    // Any other width converts nothing.
}

void Decon2(std::uint16_t value, std::span<std::uint8_t, 2> bytes) {
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

void Decon4(std::int64_t value, std::span<std::uint8_t, 4> bytes) {
    // A negative value gives the low 32 bits of its two's complement.
    const auto v = static_cast<std::uint64_t>(value);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
    }
}
