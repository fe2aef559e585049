#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

// Writes images as PNG files in memory. Pure; any thread.
struct PngEncoder {
    // An 8-bit RGBA PNG of `width` × `height` premultiplied 0xAARRGGBB pixels, row by row; the
    // colours are divided back by alpha (a fully transparent pixel is written as 0, 0, 0, 0).
    // Absent for an empty image, too few pixels or a failure of the encoder.
    static std::optional<std::vector<uint8_t>> encodePremultipliedArgb(int width, int height,
                                                                       std::span<const uint32_t> argb);
};

}  // namespace kelvo
