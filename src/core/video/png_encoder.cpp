#include "core/video/png_encoder.hpp"

#include <png.h>

#include <algorithm>
#include <csetjmp>

namespace kelvo {

namespace {

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// Straight colour from a premultiplied one, rounded; a colour above its alpha (not a valid
// premultiplied pixel) saturates instead of wrapping.
uint8_t unpremultiply(uint32_t c, uint32_t a) {
    if (a == 0) return 0;
    return uint8_t(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
}

}  // namespace

std::optional<std::vector<uint8_t>> PngEncoder::encodePremultipliedArgb(int width, int height,
                                                                        std::span<const uint32_t> argb) {
    if (width <= 0 || height <= 0 || width > 0x10000 || height > 0x10000 ||
        argb.size() < size_t(width) * size_t(height)) {
        return std::nullopt;
    }
    std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
    for (size_t i = 0; i < size_t(width) * size_t(height); ++i) {
        uint32_t px = argb[i];
        uint32_t a = px >> 24;
        rgba[4 * i + 0] = unpremultiply((px >> 16) & 0xff, a);
        rgba[4 * i + 1] = unpremultiply((px >> 8) & 0xff, a);
        rgba[4 * i + 2] = unpremultiply(px & 0xff, a);
        rgba[4 * i + 3] = uint8_t(a);
    }
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) rows[size_t(y)] = rgba.data() + size_t(y) * size_t(width) * 4;

    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return std::nullopt;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return std::nullopt;
    }
    // libpng reports errors by longjmp; nothing with a destructor is made between here and the end.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return std::nullopt;
    }
    png_set_write_fn(png, &out, appendBytes, flushNothing);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace kelvo
