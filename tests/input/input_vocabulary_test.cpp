#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/input/coordinate_mapper.hpp"
#include "core/input/input_scheduler.hpp"
#include "core/input/touch_frame.hpp"
#include "core/protocol/byte_order.hpp"

namespace kelvo {
namespace {

std::vector<uint8_t> payload(uint64_t t, uint8_t count, size_t points) {
    std::vector<uint8_t> bytes(16 + 16 * points);
    le::put64(bytes.data(), t);
    bytes[8] = count;
    return bytes;
}

void putPoint(std::vector<uint8_t>& bytes, size_t i, uint8_t id, uint8_t phase, uint16_t x, uint16_t y, uint16_t r) {
    uint8_t* p = bytes.data() + 16 + 16 * i;
    p[0] = id;
    p[1] = phase;
    p[2] = 1;
    le::put16(p + 4, x);
    le::put16(p + 6, y);
    le::put16(p + 8, r);
    le::put16(p + 10, 32);
}

TEST(TouchFrame, ParseBoundaries) {
    EXPECT_FALSE(TouchFrame::parse(std::vector<uint8_t>(15)));
    auto empty = TouchFrame::parse(payload(77, 0, 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->timestampUs, 77u);
    EXPECT_TRUE(empty->touches.empty());

    EXPECT_FALSE(TouchFrame::parse(payload(1, 21, 21))) << "more than 20 points";
    EXPECT_EQ(TouchFrame::parse(payload(1, 20, 20))->touches.size(), 20u);
    auto shortByOne = payload(1, 2, 2);
    shortByOne.pop_back();
    EXPECT_FALSE(TouchFrame::parse(shortByOne));
    auto trailing = payload(1, 1, 3);
    EXPECT_EQ(TouchFrame::parse(trailing)->touches.size(), 1u) << "bytes after the announced points are ignored";
}

TEST(TouchFrame, ParseScalesFieldsAndSkipsUnknownPhases) {
    auto bytes = payload(5, 3, 3);
    putPoint(bytes, 0, 1, 0, 65535, 0, 160);
    putPoint(bytes, 1, 2, 7, 100, 100, 16);  // unknown phase: dropped, still counted
    putPoint(bytes, 2, 3, 4, 32768, 65535, 1);
    auto frame = TouchFrame::parse(bytes);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->touches.size(), 2u);
    const auto& a = frame->touches[0];
    EXPECT_EQ(a.id, 1);
    EXPECT_EQ(a.phase, TouchPhase::began);
    EXPECT_EQ(a.tapCount, 1);
    EXPECT_EQ(a.norm, (Point{1.0, 0.0}));
    EXPECT_EQ(a.radius, 10.0);
    EXPECT_EQ(a.radiusTolerance, 2.0);
    EXPECT_TRUE(a.isActive());
    EXPECT_EQ(frame->touches[1].id, 3);
    EXPECT_EQ(frame->touches[1].phase, TouchPhase::cancelled);
    EXPECT_FALSE(frame->touches[1].isActive());
    EXPECT_EQ(frame->touches[1].radius, 0.0625);
}

TEST(TouchFrame, EncodeClampsAndRoundTrips) {
    TouchFrame frame{123456789, {}};
    for (uint8_t i = 0; i < 25; ++i) frame.touches.push_back({i, TouchPhase::moved, 1, {0.5, 0.25}, 8, 2});
    auto bytes = frame.encode();
    EXPECT_EQ(bytes.size(), 336u);
    EXPECT_EQ(bytes[8], 20);

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        TouchSample sample;
        uint8_t tap;
        uint16_t x, y, r, tol;
    } cases[] = {
        {{1, TouchPhase::began, 300, {1.2, -0.1}, 10, 2}, 255, 65535, 0, 160, 32},
        {{2, TouchPhase::ended, -4, {0.5, 1.0}, 4096.0, 0.03}, 0, 32768, 65535, 65535, 0},
        {{3, TouchPhase::moved, 1, {inf, -inf}, inf, -inf}, 1, 65535, 0, 65535, 0},
        {{4, TouchPhase::moved, 1, {0.5, 0.5}, nan, -3}, 1, 32768, 32768, 0, 0},
    };
    for (const auto& c : cases) {
        auto one = TouchFrame{9, {c.sample}}.encode();
        ASSERT_EQ(one.size(), 32u);
        const uint8_t* p = one.data() + 16;
        SCOPED_TRACE(int(c.sample.id));
        EXPECT_EQ(p[0], c.sample.id);
        EXPECT_EQ(p[1], static_cast<uint8_t>(c.sample.phase));
        EXPECT_EQ(p[2], c.tap);
        EXPECT_EQ(le::get16(p + 4), c.x);
        EXPECT_EQ(le::get16(p + 6), c.y);
        EXPECT_EQ(le::get16(p + 8), c.r);
        EXPECT_EQ(le::get16(p + 10), c.tol);
    }

