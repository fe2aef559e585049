#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/input/synth_event.hpp"
#include "core/util/json.hpp"

namespace kelvo {

// Virtual key codes (the tablet protocol's and stored combos' numbering; the system sink maps
// them to the local keyboard) and the US ANSI character tables.
namespace KeyCode {
inline constexpr uint16_t returnKey = 36;
inline constexpr uint16_t tab = 48;
inline constexpr uint16_t space = 49;
inline constexpr uint16_t deleteKey = 51;
inline constexpr uint16_t escape = 53;
inline constexpr uint16_t command = 55;
inline constexpr uint16_t shift = 56;
inline constexpr uint16_t option = 58;
inline constexpr uint16_t control = 59;
inline constexpr uint16_t left = 123;
inline constexpr uint16_t right = 124;
inline constexpr uint16_t down = 125;
inline constexpr uint16_t up = 126;
inline constexpr uint16_t forwardDelete = 117;
inline constexpr uint16_t home = 115;
inline constexpr uint16_t end = 119;
inline constexpr uint16_t pageUp = 116;
inline constexpr uint16_t pageDown = 121;

// A lower-case key name ("return", "esc", "pagedown", ...): its code.
std::optional<uint16_t> named(std::string_view name);
// The name printed for a code ("return", "delete", "escape" for the codes with two names).
std::optional<std::string_view> nameOf(uint16_t code);
// An unshifted US ANSI character (letters lower case, the space included): its key.
std::optional<uint16_t> ansi(char c);
// The unshifted character on a key.
std::optional<char> ansiCharOf(uint16_t code);
// A shifted US ANSI character ('!' → '1', '"' → '\'', ...): the unshifted one on the same key.
std::optional<char> ansiShifted(char c);
}  // namespace KeyCode

// A key with modifiers (only the Shift, Control, Option and Command masks are used).
struct KeyCombo {
    uint16_t keyCode = 0;
    EventFlags flags = EventFlag::none;

    static const KeyCombo undo;     // Command-Z
    static const KeyCombo redo;     // Shift-Command-Z
    static const KeyCombo escape;
    static const KeyCombo zoomIn;   // Command-=
    static const KeyCombo zoomOut;  // Command--

    // "cmd+shift+z", "⇧+⌘+z", "Ctrl + Alt + Delete": case-insensitive pieces joined by "+";
    // modifiers anywhere, the last key wins. Absent without a key, or with a piece that is
    // neither a modifier, a key name nor one unshifted US character.
    static std::optional<KeyCombo> parse(std::string_view text);
    // The stored form: "ctrl", "alt", "shift", "cmd" as present, then the key's name or
    // character, joined by "+". A key in neither table is left out (the text then parses to
    // nothing).
    std::string rawText() const;
    // The display form: ⌃⌥⇧⌘ then the key's name, its character in upper case, or "#code".
    std::string description() const;

    friend bool operator==(const KeyCombo&, const KeyCombo&) = default;
};

// What a gesture does. Stored as its text (rawValue), in the settings and in profiles.
class GestureAction {
public:
    enum class Kind { keys, none, rightClick, middleClick, scroll, spaceDrag, magnify, cmdScroll, altScroll, undo, redo,
                      spaces };

    constexpr GestureAction(Kind kind = Kind::none) : kind_(kind == Kind::keys ? Kind::none : kind) {}
    static constexpr GestureAction keys(KeyCombo combo) { return GestureAction(combo); }
    // Never fails: an exact, case-sensitive action name, or "keys:" and a combo; anything else
    // (an unparsable combo included) is `none`.
    explicit GestureAction(std::string_view text);

    Kind kind() const { return kind_; }
    // The combo of a `keys` action.
    const KeyCombo& combo() const { return combo_; }
    std::string rawValue() const;
    std::string description() const { return rawValue(); }

    friend bool operator==(const GestureAction&, const GestureAction&) = default;

private:
    explicit constexpr GestureAction(KeyCombo combo) : kind_(Kind::keys), combo_(combo) {}
    Kind kind_;
    KeyCombo combo_{};
};

// JSON: the action's text as one string.
template <>
struct JsonCoding<GestureAction> {
    static std::optional<GestureAction> read(const Json& v) {
        if (!v.is_string()) return std::nullopt;
        return GestureAction(v.get_ref<const std::string&>());
    }
    static Json write(const GestureAction& a) { return a.rawValue(); }
};

}  // namespace kelvo
