#pragma once

#include "core/input/synth_event.hpp"

namespace kelvo {

// Where synthetic input leaves the system. Called on the input queue only; sinks need no lock.
class EventSink {
public:
    virtual ~EventSink() = default;
    // Posts one event with the modifier flags to apply (FlagsChanged carries its own).
    virtual void post(const SynthEvent& event, EventFlags flags) = 0;
    // Tells power management that the local user is active (keeps the display awake).
    virtual void declareUserActivity() = 0;
    // Whether pen proximity reports the well-known tablet maker's vendor id (sinks without pen
    // proximity ignore it).
    virtual void setSpoofWacom(bool) {}
    // Set while the desktop session is locked: the lock screen must not receive tablet input, so
    // sinks that inject drop events and release what they hold. May be called from any queue.
    virtual void setLocked(bool) {}
};

// The mouse buttons a system sink holds down, for turning moves into drags. A button counts as
// down only once its down event was really posted; with several down, drags go to the first of
// left, right, middle.
class PressedButtons {
public:
    void pressed(MouseButton button) { mask_ |= bit(button); }
    void released(MouseButton button) { mask_ &= ~bit(button); }
    bool isDown(MouseButton button) const { return (mask_ & bit(button)) != 0; }
    bool any() const { return mask_ != 0; }
    // The button a move drags, if any is down.
    std::optional<MouseButton> dragButton() const {
        for (auto b : {MouseButton::left, MouseButton::right, MouseButton::middle}) {
            if (isDown(b)) return b;
        }
        return std::nullopt;
    }

private:
    static unsigned bit(MouseButton b) { return 1u << static_cast<unsigned>(b); }
    unsigned mask_ = 0;
};

}  // namespace kelvo
