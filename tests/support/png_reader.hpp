#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvo::test {

// A PNG file read back as 0xAARRGGBB pixels, row by row.
struct DecodedPng {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;
    bool operator==(const DecodedPng&) const = default;
};

// Straight colours, or multiplied by alpha with `premultiplied`. Absent when the bytes are not a
// PNG libpng can read.
std::optional<DecodedPng> decodePng(std::span<const uint8_t> bytes, bool premultiplied = false);

// 0xAARRGGBB with the colours multiplied by alpha, rounded: how the desktop hands cursors over.
uint32_t premultiply(uint32_t straightArgb);

}  // namespace kelvo::test
