#include <gtest/gtest.h>

#include <memory>

#include "core/input/input_context.hpp"
#include "core/input/recording_sink.hpp"
#include "core/input/touch_tracker.hpp"

namespace kelvo {
namespace {

using P = TouchPhase;
using Ids = std::vector<uint8_t>;

TouchSample at(uint8_t id, TouchPhase phase, double x, double y) { return {id, phase, 1, {x, y}, 8, 2}; }

Point identity(Point p) { return p; }

TEST(TouchTracker, UpdatesFrameByFrame) {
    struct Step {
        TouchFrame frame;
        Ids began;
        std::set<uint8_t> moved;
        Ids ended;
        bool cancelled;
        Ids alive;  // before removeFinished
    } steps[] = {
        {{100, {at(1, P::began, 0.1, 0.1), at(2, P::began, 0.2, 0.2)}}, {1, 2}, {}, {}, false, {1, 2}},
        {{200, {at(2, P::moved, 0.3, 0.2)}}, {}, {2}, {1}, false, {2}},  // 1 is missing: lifted
        {{300, {at(2, P::stationary, 0.3, 0.2), at(1, P::began, 0.5, 0.5)}}, {1}, {}, {}, false, {2, 1}},
        {{400, {at(1, P::cancelled, 0.5, 0.6), at(2, P::ended, 0.3, 0.2)}}, {}, {1}, {1, 2}, true, {}},
        {{500, {at(9, P::ended, 0.9, 0.9)}}, {}, {}, {9}, false, {}},  // first seen already ended
    };
    TouchTracker tracker;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.frame.timestampUs);
        auto u = tracker.apply(s.frame);
        EXPECT_EQ(u.began, s.began);
        EXPECT_EQ(u.moved, s.moved);
        EXPECT_EQ(u.ended, s.ended);
        EXPECT_EQ(u.cancelled, s.cancelled);
        EXPECT_EQ(tracker.alive(), s.alive);
        tracker.removeFinished();
    }
    EXPECT_TRUE(tracker.empty());
}

TEST(TouchTracker, RestartedIdGetsNewOrderStartAndTime) {
    TouchTracker tracker;
    tracker.apply({10, {at(1, P::began, 0.1, 0.1)}});
    tracker.apply({20, {at(1, P::ended, 0.1, 0.1), at(2, P::began, 0.4, 0.4)}});
    tracker.apply({30, {at(2, P::moved, 0.4, 0.5), at(1, P::began, 0.7, 0.7)}});
    auto one = tracker[1];
    ASSERT_TRUE(one);
    EXPECT_EQ(one->startNorm, (Point{0.7, 0.7}));
    EXPECT_EQ(one->startUs, 30u);
    EXPECT_GT(one->order, tracker[2]->order);
    EXPECT_EQ(tracker.alive(), (Ids{2, 1}));
}

TEST(TouchTracker, Geometry) {
    TouchTracker tracker;
    tracker.apply({0, {at(1, P::began, 0, 0), at(2, P::began, 0.3, 0.4)}});
    tracker.apply({1, {at(1, P::moved, 0.1, 0), at(2, P::moved, 0.3, 0.4)}});
    auto scale = [](Point p) { return p * 10.0; };
    EXPECT_EQ(tracker.centroid({1, 2}, identity), (Point{0.2, 0.2}));
    EXPECT_EQ(tracker.centroid({1, 2, 7}, scale), (Point{2, 2}));
    EXPECT_EQ(tracker.centroid({7}, scale), (Point{}));
    EXPECT_DOUBLE_EQ(tracker.distance(1, 2, scale), std::hypot(2.0, 4.0));
    EXPECT_EQ(tracker.distance(1, 7, scale), 0.0);
    EXPECT_DOUBLE_EQ(tracker.maxMovement({1, 2}, scale), 1.0);
    EXPECT_EQ(tracker.maxMovement({}, scale), 0.0);
}

TEST(InputContext, PostsWithModifierFlagsAndReportsTouchChanges) {
    auto sink = std::make_shared<RecordingSink>();
    InputContext ctx(sink, std::make_shared<ManualScheduler>(), {}, {}, {});
    EventFlags held = EventFlag::shift;
    int completed = 0;
    std::vector<bool> activity;
    ctx.modifierFlags = [&] { return held; };
    ctx.onInputCompleted = [&] { ++completed; };
    ctx.onTouchActivity = [&](bool on) { activity.push_back(on); };

    ctx.post(synth::Move{{1, 2}});
    held = EventFlag::none;
    ctx.combo(KeyCombo::redo);
    EXPECT_EQ(sink->entries, (std::vector<RecordingSink::Entry>{
                                 {synth::Move{{1, 2}}, EventFlag::shift},
                                 {synth::Key{6, true}, EventFlag::command | EventFlag::shift},
                                 {synth::Key{6, false}, EventFlag::command | EventFlag::shift},
                             }));
    EXPECT_EQ(ctx.eventsPosted(), 3);
    EXPECT_EQ(completed, 1);

    for (bool on : {true, true, false, false, true}) ctx.updateTouching(on);
    EXPECT_EQ(activity, (std::vector<bool>{true, false, true}));
}

TEST(InputParams, FromSettingsKeepsWhatTheUserDoesNotControl) {
    Settings s;
    s.longPressMs = 700;
    s.palmRadius = 25;
    InputParams p(s, 0.35);
    EXPECT_EQ(p.longPressMs, 700);
    EXPECT_EQ(p.palmRadius, 25);
    EXPECT_EQ(p.doubleClickInterval, 0.35);
    EXPECT_EQ(p.tapSlop, 10);
    InputParams::setSystemDoubleClickInterval(0.4);
    EXPECT_EQ(InputParams::fromSettings(s).doubleClickInterval, 0.4);
    InputParams::setSystemDoubleClickInterval(0.5);
}

}  // namespace
}  // namespace kelvo
