#include "animated_window.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>

#include "core/util/clock.hpp"

namespace kelvo::bench {

struct AnimatedWindow::Impl {
    xcb_connection_t* c = nullptr;
    xcb_window_t window = 0;
    xcb_gcontext_t gc = 0;
    int width = 0;
    int height = 0;
    int fps = 60;
    ~Impl() {
        if (c) xcb_disconnect(c);
    }
    void sync() { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }
    void fill(uint32_t colour, const std::vector<xcb_rectangle_t>& rects) {
        if (rects.empty()) return;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_poly_fill_rectangle(c, window, gc, uint32_t(rects.size()), rects.data());
    }
};

AnimatedWindow::AnimatedWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<AnimatedWindow> AnimatedWindow::start(const std::string& display, int x, int y, int width, int height,
                                                      int fps) {
    auto impl = std::make_unique<Impl>();
    impl->c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(impl->c)) return nullptr;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(impl->c)).data;
    impl->window = xcb_generate_id(impl->c);
    impl->width = width;
    impl->height = height;
    impl->fps = fps;
    uint32_t values[] = {0x202020, 1};
    xcb_create_window(impl->c, XCB_COPY_FROM_PARENT, impl->window, screen->root, int16_t(x), int16_t(y),
                      uint16_t(width), uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(impl->c, impl->window);
    impl->gc = xcb_generate_id(impl->c);
    xcb_create_gc(impl->c, impl->gc, impl->window, 0, nullptr);
    impl->sync();
    auto window = std::make_unique<AnimatedWindow>(std::move(impl));
    window->thread_ = std::thread([w = window.get()] { w->run(); });
    return window;
}

AnimatedWindow::~AnimatedWindow() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void AnimatedWindow::run() {
    Impl& m = *impl_;
    const auto interval = std::chrono::microseconds(1'000'000 / std::max(m.fps, 1));
    auto next = std::chrono::steady_clock::now();
    for (uint32_t n = 0; !stop_; ++n) {
        // Vertical stripes 64 pixels wide moving 8 pixels a frame: every pixel changes often.
        std::vector<xcb_rectangle_t> light, dark;
        const int shift = int(n * 8 % 128);
        for (int x = -128 + shift; x < m.width; x += 128) {
            dark.push_back({int16_t(std::max(x, 0)), 0, uint16_t(std::max(0, std::min(x + 64, m.width) - std::max(x, 0))),
                            uint16_t(m.height)});
            light.push_back({int16_t(std::max(x + 64, 0)), 0,
                             uint16_t(std::max(0, std::min(x + 128, m.width) - std::max(x + 64, 0))), uint16_t(m.height)});
        }
        std::erase_if(dark, [](const xcb_rectangle_t& r) { return r.width == 0; });
        std::erase_if(light, [](const xcb_rectangle_t& r) { return r.width == 0; });
        m.fill(0x3050a0 + (n % 64), dark);
        m.fill(0xc0a060, light);
        std::vector<xcb_rectangle_t> ones, zeros;
        for (int bit = 0; bit < kBits; ++bit) {
            xcb_rectangle_t r{int16_t(bit * kBlock), 0, kBlock, kBlock};
            ((n >> bit) & 1 ? ones : zeros).push_back(r);
        }
        m.fill(0xffffff, ones);
        m.fill(0x000000, zeros);
        m.sync();  // drawn once the server answers
        {
            std::lock_guard g(m_);
            if (drawnUs_.size() <= n) drawnUs_.resize(n + 1);
            drawnUs_[n] = Clock::nowUs();
        }
        drawn_ = n + 1;
        next += interval;
        std::this_thread::sleep_until(next);
    }
}

std::optional<uint64_t> AnimatedWindow::drawnUs(uint32_t number) const {
    std::lock_guard g(m_);
    if (number >= drawnUs_.size() || drawnUs_[number] == 0) return std::nullopt;
    return drawnUs_[number];
}

std::optional<uint32_t> AnimatedWindow::readNumber(const PixelBuffer& picture, double scale) {
    uint32_t number = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const int x = int((bit * kBlock + kBlock / 2) * scale);
        const int y = int(kBlock / 2 * scale);
        if (x >= picture.width() || y >= picture.height()) return std::nullopt;
        int luma = 0;
        if (picture.format() == PixelFormat::bgra) {
            luma = picture.plane(0)[size_t(y) * picture.stride(0) + size_t(x) * 4 + 1];  // green
        } else {
            luma = picture.plane(0)[size_t(y) * picture.stride(0) + size_t(x)];
        }
        if (luma > 160) {
            number |= 1u << bit;
        } else if (luma > 96) {
            return std::nullopt;  // neither black nor white: not our picture
        }
    }
    return number;
}

}  // namespace kelvo::bench
