#pragma once

// The synthetic input events that recognizers and synthesizers hand to an event sink.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <variant>

#include "core/util/geometry.hpp"

namespace kelvo {

// Modifier flags of an event. The masks keep the tablet protocol's values; the system sink maps
// them (the primary shortcut modifier, `command`, is Control on Linux).
using EventFlags = uint64_t;
namespace EventFlag {
inline constexpr EventFlags none = 0;
inline constexpr EventFlags shift = 0x20000;
inline constexpr EventFlags control = 0x40000;
inline constexpr EventFlags option = 0x80000;
inline constexpr EventFlags command = 0x100000;
}  // namespace EventFlag

enum class MouseButton { left = 0, right = 1, middle = 2 };

// Raw values are the scroll phases trackpads report.
enum class ScrollPhase : int64_t { none = 0, began = 1, changed = 2, ended = 4, cancelled = 8, mayBegin = 128 };
enum class MomentumPhase : int64_t { none = 0, begin = 1, continue_ = 2, end = 3 };
enum class GesturePhase : uint32_t { began = 1, changed = 2, ended = 4 };
// Any other raw value is no phase.
std::optional<GesturePhase> gesturePhaseFromRaw(uint32_t raw);

// Pen contact.
enum class TabletAction { down, drag, up };

// One case per kind of event; points are global desktop points.
namespace synth {
struct Move {
    Point point;
    friend bool operator==(const Move&, const Move&) = default;
};
struct Down {
    MouseButton button = MouseButton::left;
    Point point;
    int clicks = 1;
    friend bool operator==(const Down&, const Down&) = default;
};
struct Drag {
    MouseButton button = MouseButton::left;
    Point point;
    friend bool operator==(const Drag&, const Drag&) = default;
};
struct Up {
    MouseButton button = MouseButton::left;
    Point point;
    int clicks = 1;
    friend bool operator==(const Up&, const Up&) = default;
};
// Pixel deltas; wheel 1 is vertical.
struct Scroll {
    int32_t dx = 0;
    int32_t dy = 0;
    ScrollPhase phase = ScrollPhase::none;
    MomentumPhase momentum = MomentumPhase::none;
    Point at;
    friend bool operator==(const Scroll&, const Scroll&) = default;
};
struct GestureBegin {
    Point point;
    friend bool operator==(const GestureBegin&, const GestureBegin&) = default;
};
// amount: the relative change of scale in this step (0.1 = 10 % larger).
struct Magnify {
    double amount = 0;
    GesturePhase phase = GesturePhase::changed;
    Point point;
    friend bool operator==(const Magnify&, const Magnify&) = default;
};
struct GestureEnd {
    Point point;
    friend bool operator==(const GestureEnd&, const GestureEnd&) = default;
};
struct Proximity {
    bool enter = false;
    bool eraser = false;
    friend bool operator==(const Proximity&, const Proximity&) = default;
};
// nx, ny: the normalised position scaled to 0…65535; pressure 0…1.
struct Tablet {
    TabletAction action = TabletAction::down;
    Point point;
    uint16_t nx = 0;
    uint16_t ny = 0;
    double pressure = 0;
    friend bool operator==(const Tablet&, const Tablet&) = default;
};
// keyCode: a virtual key (KeyCode).
struct Key {
    uint16_t keyCode = 0;
    bool down = false;
    friend bool operator==(const Key&, const Key&) = default;
};
struct Text {
    std::string text;  // UTF-8
    friend bool operator==(const Text&, const Text&) = default;
};
// flags are the event's own: the full modifier state after the change.
struct FlagsChanged {
    uint16_t keyCode = 0;
    EventFlags flags = EventFlag::none;
    friend bool operator==(const FlagsChanged&, const FlagsChanged&) = default;
};
// A request to the desktop rather than input: show the next (step 1) or previous (step −1)
// virtual desktop, wrapping around at the ends.
struct SwitchDesktop {
    int step = 1;
    friend bool operator==(const SwitchDesktop&, const SwitchDesktop&) = default;
};
}  // namespace synth

using SynthEvent = std::variant<synth::Move, synth::Down, synth::Drag, synth::Up, synth::Scroll, synth::GestureBegin,
                                synth::Magnify, synth::GestureEnd, synth::Proximity, synth::Tablet, synth::Key,
                                synth::Text, synth::FlagsChanged, synth::SwitchDesktop>;

// The event as one line for logs and test failures: the case name and its fields, e.g.
// "down(left, (10, 20), clicks: 2)". Text shows its length only, never what was typed.
std::string describe(const SynthEvent& event);

// Found by argument lookup through the cases' namespace (streams, test printers).
namespace synth {
std::ostream& operator<<(std::ostream& out, const SynthEvent& event);
void PrintTo(const SynthEvent& event, std::ostream* out);
}  // namespace synth

}  // namespace kelvo
