#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/video/pixel_buffer.hpp"

namespace kelvo::bench {

// Another program on the desktop: a borderless window over `x, y, width, height` of the X screen
// whose whole picture changes `fps` times a second (stripes that move), with the frame's number
// drawn as a row of black and white blocks at the top left. Draws on its own thread, which
// inherits the CPUs of the thread that starts it.
class AnimatedWindow {
public:
    static constexpr int kBits = 24;
    static constexpr int kBlock = 16;  // pixels per side of one bit's block

    static std::unique_ptr<AnimatedWindow> start(const std::string& display, int x, int y, int width, int height,
                                                 int fps);
    ~AnimatedWindow();  // stops drawing
    AnimatedWindow(const AnimatedWindow&) = delete;
    AnimatedWindow& operator=(const AnimatedWindow&) = delete;

    // When frame `number` had been drawn by the server (Clock µs); absent when unknown.
    std::optional<uint64_t> drawnUs(uint32_t number) const;
    uint32_t framesDrawn() const { return drawn_.load(); }

    // The frame number in a picture of the window's top-left corner scaled by `scale` (output
    // pixels per window pixel): NV12 or BGRA; absent when the blocks cannot be read.
    static std::optional<uint32_t> readNumber(const PixelBuffer& picture, double scale = 1.0);

    struct Impl;
    explicit AnimatedWindow(std::unique_ptr<Impl> impl);

private:
    void run();
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> drawn_{0};
    mutable std::mutex m_;
    std::vector<uint64_t> drawnUs_;  // guarded by m_; by frame number
    std::thread thread_;
};

}  // namespace kelvo::bench
