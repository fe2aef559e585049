#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/video/pixel_buffer.hpp"

typedef struct _cairo_surface cairo_surface_t;
typedef struct _PangoFontMap PangoFontMap;
typedef struct _PangoContext PangoContext;

namespace kelvo {

// Draws synthetic frames without a screen: a white page with a colour bar, a fine line grating,
// sample text (Latin and Chinese) and a title, drawn once; on top, per frame, a square that moves
// 37 px and shifts hue every frame, and a frame label. Frames are BGRA buffers from a pool.
// Not thread-safe: use one renderer from one queue at a time.
class TestPatternRenderer {
public:
    TestPatternRenderer(int width, int height, const std::string& title);
    ~TestPatternRenderer();
    TestPatternRenderer(const TestPatternRenderer&) = delete;
    TestPatternRenderer& operator=(const TestPatternRenderer&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // Frame `frame` with `label` (default "frame <n>"). nullptr when no buffer can be had. The
    // caller may keep the buffer: the pool never reuses one that is still referenced.
    PixelBufferRef render(int64_t frame, const std::optional<std::string>& label = std::nullopt);

    // HSV to RGB, hue in turns (0…1), components 0…1.
    static std::array<double, 3> hsv(double h, double s, double v);

private:
    void drawBackground(const std::string& title);

    int width_;
    int height_;
    std::shared_ptr<PixelBufferPool> pool_;
    cairo_surface_t* background_ = nullptr;
    PangoFontMap* fontMap_ = nullptr;
    PangoContext* pango_ = nullptr;
};

}  // namespace kelvo
