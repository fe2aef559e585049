#include <gtest/gtest.h>

#include <cmath>
#include <future>

#include "core/input/input_service.hpp"
#include "core/protocol/records.hpp"
#include "core/protocol/wire_json.hpp"
#include "core/util/log.hpp"
#include "input_test_support.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using namespace test;
using Ph = TouchPhase;

WireMessage message(MsgType type, std::vector<uint8_t> payload) {
    return {static_cast<uint8_t>(type), 0, std::move(payload)};
}

// A tablet of 65535 points shown 1:1, so that positions survive the wire's 16-bit encoding
// exactly: a touch at (x, y) lands on desktop point (x, y).
const CoordinateMapper kWireMapper{{0, 0, 65535, 65535}, {65535, 65535}};

TouchSample touch(uint8_t id, Ph phase, double x, double y, double radius = 8) {
    return {id, phase, 1, {x / 65535, y / 65535}, radius, 2};
}

// A service on a manual queue, fed wire messages, into a recording sink.
struct ServiceRig {
    explicit ServiceRig(InputMode mode, ResolvedProfile profile = {}, CoordinateMapper mapper = kWireMapper) {
        InputParams params;
        params.smoothing = SmoothingLevel::off;
        params.pressure.source = PressureSource::constant;
        params.pressure.rampMs = 0;
        service = std::make_shared<InputService>(sink, mapper, params, profile, mode, scheduler->queue(), scheduler);
        service->onUIState = [this](const UIStateMsg& s) { states.push_back(s); };
        service->onModeChange = [this](InputMode m) { modes.push_back(m); };
        service->onTouchActivity = [this](bool t) { activity.push_back(t); };
        service->onToast = [this](const std::string& t) { toasts.push_back(t); };
        service->onKeyboardState = [this](const KeyboardStateMsg& k) { keyboards.push_back(k); };
    }

    void at(uint64_t ms) {
        if (ms * 1000 > scheduler->nowUs()) scheduler->advance(ms * 1000 - scheduler->nowUs());
    }
    void send(WireMessage m) {
        service->handle(std::move(m));
        scheduler->queue()->runUntilIdle();
    }
    void frame(uint64_t ms, std::vector<TouchSample> touches) {
        at(ms);
        send(message(MsgType::touchFrame, TouchFrame{ms * 1000, std::move(touches)}.encode()));
    }
    void sidebar(uint16_t item, uint8_t phase) { send(message(MsgType::uiEvent, Wire::pod(KVUIEvent{0, item, phase}))); }
    void tapItem(uint16_t item) {
        sidebar(item, 0);
        sidebar(item, 1);
    }
    // stop() from a task of the input queue: it must run inline there.
    void stop() {
        scheduler->queue()->post([this] { service->stop(); });
        scheduler->queue()->runUntilIdle();
    }
    Lines lines() const {
        InputRig view;
        view.sink = sink;
        return view.lines();
    }

    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>(0);
    std::shared_ptr<InputService> service;
    std::vector<UIStateMsg> states;
    std::vector<InputMode> modes;
    std::vector<bool> activity;
    std::vector<std::string> toasts;
    std::vector<KeyboardStateMsg> keyboards;
};

std::string tablet(TabletAction action, double x, double y, double pressure) {
    return describe(synth::Tablet{action, {x, y}, static_cast<uint16_t>(x), static_cast<uint16_t>(y), pressure});
}
const std::string enter = describe(synth::Proximity{true, false});
const std::string leave = describe(synth::Proximity{false, false});
using TA = TabletAction;

// Events as described, pen pressures rounded to two decimals (the response curve is approximate).
Lines roundedLines(const RecordingSink& sink) {
    Lines out;
    for (auto e : sink.events()) {
        if (auto* t = std::get_if<synth::Tablet>(&e)) t->pressure = std::round(t->pressure * 100) / 100;
        out.push_back(describe(e));
    }
    return out;
}

