#include "core/input/key_layout_map.hpp"

#include <mutex>

#include "core/input/key_combo.hpp"

namespace kelvo {

namespace {

// Fewer printable characters than this means the translation failed, not a real layout.
constexpr size_t kMinLayoutCharacters = 26;

std::mutex gSourceLock;
KeyLayoutMap::Source gSource;

}  // namespace

const KeyLayoutMap& KeyLayoutMap::usANSI() {
    static const KeyLayoutMap map = [] {
        KeyLayoutMap m;
        for (int c = 0x20; c < 0x7F; ++c) {
            if (auto code = KeyCode::ansi(static_cast<char>(c))) m.strokes_[static_cast<char32_t>(c)] = {*code, false};
        }
        for (int c = 0x20; c < 0x7F; ++c) {
            const auto base = KeyCode::ansiShifted(static_cast<char>(c));
            if (!base) continue;
            if (auto code = KeyCode::ansi(*base)) m.strokes_.try_emplace(static_cast<char32_t>(c), Stroke{*code, true});
        }
        return m;
    }();
    return map;
}

KeyLayoutMap KeyLayoutMap::fromTranslator(const Translator& translate) {
    KeyLayoutMap m;
    for (bool shift : {false, true}) {
        for (uint16_t code = 0; code < 128; ++code) {
            const auto c = translate(code, shift);
            if (c && *c >= 0x20 && *c <= 0x7F) m.strokes_.try_emplace(*c, Stroke{code, shift});
        }
    }
    return m.strokes_.size() >= kMinLayoutCharacters ? m : usANSI();
}

KeyLayoutMap KeyLayoutMap::current() {
    auto installed = fromInstalledSource();
    return installed ? std::move(*installed) : usANSI();
}

std::optional<KeyLayoutMap> KeyLayoutMap::fromInstalledSource() {
    Source source;
    {
        std::lock_guard lock(gSourceLock);
        source = gSource;
    }
    if (!source) return std::nullopt;
    return source();
}

void KeyLayoutMap::installCurrentSource(Source source) {
    std::lock_guard lock(gSourceLock);
    gSource = std::move(source);
}

std::optional<KeyLayoutMap::Stroke> KeyLayoutMap::operator[](char32_t c) const {
    if (auto it = strokes_.find(c); it != strokes_.end()) return it->second;
    if (c < 'A' || c > 'Z') return std::nullopt;
    if (auto it = strokes_.find(c - 'A' + 'a'); it != strokes_.end()) return Stroke{it->second.keyCode, true};
    return std::nullopt;
}

}  // namespace kelvo
