#include <gtest/gtest.h>

#include "core/input/key_combo.hpp"

namespace kelvo {
namespace {

constexpr EventFlags kCmd = EventFlag::command;
constexpr EventFlags kShift = EventFlag::shift;
constexpr EventFlags kAlt = EventFlag::option;
constexpr EventFlags kCtrl = EventFlag::control;

TEST(KeyCombo, Parse) {
    struct {
        const char* text;
        std::optional<KeyCombo> combo;
    } cases[] = {
        {"Cmd+Shift+Z", KeyCombo{6, kCmd | kShift}},
        {"shift + cmd + z", KeyCombo{6, kCmd | kShift}},
        {"\u21e7+\u2318+z", KeyCombo{6, kCmd | kShift}},
        {"ctrl+alt+delete", KeyCombo{51, kCtrl | kAlt}},
        {"\u2303\t+ \u2325 +backspace", KeyCombo{51, kCtrl | kAlt}},
        {"cmd+a+b", KeyCombo{11, kCmd}},
        {"cmd++=", KeyCombo{24, kCmd}},
        {"escape", KeyCombo{53, 0}},
        {"esc", KeyCombo{53, 0}},
        {"ESC", KeyCombo{53, 0}},
        {"pagedown", KeyCombo{121, 0}},
        {"option+command+control+cmd+x", KeyCombo{7, kAlt | kCmd | kCtrl}},
        {"cmd", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"cmd+foo", std::nullopt},
        {"cmd+!", std::nullopt},
        {"cmd+ ", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(KeyCombo::parse(c.text), c.combo) << c.text;
}

TEST(KeyCombo, PrintedForms) {
    struct {
        KeyCombo combo;
        const char* raw;
        const char* description;
    } cases[] = {
        {KeyCombo::redo, "shift+cmd+z", "\u21e7\u2318Z"},
        {KeyCombo::zoomIn, "cmd+=", "\u2318="},
        {KeyCombo::zoomOut, "cmd+-", "\u2318-"},
        {KeyCombo{36, kCmd}, "cmd+return", "\u2318return"},
        {KeyCombo{51, kCtrl | kAlt | kShift | kCmd}, "ctrl+alt+shift+cmd+delete", "\u2303\u2325\u21e7\u2318delete"},
        {KeyCombo{49, 0}, "space", "space"},
        {KeyCombo{100, kCmd}, "cmd", "\u2318#100"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.combo.rawText(), c.raw);
        EXPECT_EQ(c.combo.description(), c.description);
    }
    EXPECT_FALSE(KeyCombo::parse(KeyCombo{100, kCmd}.rawText())) << "an unknown key does not survive its text";
}

TEST(GestureAction, TextRoundTrips) {
    using K = GestureAction::Kind;
    const GestureAction all[] = {
        K::none,     K::rightClick, K::middleClick, K::scroll, K::spaceDrag, K::magnify,
        K::cmdScroll, K::altScroll, K::undo,        K::redo,   K::spaces,
        GestureAction::keys({8, kCmd}),
        GestureAction::keys({117, kCtrl | kShift}),
        GestureAction::keys({24, 0}),
    };
    for (const auto& a : all) {
        EXPECT_EQ(GestureAction(a.rawValue()), a) << a.rawValue();
        EXPECT_EQ(jsonAs<GestureAction>(toJson(a)), a);
    }
    EXPECT_EQ(GestureAction("keys:cmd+c").combo(), (KeyCombo{8, kCmd}));
    EXPECT_EQ(GestureAction("keys:ctrl+alt+delete"), GestureAction::keys({51, kCtrl | kAlt}));
    EXPECT_EQ(GestureAction("keys:cmd"), GestureAction(K::none));
    EXPECT_EQ(GestureAction("rightclick"), GestureAction(K::none));
    EXPECT_EQ(GestureAction(K::keys), GestureAction(K::none)) << "keys needs a combo";
    EXPECT_EQ(GestureAction(K::magnify).description(), "magnify");
    EXPECT_FALSE(jsonAs<GestureAction>(Json(3)));
}

}  // namespace
}  // namespace kelvo