TEST(InputService, DrawsStrokesFromWireFrames) {
    ServiceRig rig(InputMode::draw);
    // Committed by time, then a tap dot with its fade and the proximity exit 150 ms later.
    rig.frame(0, {touch(1, Ph::began, 200, 200)});
    rig.frame(60, {touch(1, Ph::ended, 200, 200)});
    rig.frame(100, {touch(2, Ph::began, 300, 300)});
    rig.frame(120, {touch(2, Ph::ended, 300, 300)});
    rig.at(269);
    Lines expected{enter,
                   tablet(TA::down, 200, 200, 0.6), tablet(TA::drag, 200, 200, 0.3), tablet(TA::drag, 200, 200, 0.12),
                   tablet(TA::up, 200, 200, 0),
                   tablet(TA::down, 300, 300, 0.6), tablet(TA::drag, 300, 300, 0.3), tablet(TA::drag, 300, 300, 0.12),
                   tablet(TA::up, 300, 300, 0)};
    EXPECT_EQ(roundedLines(*rig.sink), expected);
    rig.at(270);
    expected.push_back(leave);
    EXPECT_EQ(roundedLines(*rig.sink), expected);

    // Moved more than 2 points: committed at once with the held-back samples replayed; a palm
    // beside it changes nothing.
    rig.sink->clear();
    rig.frame(1000, {touch(3, Ph::began, 100, 100), touch(4, Ph::began, 800, 800, 35)});
    rig.frame(1010, {touch(3, Ph::moved, 101, 100), touch(4, Ph::moved, 790, 800, 35)});
    rig.frame(1020, {touch(3, Ph::moved, 104, 100), touch(4, Ph::stationary, 790, 800, 35)});
    Lines kinds;
    for (const auto& e : rig.sink->events()) {
        if (const auto* t = std::get_if<synth::Tablet>(&e)) kinds.push_back(describe(synth::Tablet{t->action, t->point, t->nx, t->ny, 0}));
    }
    EXPECT_EQ(kinds, (Lines{tablet(TA::down, 100, 100, 0), tablet(TA::drag, 101, 100, 0), tablet(TA::drag, 104, 100, 0)}));
}

TEST(InputService, SpaceDragAndItsCancelByStop) {
    ResolvedProfile profile;
    profile.draw.twoFingerPan = GestureAction::Kind::spaceDrag;
    ServiceRig rig(InputMode::draw, profile);
    rig.frame(0, {touch(1, Ph::began, 400, 500), touch(2, Ph::began, 600, 500)});
    rig.frame(20, {touch(1, Ph::moved, 410, 500), touch(2, Ph::moved, 610, 500)});
    rig.stop();
    rig.frame(40, {touch(1, Ph::moved, 500, 500), touch(2, Ph::moved, 700, 500)});  // after stop: nothing
    EXPECT_EQ(rig.lines(), (Lines{mv(500, 500), key(49, true, 0), down(500, 500), drag(510, 500), up(510, 500),
                                  key(49, false, 0)}));
    EXPECT_EQ(rig.activity, (std::vector<bool>{true, false}));
}

TEST(InputService, ModeToggleWaitsForTheLift) {
    ServiceRig rig(InputMode::touch);
    rig.frame(0, {touch(1, Ph::began, 100, 100)});
    rig.tapItem(30);
    EXPECT_EQ(rig.modes, (std::vector<InputMode>{InputMode::draw}));
    EXPECT_EQ(rig.toasts, (std::vector<std::string>{"\u753B\u677F\u6A21\u5F0F"}));
    ASSERT_FALSE(rig.states.empty());
    EXPECT_EQ(rig.states.back().mode, "draw");
    EXPECT_EQ(rig.states.back().items, (std::map<std::string, std::string>{{"30", "on"}, {"31", "off"}}));
    rig.sink->clear();
    // The finger down at the switch, and its lift, never reach the draw recognizer; the lift is
    // still reported so that the cursor comes back.
    rig.frame(100, {touch(1, Ph::moved, 300, 300)});
    rig.frame(200, {touch(1, Ph::ended, 300, 300)});
    EXPECT_TRUE(rig.sink->entries.empty());
    EXPECT_EQ(rig.activity, (std::vector<bool>{true, false}));
    rig.frame(300, {touch(2, Ph::began, 100, 100)});
    rig.frame(310, {touch(2, Ph::ended, 100, 100)});
    EXPECT_EQ(rig.lines().front(), enter);

    // Back to touch mode: the eraser is cleared, a second switch to the same mode does nothing.
    rig.tapItem(31);
    EXPECT_EQ(rig.toasts.back(), "\u6A61\u76AE\u64E6");
    EXPECT_EQ(rig.states.back().items.at("31"), "on");
    rig.tapItem(30);
    EXPECT_EQ(rig.toasts.back(), "\u89E6\u63A7\u6A21\u5F0F");
    EXPECT_EQ(rig.states.back().items, (std::map<std::string, std::string>{{"31", "disabled"}}));
    const size_t states = rig.states.size();
    rig.service->setMode(InputMode::touch);
    rig.scheduler->queue()->runUntilIdle();
    EXPECT_EQ(rig.states.size(), states);
    rig.tapItem(31);  // no eraser in touch mode
    EXPECT_EQ(rig.states.size(), states);

    // No finger was down at that switch: the very next tap is the new mode's.
    rig.sink->clear();
    rig.frame(400, {touch(3, Ph::began, 100, 100)});
    rig.frame(410, {touch(3, Ph::ended, 100, 100)});
    rig.scheduler->queue()->runUntilIdle();
    EXPECT_FALSE(rig.sink->entries.empty());
}