    TouchFrame exact{42, {{7, TouchPhase::stationary, 2, {1.0, 0.0}, 10, 2}}};
    EXPECT_EQ(TouchFrame::parse(exact.encode()), exact);
}

TEST(CoordinateMapper, Conversions) {
    CoordinateMapper m{{0, 0, 1024, 768}, {1366, 1024}};
    EXPECT_EQ(m.global({1, 1}), (Point{1023.5, 767.5}));
    EXPECT_EQ(m.global({-0.2, 0.5}), (Point{0, 384}));
    EXPECT_EQ(m.global({0.5, std::nan("")}), (Point{512, 0}));
    EXPECT_EQ(m.ipad({0.5, 0.5}), (Point{683, 512}));
    EXPECT_EQ(m.normFromIPad({683, 256}), (Point{0.5, 0.25}));
    EXPECT_EQ(m.normFromGlobal({512, 384}), (Point{0.5, 0.5}));
    EXPECT_FALSE(m.normFromGlobal({1024, 10})) << "right edge is outside";
    EXPECT_DOUBLE_EQ(m.macPerIPadPoint(), 1024.0 / 1366.0);

    CoordinateMapper offset{{-1920, 100, 1920, 1080}, {}};
    EXPECT_EQ(offset.global({0, 1}), (Point{-1920, 1179.5}));
    EXPECT_EQ(offset.normFromIPad({10, 10}), (Point{0, 0})) << "unknown tablet size";
    EXPECT_EQ(offset.macPerIPadPoint(), 1.0);
    EXPECT_FALSE((CoordinateMapper{{0, 0, 0, 0}, {}}.normFromGlobal({0, 0})));

    // A sliver narrower than half a point maps everything to its origin, never outside it.
    CoordinateMapper sliver{{10, 20, 0.25, 0}, {}};
    EXPECT_EQ(sliver.global({1, 1}), (Point{10, 20}));
    EXPECT_EQ(sliver.global({0, 0}), (Point{10, 20}));
}

TEST(InputScheduler, ManualTimersRunInVirtualTimeOrder) {
    ManualScheduler s(1000);
    std::vector<std::string> log;
    auto stamp = [&](const std::string& what) { log.push_back(what + "@" + std::to_string(s.nowUs())); };

    auto repeat = s.every(10, [&] { stamp("every"); });
    auto once = s.after(10, [&] { stamp("once"); });
    auto later = s.after(25, [&] {
        stamp("later");
        repeat->cancel();
    });
    auto cancelled = s.after(5, [&] { stamp("cancelled"); });
    cancelled->cancel();
    cancelled->cancel();  // idempotent
    EXPECT_EQ(s.pendingCount(), 3u);

    s.advance(40);
    EXPECT_EQ(s.nowUs(), 1040u);
    EXPECT_EQ(log, (std::vector<std::string>{"every@1010", "once@1010", "every@1020", "later@1025"}));
    EXPECT_EQ(s.pendingCount(), 0u);

    // every(0) fires once per microsecond; dropping a token cancels its timer.
    int ticks = 0;
    auto fast = s.every(0, [&] { ++ticks; });
    s.advance(5);
    EXPECT_EQ(ticks, 5);
    fast.reset();
    s.advance(5);
    EXPECT_EQ(ticks, 5);

    // A block may set and cancel timers, also its own.
    std::unique_ptr<Cancellable> self;
    int chained = 0;
    self = s.after(3, [&] {
        ++chained;
        self.reset();
        self = s.after(3, [&] { ++chained; });
    });
    s.advance(10);
    EXPECT_EQ(chained, 2);
}

}  // namespace
}  // namespace kelvo
