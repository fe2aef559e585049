#include <gtest/gtest.h>

#include <cmath>

#include "core/input/draw_mode_recognizer.hpp"
#include "core/input/tablet_synthesizer.hpp"
#include "input_test_support.hpp"

namespace kelvo {
namespace {

using namespace test;
using Ph = TouchPhase;
using K = GestureAction::Kind;

// Tablet events with their pressure to two decimals; other events as described.
Lines penLines(const RecordingSink& sink) {
    Lines out;
    for (const auto& e : sink.entries) {
        if (const auto* t = std::get_if<synth::Tablet>(&e.event)) {
            char buf[96];
            const char* action = t->action == TabletAction::down ? "down" : t->action == TabletAction::drag ? "drag" : "up";
            std::snprintf(buf, sizeof buf, "pen %s (%g, %g) %.2f", action, t->point.x, t->point.y, t->pressure);
            out.push_back(buf);
        } else {
            char buf[32];
            std::snprintf(buf, sizeof buf, " flags=0x%llx", static_cast<unsigned long long>(e.flags));
            out.push_back(describe(e.event) + (e.flags ? buf : ""));
        }
    }
    return out;
}

std::string pen(const char* action, double x, double y, double p) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "pen %s (%g, %g) %.2f", action, x, y, p);
    return buf;
}
const std::string enter = describe(synth::Proximity{true, false});
const std::string leave = describe(synth::Proximity{false, false});

// A touch at desktop point (x, y) of the square rig (normalised x / 1000).
TouchSample touch(uint8_t id, Ph phase, double x, double y, double radius = 8) {
    return {id, phase, 1, {x / 1000, y / 1000}, radius, 2};
}

struct Frame {
    uint64_t ms;
    std::vector<TouchSample> touches;
};

InputParams drawParams() {
    InputParams p;
    p.smoothing = SmoothingLevel::off;
    p.pressure.source = PressureSource::constant;
    p.pressure.rampMs = 0;
    return p;
}

struct DrawRig : InputRig {
    explicit DrawRig(ResolvedProfile profile = {}, InputParams params = drawParams())
        : InputRig(kSquareMapper, std::move(profile), std::move(params)) {}
    DrawModeRecognizer recognizer{ctx};

    void feed(const Frame& f) {
        const uint64_t t = f.ms * 1000;
        if (t > scheduler->nowUs()) scheduler->advance(t - scheduler->nowUs());
        recognizer.handle({t, f.touches});
    }
    void play(const std::vector<Frame>& frames) {
        for (const auto& f : frames) feed(f);
    }
};

ResolvedProfile panProfile(GestureAction pan) {
    ResolvedProfile p;
    p.draw.twoFingerPan = pan;
    return p;
}

