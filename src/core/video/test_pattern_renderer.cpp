#include "core/video/test_pattern_renderer.hpp"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

// Covers Latin and Chinese alike, so every line renders with one face.
constexpr const char* kFontFamily = "WenQuanYi Micro Hei";
constexpr const char* kSampleText =
    "The quick brown fox jumps over the lazy dog 0123456789 —— 中文细字测试 Kelvo";

// Draws one line of text with its baseline starting at (x, baseline), in pixels from the top.
void drawTextLine(cairo_t* cr, PangoContext* pango, const std::string& text, double sizePx, double x,
                  double baseline, double grey) {
    pango_cairo_update_context(cr, pango);
    PangoLayout* layout = pango_layout_new(pango);
    PangoFontDescription* font = pango_font_description_from_string(kFontFamily);
    pango_font_description_set_absolute_size(font, sizePx * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_layout_set_text(layout, text.c_str(), int(text.size()));
    cairo_set_source_rgb(cr, grey, grey, grey);
    cairo_move_to(cr, x, baseline);
    pango_cairo_show_layout_line(cr, pango_layout_get_line_readonly(layout, 0));
    pango_font_description_free(font);
    g_object_unref(layout);
}

}  // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELVO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(KELVO_ASAN)
// fontconfig, loaded for the text, loses a few bytes parsing its configuration once per process;
// its frames carry no frame pointers, so only the library name identifies it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

std::array<double, 3> TestPatternRenderer::hsv(double h, double s, double v) {
    const double h6 = h * 6;
    const int i = int(std::fmod(std::trunc(h6), 6.0));
    const double f = h6 - std::trunc(h6);
    const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (i) {
        case 0: return {v, t, p};
        case 1: return {q, v, p};
        case 2: return {p, v, t};
        case 3: return {p, q, v};
        case 4: return {t, p, v};
        default: return {v, p, q};
    }
}

TestPatternRenderer::TestPatternRenderer(int width, int height, const std::string& title)
    : width_(width), height_(height), pool_(PixelBufferPool::make(PixelFormat::bgra, width, height)) {
    fontMap_ = pango_cairo_font_map_new();
    pango_ = pango_font_map_create_context(fontMap_);
    if (width > 0 && height > 0) drawBackground(title);
}

TestPatternRenderer::~TestPatternRenderer() {
    if (background_) cairo_surface_destroy(background_);
    g_object_unref(pango_);
    g_object_unref(fontMap_);
}

// Geometry is given with the origin at the bottom left, y up; cairo's origin is the top left,
// so every y below is flipped as h − y.
void TestPatternRenderer::drawBackground(const std::string& title) {
    const double w = width_, h = height_;
    background_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width_, height_);
    cairo_t* cr = cairo_create(background_);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    // Colour bar: the hue circle from red back to red.
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, w, 0);
    for (int i = 0; i <= 6; ++i) {
        auto c = hsv(i / 6.0, 1, 1);
        cairo_pattern_add_color_stop_rgb(gradient, i / 6.0, c[0], c[1], c[2]);
    }
    cairo_save(cr);
    cairo_rectangle(cr, 0, h - (0.32 * h + 0.06 * h), w, 0.06 * h);
    cairo_clip(cr);
    cairo_set_source(cr, gradient);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_pattern_destroy(gradient);

    // Grating: one-pixel black columns every 4 px (centred on half pixels so they stay crisp).
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1);
    for (double x = 0.5; x < w; x += 4) {
        cairo_move_to(cr, x, h - 0.42 * h);
        cairo_line_to(cr, x, h - 0.52 * h);
    }
    cairo_stroke(cr);

    for (double y = 0.56 * h; y < h - 60; y += 30) drawTextLine(cr, pango_, kSampleText, 22, 24, h - y, 0.1);
    drawTextLine(cr, pango_, title, 36, 24, 50, 0);
    cairo_destroy(cr);
    cairo_surface_flush(background_);
}

PixelBufferRef TestPatternRenderer::render(int64_t frame, const std::optional<std::string>& label) {
    if (!background_) return nullptr;
    PixelBufferRef buffer = pool_->take();
    if (!buffer) return nullptr;
    cairo_surface_t* surface = cairo_image_surface_create_for_data(buffer->plane(0), CAIRO_FORMAT_ARGB32, width_,
                                                                   height_, int(buffer->stride(0)));
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        Log::w("video", "test pattern: cannot draw into a frame buffer");
        cairo_surface_destroy(surface);
        return nullptr;
    }
    // The background is opaque and the size of the frame: copy it rather than composite it.
    const uint8_t* bg = cairo_image_surface_get_data(background_);
    const size_t bgStride = size_t(cairo_image_surface_get_stride(background_));
    for (int row = 0; row < height_; ++row) {
        std::memcpy(buffer->plane(0) + size_t(row) * buffer->stride(0), bg + size_t(row) * bgStride,
                    size_t(width_) * 4);
    }
    cairo_surface_mark_dirty(surface);

    const double w = width_, h = height_;
    cairo_t* cr = cairo_create(surface);
    const double side = std::min(w, h) / 8;
    const int64_t span = std::max<int64_t>(int64_t(w - side), 1);
    // (n × 37) mod span without overflowing for any 64-bit n; the sign follows n.
    const int64_t x = ((frame % span) * 37) % span;
    auto c = hsv(double(frame % 60) / 60, 0.8, 0.9);
    cairo_set_source_rgb(cr, c[0], c[1], c[2]);
    cairo_rectangle(cr, double(x), h - 0.18 * h - side, side, side);
    cairo_fill(cr);

    drawTextLine(cr, pango_, label.value_or("frame " + std::to_string(frame)), h / 24, 40, h - 0.08 * h, 0);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
    return buffer;
}

}  // namespace kelvo
