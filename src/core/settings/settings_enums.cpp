#include "core/settings/settings_enums.hpp"

namespace kelvo {

std::pair<int64_t, int64_t> landscapePoints(DisplayPreset preset) {
    switch (preset) {
        case DisplayPreset::standard: return {1024, 768};
        case DisplayPreset::more: return {1152, 864};
        case DisplayPreset::evenMore: return {1280, 960};
        case DisplayPreset::most: return {1366, 1024};
    }
    return {1024, 768};
}

std::string title(DisplayPreset preset) {
    auto [w, h] = landscapePoints(preset);
    return std::to_string(w) + "\u00D7" + std::to_string(h);
}

}  // namespace kelvo
