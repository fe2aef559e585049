#include "core/input/key_combo.hpp"

#include <array>
#include <utility>
#include <vector>

namespace kelvo {

namespace {

struct NamedKey {
    std::string_view name;
    uint16_t code;
};

// For codes with two names the first is the one printed.
constexpr std::array<NamedKey, 17> kNamed{{
    {"return", 36}, {"enter", 36},      {"tab", 48},           {"space", 49},    {"delete", 51},   {"backspace", 51},
    {"escape", 53}, {"esc", 53},        {"left", 123},         {"right", 124},   {"up", 126},      {"down", 125},
    {"home", 115},  {"end", 119},       {"forwarddelete", 117}, {"pageup", 116}, {"pagedown", 121},
}};

struct AnsiKey {
    char c;
    uint16_t code;
};

constexpr std::array<AnsiKey, 48> kAnsi{{
    {'a', 0},   {'s', 1},   {'d', 2},   {'f', 3},   {'h', 4},   {'g', 5},   {'z', 6},   {'x', 7},
    {'c', 8},   {'v', 9},   {'b', 11},  {'q', 12},  {'w', 13},  {'e', 14},  {'r', 15},  {'y', 16},
    {'t', 17},  {'1', 18},  {'2', 19},  {'3', 20},  {'4', 21},  {'6', 22},  {'5', 23},  {'=', 24},
    {'9', 25},  {'7', 26},  {'-', 27},  {'8', 28},  {'0', 29},  {']', 30},  {'o', 31},  {'u', 32},
    {'[', 33},  {'i', 34},  {'p', 35},  {'l', 37},  {'j', 38},  {'\'', 39}, {'k', 40},  {';', 41},
    {'\\', 42}, {',', 43},  {'/', 44},  {'n', 45},  {'m', 46},  {'.', 47},  {'`', 50},  {' ', 49},
}};

constexpr std::array<std::pair<char, char>, 21> kShifted{{
    {'!', '1'}, {'@', '2'}, {'#', '3'}, {'$', '4'}, {'%', '5'}, {'^', '6'}, {'&', '7'},
    {'*', '8'}, {'(', '9'}, {')', '0'}, {'_', '-'}, {'+', '='}, {'{', '['}, {'}', ']'},
    {'|', '\\'}, {':', ';'}, {'"', '\''}, {'<', ','}, {'>', '.'}, {'?', '/'}, {'~', '`'},
}};

struct ModifierWord {
    std::string_view word;
    EventFlags flag;
};

constexpr std::array<ModifierWord, 12> kModifierWords{{
    {"cmd", EventFlag::command},   {"command", EventFlag::command}, {"\u2318", EventFlag::command},
    {"shift", EventFlag::shift},   {"\u21e7", EventFlag::shift},    {"alt", EventFlag::option},
    {"opt", EventFlag::option},    {"option", EventFlag::option},   {"\u2325", EventFlag::option},
    {"ctrl", EventFlag::control},  {"control", EventFlag::control}, {"\u2303", EventFlag::control},
}};

// Printing order of the modifiers, with their stored word and display symbol.
struct ModifierPrint {
    EventFlags flag;
    std::string_view word;
    std::string_view symbol;
};
constexpr std::array<ModifierPrint, 4> kModifierPrint{{
    {EventFlag::control, "ctrl", "\u2303"},
    {EventFlag::option, "alt", "\u2325"},
    {EventFlag::shift, "shift", "\u21e7"},
    {EventFlag::command, "cmd", "\u2318"},
}};

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

constexpr std::array<std::pair<GestureAction::Kind, std::string_view>, 11> kActionNames{{
    {GestureAction::Kind::none, "none"},
    {GestureAction::Kind::rightClick, "rightClick"},
    {GestureAction::Kind::middleClick, "middleClick"},
    {GestureAction::Kind::scroll, "scroll"},
    {GestureAction::Kind::spaceDrag, "spaceDrag"},
    {GestureAction::Kind::magnify, "magnify"},
    {GestureAction::Kind::cmdScroll, "cmdScroll"},
    {GestureAction::Kind::altScroll, "altScroll"},
    {GestureAction::Kind::undo, "undo"},
    {GestureAction::Kind::redo, "redo"},
    {GestureAction::Kind::spaces, "spaces"},
}};

constexpr std::string_view kKeysPrefix = "keys:";

}  // namespace

namespace KeyCode {

std::optional<uint16_t> named(std::string_view name) {
    for (const auto& k : kNamed) {
        if (k.name == name) return k.code;
    }
    return std::nullopt;
}

std::optional<std::string_view> nameOf(uint16_t code) {
    for (const auto& k : kNamed) {
        if (k.code == code) return k.name;
    }
    return std::nullopt;
}

std::optional<uint16_t> ansi(char c) {
    for (const auto& k : kAnsi) {
        if (k.c == c) return k.code;
    }
    return std::nullopt;
}

std::optional<char> ansiCharOf(uint16_t code) {
    for (const auto& k : kAnsi) {
        if (k.code == code) return k.c;
    }
    return std::nullopt;
}

std::optional<char> ansiShifted(char c) {
    for (const auto& [shifted, plain] : kShifted) {
        if (shifted == c) return plain;
    }
    return std::nullopt;
}

}  // namespace KeyCode

const KeyCombo KeyCombo::undo{6, EventFlag::command};
const KeyCombo KeyCombo::redo{6, EventFlag::command | EventFlag::shift};
const KeyCombo KeyCombo::escape{KeyCode::escape, EventFlag::none};
const KeyCombo KeyCombo::zoomIn{24, EventFlag::command};
const KeyCombo KeyCombo::zoomOut{27, EventFlag::command};

std::optional<KeyCombo> KeyCombo::parse(std::string_view text) {
    const std::string lower = asciiLower(text);
    std::optional<uint16_t> key;
    EventFlags flags = EventFlag::none;
    bool anyPiece = false;
    std::string_view rest = lower;
    while (true) {
        const size_t plus = rest.find('+');
        const std::string_view raw = rest.substr(0, plus);
        if (!raw.empty()) {
            anyPiece = true;
            const std::string_view piece = trimmed(raw);
            bool modifier = false;
            for (const auto& m : kModifierWords) {
                if (m.word == piece) {
                    flags |= m.flag;
                    modifier = true;
                    break;
                }
            }
            if (!modifier) {
                if (auto code = KeyCode::named(piece)) {
                    key = code;
                } else if (piece.size() == 1 && KeyCode::ansi(piece[0])) {
                    key = KeyCode::ansi(piece[0]);
                } else {
                    return std::nullopt;
                }
            }
        }
        if (plus == std::string_view::npos) break;
        rest.remove_prefix(plus + 1);
    }
    if (!anyPiece || !key) return std::nullopt;
    return KeyCombo{*key, flags};
}

std::string KeyCombo::rawText() const {
    std::vector<std::string> pieces;
    for (const auto& m : kModifierPrint) {
        if (flags & m.flag) pieces.emplace_back(m.word);
    }
    if (auto name = KeyCode::nameOf(keyCode)) {
        pieces.emplace_back(*name);
    } else if (auto c = KeyCode::ansiCharOf(keyCode)) {
        pieces.emplace_back(1, *c);
    }
    std::string out;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i) out += '+';
        out += pieces[i];
    }
    return out;
}

std::string KeyCombo::description() const {
    std::string out;
    for (const auto& m : kModifierPrint) {
        if (flags & m.flag) out += m.symbol;
    }
    if (auto name = KeyCode::nameOf(keyCode)) {
        out += *name;
    } else if (auto c = KeyCode::ansiCharOf(keyCode)) {
        out += (*c >= 'a' && *c <= 'z') ? static_cast<char>(*c - 'a' + 'A') : *c;
    } else {
        out += "#" + std::to_string(keyCode);
    }
    return out;
}

GestureAction::GestureAction(std::string_view text) : kind_(Kind::none) {
    if (text.starts_with(kKeysPrefix)) {
        if (auto combo = KeyCombo::parse(text.substr(kKeysPrefix.size()))) {
            kind_ = Kind::keys;
            combo_ = *combo;
        }
        return;
    }
    for (const auto& [kind, name] : kActionNames) {
        if (name == text) {
            kind_ = kind;
            return;
        }
    }
}

std::string GestureAction::rawValue() const {
    if (kind_ == Kind::keys) return std::string(kKeysPrefix) + combo_.rawText();
    for (const auto& [kind, name] : kActionNames) {
        if (kind == kind_) return std::string(name);
    }
    return "none";
}

}  // namespace kelvo