TEST(InputService, TouchesWaitForTheDisplayRegion) {
    // A session hands input over before its display is known: nothing may click at the origin,
    // and a finger already down when the region arrives stays ignored until it lifts.
    for (InputMode mode : {InputMode::touch, InputMode::draw}) {
        ServiceRig rig(mode, {}, CoordinateMapper{{}, {65535, 65535}});
        rig.frame(0, {touch(1, Ph::began, 100, 100)});
        rig.frame(50, {touch(1, Ph::moved, 120, 100)});
        rig.service->setMapper(kWireMapper);
        rig.frame(100, {touch(1, Ph::moved, 140, 100)});
        rig.frame(150, {touch(1, Ph::ended, 140, 100)});
        EXPECT_TRUE(rig.sink->entries.empty());
        rig.frame(1000, {touch(2, Ph::began, 300, 300)});
        rig.frame(1050, {touch(2, Ph::ended, 300, 300)});
        rig.at(2000);
        ASSERT_FALSE(rig.sink->entries.empty());
        EXPECT_EQ(rig.lines().front(), mode == InputMode::touch ? mv(300, 300) : enter);
    }
}

TEST(InputService, LatchedAndLockedModifiersApplyToClicks) {
    ServiceRig rig(InputMode::touch);
    const EventFlags cmd = EventFlag::command;
    rig.at(1000);
    rig.tapItem(10);  // latched
    EXPECT_EQ(rig.states.back().items.at("10"), "oneShot");
    rig.frame(1100, {touch(1, Ph::began, 100, 100)});
    rig.frame(1150, {touch(1, Ph::ended, 100, 100)});
    rig.frame(2000, {touch(1, Ph::began, 100, 100)});
    rig.frame(2050, {touch(1, Ph::ended, 100, 100)});
    EXPECT_EQ(rig.lines(),
              (Lines{describe(synth::FlagsChanged{55, cmd}), mv(100, 100) + " flags=0x100000",
                     down(100, 100) + " flags=0x100000", up(100, 100) + " flags=0x100000",
                     describe(synth::FlagsChanged{55, 0}), mv(100, 100), down(100, 100), up(100, 100)}));
    EXPECT_EQ(rig.states.back().items.count("10"), 0u);

    // Two quick taps lock Shift for every click until it is tapped again.
    rig.sink->clear();
    rig.at(3000);
    rig.tapItem(13);
    rig.at(3100);
    rig.tapItem(13);
    EXPECT_EQ(rig.states.back().items.at("13"), "locked");
    for (uint64_t ms : {4000, 5000}) {
        rig.frame(ms, {touch(1, Ph::began, 100, 100)});
        rig.frame(ms + 50, {touch(1, Ph::ended, 100, 100)});
    }
    size_t shifted = 0;
    for (const auto& e : rig.sink->entries) shifted += std::holds_alternative<synth::Down>(e.event) && e.flags == EventFlag::shift;
    EXPECT_EQ(shifted, 2u);
    rig.stop();
    EXPECT_EQ(rig.lines().back(), describe(synth::FlagsChanged{56, 0}));
    EXPECT_EQ(rig.states.back().items.count("13"), 0u);
}

