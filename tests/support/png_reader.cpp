#include "support/png_reader.hpp"

#include <png.h>

namespace kelvo::test {

std::optional<DecodedPng> decodePng(std::span<const uint8_t> bytes, bool premultiplied) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    DecodedPng out{int(image.width), int(image.height), {}};
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
        uint32_t px = uint32_t(rgba[i + 3]) << 24 | uint32_t(rgba[i]) << 16 | uint32_t(rgba[i + 1]) << 8 | rgba[i + 2];
        out.argb.push_back(premultiplied ? premultiply(px) : px);
    }
    return out;
}

uint32_t premultiply(uint32_t px) {
    uint32_t a = px >> 24;
    auto channel = [a](uint32_t c) { return (c * a + 127) / 255; };
    return a << 24 | channel((px >> 16) & 0xff) << 16 | channel((px >> 8) & 0xff) << 8 | channel(px & 0xff);
}

}  // namespace kelvo::test
