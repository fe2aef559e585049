#include <gtest/gtest.h>

#include "core/input/touch_mode_recognizer.hpp"
#include "core/input/trace_recorder.hpp"
#include "input_test_support.hpp"

namespace kelvo {
namespace {

using namespace test;
using State = TouchModeRecognizer::State;

std::vector<TouchFrame> trace(const std::string& name) {
    auto frames = TraceRecorder::load(std::string(KELVO_INPUT_TRACES) + "/" + name);
    EXPECT_FALSE(frames.empty()) << name;
    return frames;
}

// Replays recorded frames with virtual time following the frames' timestamps, so timers due
// before a frame fire before it.
struct Replay : InputRig {
    using InputRig::InputRig;
    TouchModeRecognizer recognizer{ctx};

    void feed(const TouchFrame& frame) {
        if (frame.timestampUs > scheduler->nowUs()) scheduler->advance(frame.timestampUs - scheduler->nowUs());
        recognizer.handle(frame);
    }
    void play(const std::vector<TouchFrame>& frames, size_t from = 0, size_t to = SIZE_MAX) {
        for (size_t i = from; i < std::min(to, frames.size()); ++i) feed(frames[i]);
    }
};

ResolvedProfile pinchProfile(GestureAction pinch) {
    ResolvedProfile p;
    p.touch.pinch = pinch;
    return p;
}

TEST(TouchModeRecognizer, ReplaysRecordedGestures) {
    const Point swipeAnchor{500, 500};
    struct Case {
        const char* trace;
        ResolvedProfile profile;
        Lines expected;
    } cases[] = {
        {"clicks.jsonl", {},
         {mv(500, 500), down(500, 500, 1), up(500, 500, 1),
          mv(505, 500), down(505, 500, 2), up(505, 500, 2),
          mv(500, 503), down(500, 503, 3), up(500, 503, 3),
          mv(500, 500), down(500, 500, 3), up(500, 500, 3),  // a fourth quick tap stays a triple click
          mv(500, 500), down(500, 500, 1), up(500, 500, 1)}},  // 0.6 s later: a new click
        {"flick.jsonl", {}, {mv(300, 300), down(300, 300), drag(312, 300), up(312, 300)}},
        {"drag_by_timer.jsonl", {},
         {mv(200, 200), down(200, 200), drag(215, 200), drag(250, 200), up(250, 200)}},
        {"long_press.jsonl", {},
         {mv(400, 600), mv(400, 600), down(400, 600, 1, MouseButton::right), up(400, 600, 1, MouseButton::right)}},
        {"two_finger_tap.jsonl", {},
         {mv(500, 500), scroll(0, S::mayBegin), scroll(0, S::cancelled),
          mv(500, 500), down(500, 500, 1, MouseButton::right), up(500, 500, 1, MouseButton::right),
          // held 300 ms: no tap
          mv(500, 500), scroll(0, S::mayBegin), scroll(0, S::cancelled)}},
        {"scroll.jsonl", {},
         {mv(500, 500), scroll(0, S::mayBegin),
          scroll(7, S::began),    // the 7.3 points that started it, 0.3 carried
          scroll(1, S::changed),  // 0.3 + 0.4 + 0.4
          scroll(3, S::changed),  // after one finger lifted: 0.5 + 3, and no jump
          scroll(0, S::ended)}},
        {"pinch.jsonl", {},
         {mv(500, 500), scroll(0, S::mayBegin), scroll(0, S::cancelled), describe(synth::GestureBegin{swipeAnchor}),
          describe(synth::Magnify{220.0 / 200 - 1, GesturePhase::began, swipeAnchor}),
          describe(synth::Magnify{240.0 / 220 - 1, GesturePhase::changed, swipeAnchor}),
          describe(synth::Magnify{280.0 / 240 - 1, GesturePhase::changed, swipeAnchor}),
          describe(synth::Magnify{190.0 / 280 - 1, GesturePhase::changed, swipeAnchor}),
          describe(synth::Magnify{0, GesturePhase::ended, swipeAnchor}), describe(synth::GestureEnd{swipeAnchor})}},
        {"pinch.jsonl", pinchProfile(GestureAction(GestureAction::Kind::scroll)),
         {mv(500, 500), scroll(0, S::mayBegin), scroll(0, S::cancelled),
          key(24, true, EventFlag::command), key(24, false, EventFlag::command),    // ×1.2 in total
          key(24, true, EventFlag::command), key(24, false, EventFlag::command),    // ×1.4
          key(27, true, EventFlag::command), key(27, false, EventFlag::command),    // ×0.95
          key(27, true, EventFlag::command), key(27, false, EventFlag::command)}},
        {"pinch.jsonl", pinchProfile(GestureAction(GestureAction::Kind::none)),
         {mv(500, 500), scroll(0, S::mayBegin), scroll(0, S::cancelled)}},
        {"three_finger_swipe.jsonl", {},
         {// 80 points left does nothing, 90 asks for the desktop on the right; up asks for nothing
          describe(synth::SwitchDesktop{1})}},
        {"cancel_drag.jsonl", {}, {mv(200, 200), down(200, 200), drag(220, 200), drag(230, 200), up(230, 200)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        Replay r(kSquareMapper, c.profile);
        r.play(trace(c.trace));
        EXPECT_EQ(r.lines(), c.expected);
        EXPECT_EQ(r.recognizer.state(), State::idle);
    }
}

TEST(TouchModeRecognizer, DragIsCommittedByTheTimerAfter40Ms) {
    Replay r;
    const auto frames = trace("drag_by_timer.jsonl");
    r.play(frames, 0, 2);  // lands, then leaves the slop 10 ms later
    EXPECT_EQ(r.lines(), (Lines{mv(200, 200)}));
    r.scheduler->advance(29'999);
    EXPECT_EQ(r.lines(), (Lines{mv(200, 200)}));
    r.scheduler->advance(1);
    EXPECT_EQ(r.lines(), (Lines{mv(200, 200), down(200, 200), drag(215, 200)}));
    EXPECT_EQ(r.recognizer.state(), State::dragging);
}

TEST(TouchModeRecognizer, UnknownTabletSizeMeasuresInRegionPoints) {
    Replay r(CoordinateMapper{{0, 0, 1000, 1000}, {}});
    r.play(trace("flick.jsonl"));
    EXPECT_EQ(r.lines(), (Lines{mv(300, 300), down(300, 300), drag(312, 300), up(312, 300)}));
}

TEST(TouchModeRecognizer, FlingRunsMomentumFor317TicksOrUntilAFingerLands) {
    Replay r;
    const auto frames = trace("fling.jsonl");
    r.play(frames, 0, 12);  // the first fling, up to its lift at 1200 points per second
    Lines expected{mv(500, 800), scroll(0, S::mayBegin, Mo::none, {500, 800}), scroll(-12, S::began, Mo::none, {500, 800})};
    for (int i = 0; i < 9; ++i) expected.push_back(scroll(-12, S::changed, Mo::none, {500, 800}));
    expected.push_back(scroll(0, S::ended, Mo::none, {500, 800}));
    EXPECT_EQ(r.lines(), expected);
    EXPECT_EQ(r.recognizer.state(), State::momentum);

    const std::string momentumEnd = scroll(0, S::none, Mo::end, {500, 800});
    r.scheduler->advance(316 * ScrollSynthesizer::kMomentumTickUs);
    EXPECT_NE(r.lines().back(), momentumEnd);
    r.scheduler->advance(ScrollSynthesizer::kMomentumTickUs);
    auto lines = r.lines();
    ASSERT_EQ(lines.back(), momentumEnd);
    EXPECT_EQ(r.recognizer.state(), State::idle);
    // Momentum: a first step of about 10 points, then the decaying rest, 661 pixels in all.
    const auto& entries = r.sink->entries;
    int total = 0;
    for (size_t i = expected.size(); i + 1 < entries.size(); ++i) {
        const auto& s = std::get<synth::Scroll>(entries[i].event);
        EXPECT_EQ(s.momentum, i == expected.size() ? Mo::begin : Mo::continue_);
        total += s.dy;
    }
    EXPECT_EQ(total, -661);

    // The tap after it, then a second fling whose momentum a landing finger stops.
    r.sink->clear();
    r.play(frames, 12);
    lines = r.lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ((Lines(lines.begin(), lines.begin() + 3)), (Lines{mv(500, 500), down(500, 500), up(500, 500)}));
    EXPECT_EQ((Lines(lines.end() - 4, lines.end())), (Lines{momentumEnd, mv(500, 500), down(500, 500), up(500, 500)}));
    EXPECT_EQ(r.scheduler->pendingCount(), 0u);
}

TEST(TouchModeRecognizer, ResetEndsAHeldDragAndForgetsTheTouches) {
    Replay r;
    const auto frames = trace("cancel_drag.jsonl");
    r.play(frames, 0, 3);
    EXPECT_EQ(r.recognizer.state(), State::dragging);
    r.recognizer.reset();
    EXPECT_EQ(r.lines().back(), up(230, 200));
    EXPECT_EQ(r.recognizer.state(), State::idle);
    r.sink->clear();
    r.feed(frames[3]);  // the cancel of a touch it no longer knows
    EXPECT_TRUE(r.lines().empty());
}

TEST(TouchModeRecognizer, ReportsTouchActivityAndInputHooks) {
    Replay r;
    std::vector<bool> activity;
    int began = 0, completed = 0;
    r.ctx.onTouchActivity = [&](bool on) { activity.push_back(on); };
    r.ctx.onInputBegan = [&] { ++began; };
    r.ctx.onInputCompleted = [&] { ++completed; };
    r.play(trace("clicks.jsonl"));
    EXPECT_EQ(activity, (std::vector<bool>{true, false, true, false, true, false, true, false, true, false}));
    EXPECT_EQ(began, 5);
    EXPECT_EQ(completed, 5);

    ResolvedProfile noLongPress;
    noLongPress.touch.longPress = GestureAction::Kind::none;
    Replay quiet(kSquareMapper, noLongPress);
    quiet.play(trace("long_press.jsonl"), 0, 3);
    EXPECT_EQ(quiet.scheduler->pendingCount(), 0u) << "no long-press timer when the action is none";
}

}  // namespace
}  // namespace kelvo
