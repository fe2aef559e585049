#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/input/event_sink.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// Virtual key (KeyCode numbering) → Linux evdev key code; absent for keys the PC keyboard lacks.
// Command is Control here, as it is the primary shortcut modifier. X keycode = evdev + 8.
std::optional<uint16_t> evdevKeyFor(uint16_t virtualKey);

// The system sink on an X server: synthetic input becomes XTest events, so the desktop treats
// it like a real mouse and keyboard.
//
// Points are root-window pixels. Buttons: left 1, middle 2, right 3. Scroll pixel deltas
// accumulate into wheel steps (up 4, down 5, left 6, right 7); magnify is Control + wheel.
// Before each event the modifier keys the sink holds are pressed or released to match the
// event's flags. Text goes through the keys of the current keyboard mapping, or through an empty
// keycode mapped to the character before any key of the text is pressed (kept until teardown, so
// that clients reading the mapping late still see it). Pen events move and press button 1 without pressure; proximity has no XTest
// form and is dropped. A desktop switch is asked of the window manager (EWMH), wrapping around.
//
// While locked nothing is injected; locking releases whatever the sink holds. Destruction
// releases every button and key the sink holds and empties the keycodes it mapped.
// Thread-safe (the session locks from its own queue; posts come from the input queue).
class XTestEventSink final : public EventSink {
public:
    // Connects to `display` ("" uses $DISPLAY). Fails with a reason when the server cannot be
    // reached or lacks XTest.
    static Expected<std::unique_ptr<XTestEventSink>, std::string> connect(const std::string& display);
    ~XTestEventSink() override;

    void post(const SynthEvent& event, EventFlags flags) override;
    // Resets the screen saver's idle timer.
    void declareUserActivity() override;
    void setLocked(bool locked) override;

    // Pixels of scroll per wheel step. Scroll deltas are the desktop pixels the fingers moved;
    // a wheel click moves a text view about three lines (Qt: 3 × 20 px; browsers 50–60 px), so
    // the content follows the fingers.
    static constexpr int32_t pixelsPerWheelStep = 60;
    // Relative change of scale per Control + wheel step.
    static constexpr double magnifyPerWheelStep = 0.1;

    struct Impl;
    explicit XTestEventSink(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
