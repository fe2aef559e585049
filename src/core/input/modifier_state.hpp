#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/input/synth_event.hpp"

namespace kelvo {

// Sticky modifier keys of the tablet's sidebar (Command, Option, Control, Shift): a tap latches a
// key for the next input only, a second tap within 0.4 s locks it, holding it during other input
// uses it like a held key. While a button is held its key is active whatever its mode.
// Input queue only.
class ModifierState {
public:
    enum class Mode { off, oneShot, locked, momentary };

    struct Key {
        uint16_t keyCode = 0;
        EventFlags flag = EventFlag::none;
        Mode mode = Mode::off;
        bool pressed = false;             // the sidebar button is held
        uint64_t downUs = 0;              // when it was pressed (scheduler time)
        bool otherInput = false;          // other input happened while it was held
        std::optional<uint64_t> lastTapUs;  // the tap that latched it (for the double tap)
    };

    ModifierState();

    // OR of the flags of every active key.
    EventFlags flags() const;
    // Absent for an id that is no modifier.
    std::optional<Mode> mode(int id) const;
    static bool isModifier(int id) { return id >= 10 && id <= 13; }

    // A sidebar modifier button pressed, released or cancelled; other ids are ignored.
    void buttonDown(int id, uint64_t nowUs);
    void buttonUp(int id, uint64_t nowUs);
    void buttonCancel(int id);
    // Other input began: held keys become used as held keys.
    void noteInput();
    // An input completed: latched (one-shot) keys that are not held go off.
    void inputCompleted();
    // Every modifier off.
    void releaseAll();

    // State of the modifier items for the tablet, by item id: "on", "oneShot" or "locked".
    std::map<int, std::string> uiItems() const;

    // Receives a flagsChanged event (the key and the flags after the change) for each key that
    // goes down or up.
    std::function<void(const SynthEvent&)> emit = [](const SynthEvent&) {};
    // After every change of the sidebar state.
    std::function<void()> onChange = [] {};

private:
    static bool active(const Key& k) { return k.pressed || k.mode != Mode::off; }
    void emitFlags(const Key& k) { emit(synth::FlagsChanged{k.keyCode, flags()}); }

    std::map<int, Key> keys_;
};

// "off", "oneShot", "locked", "momentary".
std::string_view rawValue(ModifierState::Mode mode);

}  // namespace kelvo
