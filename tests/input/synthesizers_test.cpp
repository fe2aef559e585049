#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/input/pinch_synthesizer.hpp"
#include "core/input/scroll_synthesizer.hpp"
#include "input_test_support.hpp"

namespace kelvo {
namespace {

using namespace test;

TEST(ScrollSynthesizer, CarriesFractionsIntoTheNextStep) {
    struct Case {
        const char* name;
        bool invert;
        double macPerPoint;
        std::vector<double> moves;
        Lines expected;
    } cases[] = {
        {"thirds of a pixel", false, 1, {0.4, 0.4, 0.4}, {scroll(0, S::began), scroll(1, S::changed)}},
        {"negative", false, 1, {-0.6, -0.6, -0.6}, {scroll(0, S::began), scroll(-1, S::changed)}},
        {"inverted", true, 1, {0.4, 0.4, 0.4}, {scroll(0, S::began), scroll(-1, S::changed)}},
        {"scaled to desktop points", false, 2, {0.4, 0.4, 0.4}, {scroll(0, S::began), scroll(1, S::changed), scroll(1, S::changed)}},
        {"runaway values saturate", false, 1, {1e12, std::nan(""), -1e30, 2.5},
         {scroll(std::numeric_limits<int32_t>::max(), S::began), scroll(-std::numeric_limits<int32_t>::max(), S::changed),
          scroll(2, S::changed)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InputParams params;
        params.invertScroll = c.invert;
        InputRig rig({{0, 0, 1000 * c.macPerPoint, 1000}, {1000, 1000}}, {}, params);
        ScrollSynthesizer scroll(rig.ctx);
        scroll.begin({500, 500}, 0);
        uint64_t t = 0;
        for (double dy : c.moves) scroll.move({0, dy}, t += 10'000);
        EXPECT_EQ(rig.lines(), c.expected);
    }
}

TEST(ScrollSynthesizer, PhasesOfPrepareEndAndCancel) {
    InputRig rig;
    ScrollSynthesizer s(rig.ctx);
    s.prepare({1, 2});
    s.cancelPrepared();
    s.cancel();  // nothing began
    s.begin({3, 4}, 0);
    s.flags = EventFlag::option;
    s.move({0, 5}, 10'000);
    s.cancel();
    s.cancel();
    EXPECT_EQ(s.end(200'000), (Vector{0, 0})) << "fewer than two samples in the last 80 ms";
    EXPECT_EQ(rig.lines(), (Lines{scroll(0, S::mayBegin, Mo::none, {1, 2}), scroll(0, S::cancelled, Mo::none, {1, 2}),
                                  scroll(5, S::began, Mo::none, {3, 4}) + " flags=0x80000",
                                  scroll(0, S::cancelled, Mo::none, {3, 4}) + " flags=0x80000"}));
}

TEST(ScrollSynthesizer, ReleaseVelocity) {
    using Samples = std::vector<ScrollSynthesizer::Sample>;
    Samples line;
    for (uint64_t ms = 0; ms <= 100; ms += 10) line.push_back({1'000'000 + ms * 1000, {0, 2.0 * ms}});  // 2000 pt/s
    const Vector v = ScrollSynthesizer::velocity(line, 1'100'000);
    EXPECT_NEAR(v.y, 2000, 1e-6);
    EXPECT_NEAR(v.x, 0, 1e-6);
    EXPECT_EQ(ScrollSynthesizer::velocity({{1'000'000, {0, 5}}}, 1'000'000), (Vector{}));
    EXPECT_EQ(ScrollSynthesizer::velocity({{1'000'000, {0, 5}}, {1'000'000, {0, 9}}}, 1'000'000), (Vector{}))
        << "no time between the samples";
    EXPECT_EQ(ScrollSynthesizer::velocity({{900'000, {0, 0}}, {1'000'000, {0, 9}}}, 1'000'000), (Vector{}))
        << "older than 80 ms";
    Samples withFuture = line;
    withFuture.push_back({1'200'000, {0, 9999}});
    EXPECT_NEAR(ScrollSynthesizer::velocity(withFuture, 1'100'000).y, 2000, 1e-6) << "later samples are left out";

    // A frame whose tablet time steps back keeps the recent history: the release velocity is
    // nearly that of the steady movement, not a jump from two samples.
    auto release = [](bool jitter) {
        InputRig rig;
        ScrollSynthesizer s(rig.ctx);
        s.begin({0, 0}, 1'000'000);
        for (uint64_t ms = 10; ms <= 100; ms += 10) {
            const uint64_t t = 1'000'000 + ms * 1000 - (jitter && ms == 90 ? 15'000 : 0);
            s.move({0, 20}, t);
        }
        return s.end(1'100'000).y;
    };
    EXPECT_NEAR(release(false), 2000, 1e-6);
    EXPECT_NEAR(release(true), 2000, 200);
}

TEST(ScrollSynthesizer, MomentumTicksUntilBelowTheStopSpeed) {
    InputRig rig;
    ScrollSynthesizer s(rig.ctx);
    s.begin({7, 8}, 0);
    int completions = 0;
    s.startMomentum({0, 1200}, [&] { ++completions; });
    rig.scheduler->advance(ScrollSynthesizer::kMomentumTickUs);
    EXPECT_EQ(rig.lines(), (Lines{scroll(10, S::none, Mo::begin, {7, 8})}));
    rig.scheduler->advance(315 * ScrollSynthesizer::kMomentumTickUs);
    EXPECT_TRUE(s.momentumRunning());
    rig.scheduler->advance(ScrollSynthesizer::kMomentumTickUs);  // tick 317
    EXPECT_FALSE(s.momentumRunning());
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(rig.lines().back(), scroll(0, S::none, Mo::end, {7, 8}));
    rig.scheduler->advance(1'000'000);
    EXPECT_EQ(completions, 1);

    // Finishing early posts the end at once, also before the first tick; a restart finishes the
    // running momentum first.
    rig.sink->clear();
    s.startMomentum({0, 600}, [&] { ++completions; });
    s.startMomentum({0, 600}, [&] { ++completions; });
    s.finishMomentum();
    EXPECT_EQ(rig.lines(), (Lines{scroll(0, S::none, Mo::end, {7, 8}), scroll(0, S::none, Mo::end, {7, 8})}));
    EXPECT_EQ(rig.scheduler->pendingCount(), 0u);
    EXPECT_EQ(completions, 1);
}

TEST(PinchSynthesizer, ByAction) {
    using K = GestureAction::Kind;
    const Point a{50, 60};
    const std::string zoomIn = key(24, true, EventFlag::command) + "|" + key(24, false, EventFlag::command);
    const std::string zoomOut = key(27, true, EventFlag::command) + "|" + key(27, false, EventFlag::command);
    struct Case {
        GestureAction action;
        std::vector<double> scales;
        Lines expected;
    } cases[] = {
        {K::magnify, {}, {describe(synth::GestureBegin{a}), describe(synth::GestureEnd{a})}},
        {K::magnify, {1.1, 0.95, 0, -1, std::nan(""), INFINITY},
         {describe(synth::GestureBegin{a}), describe(synth::Magnify{1.1 - 1, GesturePhase::began, a}),
          describe(synth::Magnify{0.95 - 1, GesturePhase::changed, a}), describe(synth::Magnify{0, GesturePhase::ended, a}),
          describe(synth::GestureEnd{a})}},
        // one key per factor 1.15 in total; the rest carries
        {K::undo, {1.07, 1.07, 1.3, 1.02, 1.03}, {zoomIn, zoomIn, zoomIn}},
        {GestureAction::keys({8, EventFlag::command}), {0.8}, {zoomOut}},
        {K::none, {1.5, 0.5}, {}},
        {K::cmdScroll, {1.01, 1.02},
         {scroll(4, S::began, Mo::none, a) + " flags=0x100000", scroll(8, S::changed, Mo::none, a) + " flags=0x100000",
          scroll(0, S::ended, Mo::none, a) + " flags=0x100000"}},
        {K::altScroll, {0.99}, {scroll(-4, S::began, Mo::none, a) + " flags=0x80000", scroll(0, S::ended, Mo::none, a) + " flags=0x80000"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action.rawValue());
        InputRig rig;
        PinchSynthesizer pinch(rig.ctx);
        pinch.change(2);  // not begun: nothing
        pinch.begin(a, c.action);
        for (double s : c.scales) pinch.change(s);
        pinch.end();
        pinch.end();
        Lines got = rig.lines();
        Lines joined;
        for (size_t i = 0; i < got.size(); ++i) {
            // Key events come in down/up pairs; compare them as one line.
            if (got[i].rfind("key(", 0) == 0 && i + 1 < got.size()) {
                joined.push_back(got[i] + "|" + got[i + 1]);
                ++i;
            } else {
                joined.push_back(got[i]);
            }
        }
        EXPECT_EQ(joined, c.expected);
    }
}

}  // namespace
}  // namespace kelvo