TEST(TabletSynthesizer, FadeProximityAndTools) {
    InputRig rig;
    TabletSynthesizer tablet(rig.ctx);
    tablet.penMove({1, 1}, {0, 0}, 1);  // not down: nothing
    tablet.penDown({500, 500}, {0.5, 0.5}, 0.8);
    tablet.penUp();
    tablet.penUp();
    EXPECT_EQ(penLines(*rig.sink), (Lines{enter, pen("down", 500, 500, 0.8), pen("drag", 500, 500, 0.4),
                                          pen("drag", 500, 500, 0.16), pen("up", 500, 500, 0)}));
    EXPECT_EQ(std::get<synth::Tablet>(rig.sink->entries[1].event).nx, 32768);
    rig.sink->clear();
    rig.scheduler->advance(149'000);
    EXPECT_TRUE(rig.sink->entries.empty());
    rig.scheduler->advance(1'000);
    EXPECT_EQ(penLines(*rig.sink), (Lines{leave}));

    // A new stroke within the delay stays in proximity; a tool change leaves and re-enters.
    rig.sink->clear();
    tablet.penDown({1, 1}, {0.001, 0.001}, 0.5);
    tablet.penUp();
    rig.scheduler->advance(100'000);
    tablet.penDown({1, 1}, {0.001, 0.001}, 0.5);
    tablet.penUp();
    rig.ctx.eraser = true;
    tablet.penDown({1, 1}, {0.001, 0.001}, 0.5);
    tablet.cancel();
    rig.scheduler->advance(1'000'000);
    const std::string eraserEnter = describe(synth::Proximity{true, true});
    const std::string eraserLeave = describe(synth::Proximity{false, true});
    EXPECT_EQ(penLines(*rig.sink),
              (Lines{enter, pen("down", 1, 1, 0.5), pen("drag", 1, 1, 0.25), pen("drag", 1, 1, 0.1), pen("up", 1, 1, 0),
                     pen("down", 1, 1, 0.5), pen("drag", 1, 1, 0.25), pen("drag", 1, 1, 0.1), pen("up", 1, 1, 0), leave,
                     eraserEnter, pen("down", 1, 1, 0.5), pen("up", 1, 1, 0), eraserLeave}));

    EXPECT_EQ(TabletSynthesizer::tabletCoordinate(1.0), 65535);
    EXPECT_EQ(TabletSynthesizer::tabletCoordinate(-0.1), 0);
    EXPECT_EQ(TabletSynthesizer::tabletCoordinate(std::nan("")), 0);
}

TEST(TabletSynthesizer, PressureOnlyPostsNoProximity) {
    ResolvedProfile profile;
    profile.draw.tabletEvents = TabletEventsMode::pressureOnly;
    InputRig rig(kSquareMapper, profile);
    TabletSynthesizer tablet(rig.ctx);
    tablet.penDown({2, 2}, {0.002, 0.002}, 1);
    tablet.penUp();
    rig.scheduler->advance(1'000'000);
    EXPECT_EQ(penLines(*rig.sink),
              (Lines{pen("down", 2, 2, 1), pen("drag", 2, 2, 0.5), pen("drag", 2, 2, 0.2), pen("up", 2, 2, 0)}));
}

TEST(DrawModeRecognizer, Gestures) {
    const std::string undo1 = key(6, true, EventFlag::command), undo2 = key(6, false, EventFlag::command);
    const EventFlags redoFlags = EventFlag::command | EventFlag::shift;
    const std::string mayBegin = scroll(0, S::mayBegin), cancelled = scroll(0, S::cancelled);
    const std::string fade1 = pen("drag", 103, 100, 0.3), fade2 = pen("drag", 103, 100, 0.12);
    struct Case {
        const char* name;
        std::vector<Frame> frames;
        ResolvedProfile profile;
        Lines expected;
    } cases[] = {
        {"a resting finger commits after 50 ms",
         {{0, {touch(1, Ph::began, 100, 100)}}, {60, {touch(1, Ph::stationary, 100, 100)}},
          {80, {touch(1, Ph::moved, 103, 100)}}, {90, {touch(1, Ph::ended, 103, 100)}}},
         {},
         {enter, pen("down", 100, 100, 0.6), pen("drag", 103, 100, 0.6), fade1, fade2, pen("up", 103, 100, 0)}},
        {"moving 2 points commits at once, replaying what was held",
         {{0, {touch(1, Ph::began, 100, 100)}}, {10, {touch(1, Ph::moved, 101, 100)}},
          {20, {touch(1, Ph::moved, 103, 100)}}, {30, {touch(1, Ph::ended, 103, 100)}}},
         {},
         {enter, pen("down", 100, 100, 0.6), pen("drag", 101, 100, 0.6), pen("drag", 103, 100, 0.6), fade1, fade2,
          pen("up", 103, 100, 0)}},
        {"a short tap draws a dot",
         {{0, {touch(1, Ph::began, 100, 100)}}, {20, {touch(1, Ph::ended, 100, 100)}}},
         {},
         {enter, pen("down", 100, 100, 0.6), pen("drag", 100, 100, 0.3), pen("drag", 100, 100, 0.12),
          pen("up", 100, 100, 0)}},
        {"a palm is ignored and the finger beside it draws",
         {{0, {touch(1, Ph::began, 500, 500, 31)}},
          {10, {touch(1, Ph::moved, 510, 500, 31), touch(2, Ph::began, 100, 100)}},
          {20, {touch(1, Ph::ended, 510, 500, 31), touch(2, Ph::ended, 100, 100)}}},
         {},
         {enter, pen("down", 100, 100, 0.6), pen("drag", 100, 100, 0.3), pen("drag", 100, 100, 0.12),
          pen("up", 100, 100, 0)}},
        {"a pen turning into a palm starts over",
         {{0, {touch(1, Ph::began, 100, 100)}}, {10, {touch(1, Ph::moved, 100, 100, 40)}},
          {100, {touch(1, Ph::ended, 100, 100, 40)}}},
         {},
         {}},
        {"touches landing during a stroke are ignored",
         {{0, {touch(1, Ph::began, 100, 100)}}, {60, {touch(1, Ph::moved, 103, 100), touch(2, Ph::began, 600, 600)}},
          {70, {touch(1, Ph::ended, 103, 100), touch(2, Ph::moved, 700, 600)}},
          {80, {touch(2, Ph::ended, 700, 600)}}},
         {},
         {enter, pen("down", 100, 100, 0.6), pen("drag", 103, 100, 0.6), fade1, fade2, pen("up", 103, 100, 0)}},
        {"two fingers lifted together undo",
         {{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
          {100, {touch(1, Ph::ended, 400, 500), touch(2, Ph::ended, 600, 500)}}},
         {},
         {mv(500, 500), mayBegin, cancelled, undo1, undo2}},
        {"two fingers lifted apart do nothing",
         {{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
          {50, {touch(1, Ph::ended, 400, 500), touch(2, Ph::stationary, 600, 500)}}, {60, {touch(2, Ph::ended, 600, 500)}}},
         {},
         {mv(500, 500), mayBegin, cancelled}},
        {"a third finger tapped redoes",
         {{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
          {50, {touch(1, Ph::stationary, 400, 500), touch(2, Ph::stationary, 600, 500), touch(3, Ph::began, 500, 700)}},
          {100, {touch(1, Ph::stationary, 400, 500), touch(2, Ph::stationary, 600, 500), touch(3, Ph::ended, 500, 700)}},
          {300, {touch(1, Ph::ended, 400, 500), touch(2, Ph::ended, 600, 500)}}},
         {},
         {mv(500, 500), mayBegin, cancelled, key(6, true, redoFlags), key(6, false, redoFlags)}},
        {"a pan scrolls",
         {{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
          {20, {touch(1, Ph::moved, 400, 507), touch(2, Ph::moved, 600, 507)}},
          {40, {touch(1, Ph::moved, 400, 510), touch(2, Ph::moved, 600, 510)}}, {60, {touch(1, Ph::ended, 400, 510)}}},
         {},
         {mv(500, 500), mayBegin, scroll(7, S::began), scroll(3, S::changed), scroll(0, S::ended)}},
        {"a pan space-drags",
         {{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
          {20, {touch(1, Ph::moved, 410, 500), touch(2, Ph::moved, 610, 500)}},
          {40, {touch(1, Ph::moved, 420, 500), touch(2, Ph::moved, 620, 500)}},
          {60, {touch(1, Ph::ended, 420, 500), touch(2, Ph::ended, 620, 500)}}},
         panProfile(K::spaceDrag),
         {mv(500, 500), key(49, true, 0), down(500, 500), drag(510, 500), drag(520, 500), up(520, 500), key(49, false, 0)}},
        {"spreading fingers pinch",
         {{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
          {20, {touch(1, Ph::moved, 350, 500), touch(2, Ph::moved, 650, 500)}},
          {40, {touch(1, Ph::ended, 350, 500), touch(2, Ph::ended, 650, 500)}}},
         {},
         {mv(500, 500), mayBegin, cancelled, describe(synth::GestureBegin{{500, 500}}),
          describe(synth::Magnify{0.5, GesturePhase::began, {500, 500}}),
          describe(synth::Magnify{0, GesturePhase::ended, {500, 500}}), describe(synth::GestureEnd{{500, 500}})}},
        {"a cancelled frame ends the stroke",
         {{0, {touch(1, Ph::began, 100, 100)}}, {60, {touch(1, Ph::cancelled, 100, 100)}}},
         {},
         {enter, pen("down", 100, 100, 0.6), pen("up", 100, 100, 0), leave}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DrawRig rig(c.profile);
        rig.play(c.frames);
        rig.scheduler->advance(100'000);  // proximity still held within the exit delay
        EXPECT_EQ(penLines(*rig.sink), c.expected);
        EXPECT_EQ(rig.recognizer.state(), DrawModeRecognizer::State::idle);
    }
}

TEST(DrawModeRecognizer, ResetReleasesWhatItHolds) {
    // Space-drag in progress: left up, then Space up.
    DrawRig pan(panProfile(K::spaceDrag));
    pan.play({{0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)}},
              {20, {touch(1, Ph::moved, 410, 500), touch(2, Ph::moved, 610, 500)}}});
    pan.sink->clear();
    pan.recognizer.reset();
    EXPECT_EQ(pan.lines(), (Lines{up(510, 500), key(49, false, 0)}));

    // A hovering pen leaves proximity at once, once.
    DrawRig hover;
    hover.play({{0, {touch(1, Ph::began, 100, 100)}}, {10, {touch(1, Ph::ended, 100, 100)}}});
    hover.sink->clear();
    hover.recognizer.reset();
    hover.scheduler->advance(1'000'000);
    EXPECT_EQ(penLines(*hover.sink), (Lines{leave}));

    // Touch activity follows the tracker.
    DrawRig activity;
    std::vector<bool> reported;
    activity.ctx.onTouchActivity = [&](bool t) { reported.push_back(t); };
    activity.play({{0, {touch(1, Ph::began, 100, 100, 40)}}, {10, {touch(1, Ph::ended, 100, 100, 40)}}});
    EXPECT_EQ(reported, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace kelvo