TEST(InputService, KeyboardMessages) {
    ServiceRig rig(InputMode::touch);
    rig.send(message(MsgType::textInput, std::vector<uint8_t>(45, 'x')));
    rig.send(message(MsgType::textInput, {'a', 0xFF}));  // invalid UTF-8
    rig.send(message(MsgType::keyEvent, Wire::pod(KVKeyEvent{5, 1})));
    rig.send(message(MsgType::keyEvent, {5}));  // too short
    rig.send(message(MsgType::keyboardState, Wire::json(KeyboardStateMsg{true, 0.4})));
    rig.send(message(MsgType::keyboardState, {'{'}));
    EXPECT_EQ(rig.lines(), (Lines{describe(synth::Text{std::string(20, 'x')}), describe(synth::Text{std::string(20, 'x')}),
                                  describe(synth::Text{std::string(5, 'x')}), key(123, true, 0)}));
    ASSERT_EQ(rig.keyboards.size(), 1u);
    EXPECT_EQ(rig.keyboards[0], (KeyboardStateMsg{true, 0.4}));

    // The held arrow is released by stop(); later messages inject nothing.
    rig.sink->clear();
    rig.stop();
    rig.stop();
    rig.send(message(MsgType::keyEvent, Wire::pod(KVKeyEvent{6, 1})));
    rig.send(message(MsgType::textInput, {'z'}));
    rig.tapItem(20);
    EXPECT_EQ(rig.lines(), (Lines{key(123, false, 0)}));
}

TEST(InputService, SidebarButtonsAndBadMessages) {
    ServiceRig rig(InputMode::touch);
    test::LogCapture log;
    rig.sidebar(20, 0);
    EXPECT_TRUE(rig.sink->entries.empty());
    rig.sidebar(20, 1);
    rig.tapItem(21);
    rig.tapItem(22);
    rig.tapItem(99);
    rig.sidebar(22, 7);  // cancel: nothing
    std::vector<uint8_t> oneTouchShort(20, 0);
    oneTouchShort[8] = 1;  // announces one point, holds a quarter of it
    rig.send(message(MsgType::touchFrame, oneTouchShort));
    rig.send(message(MsgType::uiEvent, {1, 2, 3}));
    const EventFlags redo = EventFlag::command | EventFlag::shift;
    EXPECT_EQ(rig.lines(), (Lines{key(6, true, EventFlag::command), key(6, false, EventFlag::command), key(6, true, redo),
                                  key(6, false, redo), key(53, true, 0), key(53, false, 0)}));
    EXPECT_TRUE(log.contains("unknown sidebar item 99", "input"));
    EXPECT_TRUE(log.contains("bad TOUCH_FRAME (20 B)", "input"));
}

TEST(InputService, UserActivityAtMostOncePerSecond) {
    ServiceRig rig(InputMode::touch);
    for (uint64_t ms : {0, 400, 999, 1000, 1500, 2100}) rig.frame(ms, {});
    EXPECT_EQ(rig.sink->userActivityCount, 3);
}

TEST(InputService, StopAndStateFromAnotherThread) {
    auto queue = AsioExecutor::makeQueue("kv.input");
    auto sink = std::make_shared<RecordingSink>();
    auto service = std::make_shared<InputService>(sink, kSquareMapper, InputParams{}, ResolvedProfile{}, InputMode::draw, queue);
    service->handle(message(MsgType::keyEvent, Wire::pod(KVKeyEvent{2, 1})));
    EXPECT_EQ(service->currentUIState().mode, "draw");
    // From the queue itself: inline, no deadlock.
    std::promise<std::string> onQueue;
    queue->post([&] {
        service->stop();
        onQueue.set_value(service->currentUIState().mode);
    });
    EXPECT_EQ(onQueue.get_future().get(), "draw");
    service->stop();
    service->handle(message(MsgType::keyEvent, Wire::pod(KVKeyEvent{3, 1})));
    runSync(*queue, [] {});
    EXPECT_EQ(runSync(*queue, [&] { return sink->events(); }),
              (std::vector<SynthEvent>{synth::Key{36, true}, synth::Key{36, false}}));
}

}  // namespace
}  // namespace kelvo
