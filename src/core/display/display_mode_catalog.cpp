#include "core/display/display_mode_catalog.hpp"

#include <algorithm>

namespace kelvo {

ModeRegistrationUnit DisplayModeCatalog::registrationUnit = ModeRegistrationUnit::points;

std::string DisplayModeSpec::description() const {
    return std::to_string(pointWidth) + "×" + std::to_string(pointHeight) + " pt @2x (" +
           std::to_string(pixelWidth()) + "×" + std::to_string(pixelHeight()) + " px)";
}

DisplayModeSpec DisplayModeCatalog::spec(DisplayPreset preset, Orientation orientation) {
    auto [w, h] = landscapePoints(preset);
    if (orientation == Orientation::portrait) std::swap(w, h);
    return DisplayModeSpec{preset, w, h};
}

std::vector<DisplayModeSpec> DisplayModeCatalog::specs(Orientation orientation) {
    std::vector<DisplayModeSpec> out;
    for (auto preset : allCases<DisplayPreset>()) out.push_back(spec(preset, orientation));
    return out;
}

std::vector<SizeD> DisplayModeCatalog::registrationSizes(Orientation orientation,
                                                         std::optional<DisplayPreset> preferred,
                                                         ModeRegistrationUnit unit) {
    auto list = specs(orientation);
    std::reverse(list.begin(), list.end());
    if (preferred) {
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& s) { return s.preset == *preferred; });
        if (it != list.end()) std::rotate(list.begin(), it, it + 1);
    }
    std::vector<SizeD> out;
    for (const auto& s : list) {
        if (unit == ModeRegistrationUnit::points) {
            out.push_back({double(s.pointWidth), double(s.pointHeight)});
        } else {
            out.push_back({double(s.pixelWidth()), double(s.pixelHeight())});
        }
    }
    return out;
}

DisplayModeCatalog::PixelSize DisplayModeCatalog::maxPixels(Orientation orientation) {
    if (orientation == Orientation::portrait) return {2048, 2732};
    return {2732, 2048};
}

SizeD DisplayModeCatalog::physicalSize(Orientation orientation, SizeD landscapeMM) {
    double longSide = std::max(landscapeMM.width, landscapeMM.height);
    double shortSide = std::min(landscapeMM.width, landscapeMM.height);
    if (orientation == Orientation::portrait) return {shortSide, longSide};
    return {longSide, shortSide};
}

}  // namespace kelvo
