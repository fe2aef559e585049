#include "core/input/modifier_state.hpp"

#include <vector>

#include "core/input/key_combo.hpp"

namespace kelvo {

namespace {
// A press held longer than this is no tap.
constexpr uint64_t kTapMaxUs = 299'999;
// Second tap within this of the first locks the key.
constexpr uint64_t kDoubleTapUs = 400'000;
}  // namespace

ModifierState::ModifierState() {
    const auto key = [](uint16_t code, EventFlags flag) {
        Key k;
        k.keyCode = code;
        k.flag = flag;
        return k;
    };
    keys_[10] = key(KeyCode::command, EventFlag::command);
    keys_[11] = key(KeyCode::option, EventFlag::option);
    keys_[12] = key(KeyCode::control, EventFlag::control);
    keys_[13] = key(KeyCode::shift, EventFlag::shift);
}

EventFlags ModifierState::flags() const {
    EventFlags f = EventFlag::none;
    for (const auto& [id, k] : keys_) {
        if (active(k)) f |= k.flag;
    }
    return f;
}

std::optional<ModifierState::Mode> ModifierState::mode(int id) const {
    if (auto it = keys_.find(id); it != keys_.end()) return it->second.mode;
    return std::nullopt;
}

void ModifierState::buttonDown(int id, uint64_t nowUs) {
    auto it = keys_.find(id);
    if (it == keys_.end()) return;
    Key& k = it->second;
    const bool wasActive = active(k);
    k.pressed = true;
    k.downUs = nowUs;
    k.otherInput = false;
    if (!wasActive) emitFlags(k);
    onChange();
}

void ModifierState::buttonUp(int id, uint64_t nowUs) {
    auto it = keys_.find(id);
    if (it == keys_.end() || !it->second.pressed) return;
    Key& k = it->second;
    Mode mode = k.mode;
    std::optional<uint64_t> lastTap = k.lastTapUs;
    if (k.otherInput) {
        mode = Mode::off;
        lastTap.reset();
    } else if (nowUs < k.downUs || nowUs - k.downUs > kTapMaxUs) {
        // held without other input: the mode stays
    } else {
        switch (k.mode) {
            case Mode::off:
            case Mode::momentary:
                mode = Mode::oneShot;
                lastTap = nowUs;
                break;
            case Mode::oneShot:
                mode = k.lastTapUs && nowUs >= *k.lastTapUs && nowUs - *k.lastTapUs <= kDoubleTapUs ? Mode::locked
                                                                                                   : Mode::off;
                lastTap.reset();
                break;
            case Mode::locked:
                mode = Mode::off;
                lastTap.reset();
                break;
        }
    }
    k.pressed = false;
    k.mode = mode;
    k.lastTapUs = lastTap;
    if (!active(k)) emitFlags(k);
    onChange();
}

void ModifierState::buttonCancel(int id) {
    auto it = keys_.find(id);
    if (it == keys_.end() || !it->second.pressed) return;
    Key& k = it->second;
    k.pressed = false;
    if (k.mode == Mode::off) emitFlags(k);
    onChange();
}

void ModifierState::noteInput() {
    bool changed = false;
    for (auto& [id, k] : keys_) {
        if (!k.pressed || k.otherInput) continue;
        k.otherInput = true;
        if (k.mode == Mode::off) k.mode = Mode::momentary;
        changed = true;
    }
    if (changed) onChange();
}

void ModifierState::inputCompleted() {
    std::vector<Key*> released;
    for (auto& [id, k] : keys_) {
        if (k.mode != Mode::oneShot || k.pressed) continue;
        k.mode = Mode::off;
        k.lastTapUs.reset();
        released.push_back(&k);
    }
    if (released.empty()) return;
    for (const Key* k : released) emitFlags(*k);
    onChange();
}

void ModifierState::releaseAll() {
    bool any = false;
    for (auto& [id, k] : keys_) {
        if (!active(k)) continue;
        k.pressed = false;
        k.mode = Mode::off;
        k.lastTapUs.reset();
        emitFlags(k);  // each key goes up in turn: the flags shrink event by event
        any = true;
    }
    if (any) onChange();
}

std::map<int, std::string> ModifierState::uiItems() const {
    std::map<int, std::string> items;
    for (const auto& [id, k] : keys_) {
        switch (k.mode) {
            case Mode::off:
                if (k.pressed) items[id] = "on";
                break;
            case Mode::oneShot:
            case Mode::locked: items[id] = rawValue(k.mode); break;
            case Mode::momentary: items[id] = "on"; break;
        }
    }
    return items;
}

std::string_view rawValue(ModifierState::Mode mode) {
    switch (mode) {
        case ModifierState::Mode::off: return "off";
        case ModifierState::Mode::oneShot: return "oneShot";
        case ModifierState::Mode::locked: return "locked";
        case ModifierState::Mode::momentary: return "momentary";
    }
    return "off";
}

}  // namespace kelvo
