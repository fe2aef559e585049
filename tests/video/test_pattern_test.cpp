#include "core/video/test_pattern_renderer.hpp"
#include "core/video/test_pattern_source.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "core/runtime/manual_executor.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

struct Rgb {
    int r, g, b;
};

Rgb at(const PixelBuffer& buf, int x, int y) {
    const uint8_t* p = buf.plane(0) + size_t(y) * buf.stride(0) + 4 * size_t(x);
    return {p[2], p[1], p[0]};
}

bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

bool white(Rgb c) { return near(c, {255, 255, 255}, 0); }
int luma(Rgb c) { return (c.r + c.g + c.b) / 3; }

Rgb squareColour(int64_t frame) {
    auto c = TestPatternRenderer::hsv(double(frame % 60) / 60, 0.8, 0.9);
    return {int(std::lround(c[0] * 255)), int(std::lround(c[1] * 255)), int(std::lround(c[2] * 255))};
}

// The moving square's side and the row through its middle (rows counted from the top).
int squareSide(const PixelBuffer& b) { return std::min(b.width(), b.height()) / 8; }
int squareRow(const PixelBuffer& b) { return int(b.height() - 0.18 * b.height() - squareSide(b) / 2.0); }

// Left edge of the square drawn for `frame`, or −1.
int squareX(const PixelBuffer& b, int64_t frame) {
    for (int x = 0; x < b.width(); ++x) {
        if (near(at(b, x, squareRow(b)), squareColour(frame), 2)) return x;
    }
    return -1;
}

bool darkIn(const PixelBuffer& b, int x0, int x1, int y0, int y1) {
    for (int y = std::max(y0, 0); y <= std::min(y1, b.height() - 1); ++y) {
        for (int x = x0; x <= std::min(x1, b.width() - 1); ++x) {
            if (luma(at(b, x, y)) < 100) return true;
        }
    }
    return false;
}

TEST(TestPatternRenderer, DrawsPageBarGratingTextAndSquareWhereTheyBelong) {
    constexpr int w = 640, h = 480;
    TestPatternRenderer renderer(w, h, "Kelvo test pattern 640×480");
    auto frame = renderer.render(0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->format(), PixelFormat::bgra);
    EXPECT_EQ(frame->width(), w);
    EXPECT_EQ(frame->height(), h);

    for (auto [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}}) {
        EXPECT_TRUE(white(at(*frame, x, y))) << x << "," << y;
    }
    EXPECT_EQ(frame->plane(0)[3], 255);  // opaque

    // Colour bar from red through green and blue back to red.
    const int bar = int(0.65 * h);
    EXPECT_TRUE(near(at(*frame, 1, bar), {255, 0, 0}, 12));
    EXPECT_TRUE(near(at(*frame, w / 3, bar), {0, 255, 0}, 12));
    EXPECT_TRUE(near(at(*frame, 2 * w / 3, bar), {0, 0, 255}, 12));
    EXPECT_TRUE(near(at(*frame, w - 1, bar), {255, 0, 0}, 12));
    EXPECT_TRUE(white(at(*frame, w / 2, int(0.61 * h))));

    // Grating: one black pixel column in every four.
    const int grating = int(0.53 * h);
    for (int x = 0; x + 2 < w; x += 4) {
        ASSERT_EQ(luma(at(*frame, x, grating)), 0) << x;
        ASSERT_TRUE(white(at(*frame, x + 2, grating))) << x;
    }
    EXPECT_TRUE(white(at(*frame, 2, int(0.47 * h))));

    // Text lines every 30 px from 0.56·h (bottom-up) while below h − 60; the title; the label.
    int lines = 0;
    for (double y = 0.56 * h; y < h - 60; y += 30, ++lines) {
        const int baseline = int(h - y);
        EXPECT_TRUE(darkIn(*frame, 24, 400, baseline - 14, baseline - 1)) << "line at " << y;
        EXPECT_FALSE(darkIn(*frame, 0, 20, baseline - 14, baseline - 1)) << "left margin at " << y;
    }
    EXPECT_EQ(lines, 6);
    EXPECT_FALSE(darkIn(*frame, 24, 400, int(0.44 * h) + 6, int(0.47 * h)));  // below the last line
    EXPECT_TRUE(darkIn(*frame, 24, 300, 25, 49));
    EXPECT_TRUE(darkIn(*frame, 40, 200, int(0.92 * h) - 15, int(0.92 * h) - 1));

    // The square for frame 0: at the left edge, in hue 0 (0.9, 0.18, 0.18).
    EXPECT_EQ(squareX(*frame, 0), 0);
    EXPECT_TRUE(near(at(*frame, 30, squareRow(*frame)), {230, 46, 46}, 2));
    EXPECT_TRUE(white(at(*frame, squareSide(*frame) + 2, squareRow(*frame))));
}

