#include <gtest/gtest.h>

#include "core/input/keyboard_synthesizer.hpp"
#include "core/util/utf8.hpp"
#include "input_test_support.hpp"

namespace kelvo {
namespace {

using namespace test;

std::string text(const std::string& s, EventFlags flags = EventFlag::none) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " flags=0x%llx", static_cast<unsigned long long>(flags));
    return describe(synth::Text{s}) + (flags ? buf : "");
}

TEST(KeyLayoutMap, UsAnsiAndShiftedLetters) {
    const auto& us = KeyLayoutMap::usANSI();
    using Stroke = KeyLayoutMap::Stroke;
    EXPECT_EQ(us['a'], (Stroke{0, false}));
    EXPECT_EQ(us['A'], (Stroke{0, true}));
    EXPECT_EQ(us['!'], (Stroke{18, true}));
    EXPECT_EQ(us[' '], (Stroke{49, false}));
    EXPECT_EQ(us['"'], (Stroke{39, true}));
    EXPECT_EQ(us[U'\u00E9'], std::nullopt);
    EXPECT_EQ(us['\t'], std::nullopt);
    EXPECT_EQ(us.size(), 48u + 21u);
}

TEST(KeyLayoutMap, FromTranslatorKeepsTheFirstKeyAndFallsBackWhenTooFew) {
    // A layout with y and z swapped: unshifted keys first, lower codes first.
    const auto swapped = KeyLayoutMap::fromTranslator([](uint16_t code, bool shift) -> std::optional<char32_t> {
        auto c = KeyCode::ansiCharOf(code);
        if (!c) return std::nullopt;
        char ch = *c == 'y' ? 'z' : *c == 'z' ? 'y' : *c;
        if (shift && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        else if (shift) return U'\u00A7';  // outside printable ASCII: not kept
        return static_cast<char32_t>(ch);
    });
    EXPECT_EQ(swapped['z'], (KeyLayoutMap::Stroke{16, false}));
    EXPECT_EQ(swapped['Y'], (KeyLayoutMap::Stroke{6, true}));
    EXPECT_EQ(swapped['!'], std::nullopt);

    const auto few = KeyLayoutMap::fromTranslator([](uint16_t code, bool) -> std::optional<char32_t> {
        if (code < 25) return static_cast<char32_t>('a' + code);
        return std::nullopt;
    });
    EXPECT_EQ(few, KeyLayoutMap::usANSI());

    EXPECT_EQ(KeyLayoutMap::current(), KeyLayoutMap::usANSI()) << "no platform source installed";
}

TEST(KeyboardSynthesizer, TextPaths) {
    const EventFlags cmd = EventFlag::command;
    const std::string longLine(45, 'x');
    std::string emoji;
    for (int i = 0; i < 15; ++i) emoji += "\U0001F600";
    struct Case {
        const char* name;
        std::string input;
        EventFlags modifiers;
        Lines expected;
    } cases[] = {
        {"plain", "hello", 0, {text("hello")}},
        {"latched key stroke", "c", cmd, {key(8, true, cmd), key(8, false, cmd)}},
        {"upper case adds shift", "C", cmd, {key(8, true, cmd | EventFlag::shift), key(8, false, cmd | EventFlag::shift)}},
        {"not ascii stays text", "\u00E9", cmd, {text("\u00E9", cmd)}},
        {"lines", "ab\ncd", 0, {text("ab"), key(36, true, 0), key(36, false, 0), text("cd")}},
        {"lone line feed", "\n", 0, {key(36, true, 0), key(36, false, 0)}},
        {"trailing line feed", "a\n", 0, {text("a"), key(36, true, 0), key(36, false, 0)}},
        {"empty lines kept", "a\n\nb", 0,
         {text("a"), key(36, true, 0), key(36, false, 0), key(36, true, 0), key(36, false, 0), text("b")}},
        {"carriage returns", "a\r\nb\rc", 0,
         {text("a"), key(36, true, 0), key(36, false, 0), text("b"), key(36, true, 0), key(36, false, 0), text("c")}},
        {"tab is a key", "a\tb", 0, {text("a"), key(48, true, 0), key(48, false, 0), text("b")}},
        {"latched tab", "\t", cmd, {key(48, true, cmd), key(48, false, cmd)}},
        {"controls dropped", std::string("a\x1b[2J\x07") + "\u0085b\x7f", 0, {text("a[2Jb")}},
        {"only controls", "\x01\x02", 0, {}},
        {"chunks of 20", longLine, 0, {text(std::string(20, 'x')), text(std::string(20, 'x')), text(std::string(5, 'x'))}},
        {"characters not split", emoji, 0, {text(emoji.substr(0, 40)), text(emoji.substr(40))}},
        {"invalid utf-8", "a\xff", 0, {}},
        {"empty", "", 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InputRig rig;
        int began = 0, completed = 0;
        rig.ctx.modifierFlags = [&] { return c.modifiers; };
        rig.ctx.onInputBegan = [&] { ++began; };
        rig.ctx.onInputCompleted = [&] { ++completed; };
        KeyboardSynthesizer keyboard(rig.ctx);
        keyboard.text(c.input);
        EXPECT_EQ(rig.lines(), c.expected);
        const int inputs = c.input.empty() || !isValidUtf8(c.input) ? 0 : 1;
        EXPECT_EQ(began, inputs);
        EXPECT_EQ(completed, inputs);
    }
}

TEST(KeyboardSynthesizer, TextIsBoundedAtACharacterBoundary) {
    InputRig rig;
    KeyboardSynthesizer keyboard(rig.ctx);
    std::string huge;
    for (size_t i = 0; i < KeyboardSynthesizer::kMaxTextUnits; ++i) huge += i % 2 ? "a" : "\U0001F600";
    keyboard.text(huge);
    size_t units = 0;
    for (const auto& e : rig.sink->events()) {
        const auto& t = std::get<synth::Text>(e).text;
        EXPECT_LE(utf16Length(t), KeyboardSynthesizer::kChunkUnits);
        units += utf16Length(t);
    }
    EXPECT_LE(units, KeyboardSynthesizer::kMaxTextUnits);
    EXPECT_GT(units, KeyboardSynthesizer::kMaxTextUnits - 2);
    EXPECT_TRUE(isValidUtf8(std::get<synth::Text>(rig.sink->events().back()).text));
}

TEST(KeyboardSynthesizer, SpecialKeysAndRelease) {
    InputRig rig;
    Lines hooks;
    rig.ctx.onInputBegan = [&] { hooks.push_back("began"); };
    rig.ctx.onInputCompleted = [&] { hooks.push_back("completed"); };
    KeyboardSynthesizer keyboard(rig.ctx);
    keyboard.key(2, true);
    keyboard.key(2, false);
    keyboard.key(9, true);  // unknown
    EXPECT_EQ(rig.lines(), (Lines{key(36, true, 0), key(36, false, 0)}));
    EXPECT_EQ(hooks, (Lines{"began", "completed"}));

    // Keys still down are released, once.
    rig.sink->clear();
    keyboard.key(5, true);
    keyboard.key(1, true);
    keyboard.key(1, false);
    keyboard.releaseAll();
    keyboard.releaseAll();
    EXPECT_EQ(rig.lines(), (Lines{key(123, true, 0), key(51, true, 0), key(51, false, 0), key(123, false, 0)}));
}

TEST(KeyboardSynthesizer, Chunks) {
    EXPECT_EQ(KeyboardSynthesizer::chunks("", 20), std::vector<std::string>{});
    EXPECT_EQ(KeyboardSynthesizer::chunks("abcde", 2), (std::vector<std::string>{"ab", "cd", "e"}));
    // A character longer than the limit is a piece of its own; combining marks stay with it.
    EXPECT_EQ(KeyboardSynthesizer::chunks("a\U0001F600e\u0301", 1),
              (std::vector<std::string>{"a", "\U0001F600", "e\u0301"}));
}

}  // namespace
}  // namespace kelvo
