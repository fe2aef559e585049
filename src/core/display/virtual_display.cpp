#include "core/display/virtual_display.hpp"

#include <cmath>
#include <limits>

namespace kelvo {

uint32_t clampToUInt32(double v) noexcept {
    if (!(v > 0)) return 0;  // NaN too
    constexpr double kMax = std::numeric_limits<uint32_t>::max();
    if (v >= kMax) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(v);
}

bool VirtualDisplay::isAvailable(VirtualDisplayFactory& factory) { return factory.isAvailable(); }

std::unique_ptr<VirtualDisplay> VirtualDisplay::create(VirtualDisplayFactory& factory,
                                                       VirtualDisplayDescriptor descriptor) {
    if (!factory.isAvailable()) return nullptr;
    descriptor.terminationHandler = [handler = std::move(descriptor.terminationHandler)] {
        if (handler) handler();
    };
    auto display = factory.create(descriptor);
    if (!display || display->displayID() == 0) return nullptr;
    return std::make_unique<VirtualDisplay>(std::move(display));
}

bool VirtualDisplay::applyModeSizes(const std::vector<SizeD>& sizes, double refreshHz, bool hiDPI) {
    VirtualDisplaySettings settings;
    settings.hiDPI = hiDPI;
    for (const auto& s : sizes) {
        settings.modes.push_back({clampToUInt32(s.width), clampToUInt32(s.height), refreshHz});
    }
    return display_->applySettings(settings);
}

}  // namespace kelvo