TEST(TestPatternRenderer, SquareMovesAndChangesHueEveryFrameAndWraps) {
    // Full size: side 192, travel 1856.
    TestPatternRenderer renderer(2048, 1536, "geometry");
    const std::pair<int64_t, int> expected[] = {{0, 0}, {1, 37}, {50, 1850}, {51, 31}, {60, 364}};
    for (auto [n, x] : expected) {
        auto frame = renderer.render(n);
        ASSERT_TRUE(frame);
        EXPECT_EQ(squareX(*frame, n), x) << "frame " << n;
    }
    // Frames 0 and 60 share their colour; a frame number near the 64-bit limit still draws.
    EXPECT_TRUE(near(squareColour(60), squareColour(0), 0));
    auto far = renderer.render(INT64_MAX);
    ASSERT_TRUE(far);
    EXPECT_EQ(squareX(*far, INT64_MAX), int((INT64_MAX % 1856) * 37 % 1856));

    // Narrower than the square plus two pixels: it stays at x 0 (a quarter-pixel square here).
    TestPatternRenderer narrow(2, 64, "narrow");
    auto f = narrow.render(5);
    ASSERT_TRUE(f);
    EXPECT_FALSE(white(at(*f, 0, squareRow(*f))));
    EXPECT_TRUE(white(at(*f, 1, squareRow(*f))));
}

TEST(TestPatternRenderer, HsvAndEmptySizes) {
    auto red = TestPatternRenderer::hsv(0, 0.8, 0.9);
    EXPECT_NEAR(red[0], 0.9, 1e-9);
    EXPECT_NEAR(red[1], 0.18, 1e-9);
    EXPECT_NEAR(red[2], 0.18, 1e-9);
    auto magenta = TestPatternRenderer::hsv(5.0 / 6, 1, 1);
    EXPECT_NEAR(magenta[0] + magenta[2] - magenta[1], 2, 1e-9);

    TestPatternRenderer none(0, 0, "empty");
    EXPECT_FALSE(none.render(1));
}

// Frame numbers recovered from the square's place (37·n mod 290 is unique for n < 290 at 320×240).
struct Recorder {
    std::vector<std::pair<int64_t, uint64_t>> frames;  // (frame number, capture time)
    FrameSource::FrameHandler handler() {
        return [this](const PixelBufferRef& b, uint64_t t) {
            for (int64_t n = 0; n < 290; ++n) {
                if (squareX(*b, n) == int(n * 37 % 290)) {
                    frames.emplace_back(n, t);
                    return;
                }
            }
            frames.emplace_back(-1, t);
        };
    }
    std::vector<int64_t> numbers() const {
        std::vector<int64_t> out;
        for (auto& f : frames) out.push_back(f.first);
        return out;
    }
};

