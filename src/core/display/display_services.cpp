#include "core/display/display_services.hpp"

namespace kelvo {

std::vector<DisplayMode> virtualDisplayModes(const VirtualDisplaySettings& settings, uint32_t maxPixelsWide,
                                             uint32_t maxPixelsHigh) {
    std::vector<DisplayMode> out;
    auto add = [&](const VirtualDisplayModeSize& size, double scale) {
        double pw = size.width * scale, ph = size.height * scale;
        if (size.width == 0 || size.height == 0 || pw > maxPixelsWide || ph > maxPixelsHigh) return;
        out.push_back(DisplayMode{double(size.width), double(size.height), pw, ph, size.refreshHz, true, out.size()});
    };
    for (const auto& size : settings.modes) {
        if (settings.hiDPI) add(size, 2);
        add(size, 1);
    }
    return out;
}

}  // namespace kelvo
