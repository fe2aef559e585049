#include <gtest/gtest.h>

#include "core/input/logging_sink.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

class LogLevelScope {
public:
    explicit LogLevelScope(LogLevel level) : saved_(Log::minLevel()) { Log::setMinLevel(level); }
    ~LogLevelScope() { Log::setMinLevel(saved_); }

private:
    LogLevel saved_;
};

TEST(LoggingSink, LogsEventsAtDebugWithoutWhatWasTyped) {
    LoggingSink sink;
    {
        LogLevelScope level(LogLevel::info);
        test::LogCapture log;
        sink.post(synth::Move{{1, 2}}, EventFlag::none);
        EXPECT_TRUE(log.messages("inject").empty());
    }
    LogLevelScope level(LogLevel::debug);
    test::LogCapture log;
    sink.post(synth::Down{MouseButton::right, {10.5, 20}, 2}, EventFlag::command | EventFlag::shift);
    sink.post(synth::Text{"secret päss"}, EventFlag::none);
    sink.post(synth::Scroll{3, -7, ScrollPhase::changed, MomentumPhase::none, {5, 6}}, EventFlag::none);
    sink.post(synth::FlagsChanged{56, EventFlag::shift}, EventFlag::none);
    EXPECT_EQ(log.messages("inject"), (std::vector<std::string>{
                                          "down(right, (10.5, 20), clicks: 2) flags=0x120000",
                                          "text(len=12)",
                                          "scroll(dx: 3, dy: -7, phase: changed, momentum: none, at: (5, 6))",
                                          "flagsChanged(56, 0x20000)",
                                      }));
    EXPECT_FALSE(log.contains("secret"));
}

TEST(PressedButtons, DragsTheFirstHeldButtonInFixedOrder) {
    PressedButtons buttons;
    EXPECT_FALSE(buttons.dragButton());
    buttons.pressed(MouseButton::middle);
    buttons.pressed(MouseButton::right);
    EXPECT_EQ(buttons.dragButton(), MouseButton::right);
    buttons.pressed(MouseButton::left);
    EXPECT_EQ(buttons.dragButton(), MouseButton::left);
    buttons.released(MouseButton::left);
    buttons.released(MouseButton::right);
    EXPECT_EQ(buttons.dragButton(), MouseButton::middle);
    buttons.released(MouseButton::middle);
    EXPECT_FALSE(buttons.any());
}

}  // namespace
}  // namespace kelvo