TEST(TestPatternSource, DeliversNumberedFramesAtItsRateAndKeepsNumberingAcrossChanges) {
    auto queue = std::make_shared<ManualExecutor>("kv.testpattern", 0);
    auto source = TestPatternSource::make(queue, 320, 240, 60);
    Recorder rec;
    source->setOnFrame(rec.handler());
    std::optional<std::optional<SourceError>> completion;
    source->start([&](std::optional<SourceError> e) { completion = e; });
    EXPECT_TRUE(rec.frames.empty());
    queue->advance(0);
    ASSERT_TRUE(completion && !*completion);
    // Frame 1 at once, then every 16 666 µs.
    ASSERT_EQ(rec.frames.size(), 1u);
    EXPECT_EQ(rec.frames[0], (std::pair<int64_t, uint64_t>{1, 0}));
    queue->advance(2 * 16'666);
    EXPECT_EQ(rec.numbers(), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(rec.frames[2].second, 2u * 16'666);

    // The same rate changes nothing; a new one re-arms at once, numbering going on.
    source->setFrameRate(60);
    queue->runUntilIdle();
    EXPECT_EQ(rec.frames.size(), 3u);
    source->setFrameRate(30);
    queue->advance(0);
    EXPECT_EQ(rec.numbers().back(), 4);
    const uint64_t t4 = queue->nowUs();
    queue->advance(33'333);
    EXPECT_EQ(rec.frames.back(), (std::pair<int64_t, uint64_t>{5, t4 + 33'333}));

    // Stopped: no frame; started again: on from the last number.
    source->stop();
    queue->advance(1'000'000);
    EXPECT_EQ(rec.numbers().back(), 5);
    EXPECT_EQ(queue->armedTimers(), 0u);
    source->start(nullptr);
    queue->advance(0);
    EXPECT_EQ(rec.numbers().back(), 6);

    // Releasing the source cancels its timer.
    source.reset();
    EXPECT_EQ(queue->armedTimers(), 0u);
    queue->advance(1'000'000);
    EXPECT_EQ(rec.numbers().back(), 6);
}

TEST(TestPatternSource, ZeroFramesPerSecondMeansOnePerSecondAndStopBeforeStartWins) {
    auto queue = std::make_shared<ManualExecutor>("kv.testpattern", 0);
    auto source = TestPatternSource::make(queue, 320, 240, 0);
    Recorder rec;
    source->setOnFrame(rec.handler());
    source->start(nullptr);
    queue->advance(0);
    queue->advance(999'999);
    EXPECT_EQ(rec.frames.size(), 1u);
    queue->advance(1);
    EXPECT_EQ(rec.frames.size(), 2u);

    // A stop() issued after a start() whose work has not run yet: nothing starts.
    source->stop();
    source->start(nullptr);
    source->stop();
    queue->advance(5'000'000);
    EXPECT_EQ(rec.frames.size(), 2u);
}

TEST(TestPatternSource, NoFrameArrivesAfterStopReturnsOnARealQueue) {
    auto queue = AsioExecutor::makeQueue("kv.testpattern");
    auto source = TestPatternSource::make(queue, 160, 120, 240);
    std::atomic<int> delivered{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    std::promise<void> enough;
    source->setOnFrame([&](const PixelBufferRef&, uint64_t) {
        if (stopped) ++afterStop;
        if (++delivered == 5) enough.set_value();
        // Slow consumer: widens the window in which stop() meets a frame in delivery.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    source->start(nullptr);
    enough.get_future().wait();
    source->stop();
    stopped = true;
    const int atStop = delivered;
    runSync(*queue, [] {});  // anything queued before now has run
    EXPECT_EQ(afterStop.load(), 0);
    EXPECT_EQ(delivered.load(), atStop);
    source.reset();
    runSync(*queue, [] {});
}

// stop() from another thread returns only once a frame being handed out has been taken; from the
// handler itself it returns at once and that frame is the last.
TEST(TestPatternSource, StopWaitsForAFrameInHandAndFromTheHandlerEndsAtOnce) {
    auto queue = AsioExecutor::makeQueue("kv.testpattern");
    auto source = TestPatternSource::make(queue, 160, 120, 240);
    std::promise<void> inHandler, release;
    auto released = release.get_future().share();
    std::atomic<int> delivered{0};
    source->setOnFrame([&, released](const PixelBufferRef&, uint64_t) {
        if (++delivered == 1) {
            inHandler.set_value();
            released.wait();
        }
    });
    source->start(nullptr);
    inHandler.get_future().wait();
    auto stopped = std::async(std::launch::async, [&] { source->stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    stopped.get();
    EXPECT_EQ(delivered.load(), 1);

    std::promise<void> restarted;
    source->setOnFrame([&](const PixelBufferRef&, uint64_t) {
        if (++delivered == 2) {
            source->stop();
            restarted.set_value();
        }
    });
    source->start(nullptr);
    restarted.get_future().wait();
    runSync(*queue, [] {});
    EXPECT_EQ(delivered.load(), 2);
}

}  // namespace
}  // namespace kelvo
