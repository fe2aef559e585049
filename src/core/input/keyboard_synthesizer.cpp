#include "core/input/keyboard_synthesizer.hpp"

#include <optional>

#include "core/input/key_combo.hpp"
#include "core/util/log.hpp"
#include "core/util/utf8.hpp"

namespace kelvo {

namespace {

std::optional<uint16_t> virtualKey(int tabletCode) {
    switch (tabletCode) {
        case 1: return KeyCode::deleteKey;
        case 2: return KeyCode::returnKey;
        case 3: return KeyCode::tab;
        case 4: return KeyCode::escape;
        case 5: return KeyCode::left;
        case 6: return KeyCode::right;
        case 7: return KeyCode::up;
        case 8: return KeyCode::down;
        default: return std::nullopt;
    }
}

bool isLineBreak(std::string_view c) { return c == "\n" || c == "\r\n" || c == "\r"; }

// C0 controls, DEL and C1 controls, which would type nothing sensible (or something unsafe).
bool isControl(std::string_view c) {
    if (c.size() == 1) return static_cast<uint8_t>(c[0]) < 0x20 || c[0] == 0x7F;
    return c.size() == 2 && static_cast<uint8_t>(c[0]) == 0xC2 && static_cast<uint8_t>(c[1]) < 0xA0;
}

}  // namespace

void KeyboardSynthesizer::text(std::string_view utf8) {
    if (!isValidUtf8(utf8)) return;
    auto characters = splitCharacters(utf8);
    if (characters.empty()) return;
    size_t units = 0;
    for (size_t i = 0; i < characters.size(); ++i) {
        units += utf16Length(characters[i]);
        if (units > kMaxTextUnits) {
            Log::w("input", [&] {
                return "text input cut to " + std::to_string(i) + " of " + std::to_string(characters.size()) +
                       " characters";
            });
            characters.resize(i);
            break;
        }
    }

    ctx_.onInputBegan();
    if (ctx_.modifierFlags() != EventFlag::none && characters.size() == 1 && characters[0].size() == 1) {
        const char c = characters[0][0];
        const auto s = c >= 0x20 && c < 0x7F ? ctx_.keyLayout[static_cast<char32_t>(c)] : std::nullopt;
        if (s) {
            stroke(s->keyCode, s->shift ? EventFlag::shift : EventFlag::none);
            ctx_.onInputCompleted();
            return;
        }
    }
    std::string run;
    auto flush = [&] {
        for (auto& piece : chunks(run, kChunkUnits)) ctx_.post(synth::Text{std::move(piece)});
        run.clear();
    };
    for (std::string_view c : characters) {
        if (isLineBreak(c)) {
            flush();
            stroke(KeyCode::returnKey);
        } else if (c == "\t") {
            flush();
            stroke(KeyCode::tab);
        } else if (!isControl(c)) {
            run += c;
        }
    }
    flush();
    ctx_.onInputCompleted();
}

void KeyboardSynthesizer::key(int tabletCode, bool down) {
    const auto code = virtualKey(tabletCode);
    if (!code) return;
    if (down) {
        ctx_.onInputBegan();
        held_.insert(*code);
    } else {
        held_.erase(*code);
    }
    ctx_.post(synth::Key{*code, down});
    if (!down) ctx_.onInputCompleted();
}

void KeyboardSynthesizer::releaseAll() {
    if (held_.empty()) return;
    for (uint16_t code : held_) ctx_.post(synth::Key{code, false});
    held_.clear();
    ctx_.onInputCompleted();
}

std::vector<std::string> KeyboardSynthesizer::chunks(std::string_view text, size_t limit) {
    std::vector<std::string> out;
    std::string current;
    size_t units = 0;
    for (std::string_view c : splitCharacters(text)) {
        const size_t u = utf16Length(c);
        if (!current.empty() && units + u > limit) {
            out.push_back(std::move(current));
            current.clear();
            units = 0;
        }
        current += c;
        units += u;
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

void KeyboardSynthesizer::stroke(uint16_t keyCode, EventFlags extra) {
    ctx_.post(synth::Key{keyCode, true}, extra);
    ctx_.post(synth::Key{keyCode, false}, extra);
}

}  // namespace kelvo
