#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/display/display_services.hpp"

namespace kelvo {

// The one owner of a platform virtual display: the display exists exactly as long as this
// object. Made on the main queue; the termination handler runs on the queue given at creation.
class VirtualDisplay {
public:
    static bool isAvailable(VirtualDisplayFactory& factory);

    // Null when virtual displays are unavailable, the server refuses, or the display it made
    // has id 0 (that half-made display is removed again). The termination handler may be empty.
    static std::unique_ptr<VirtualDisplay> create(VirtualDisplayFactory& factory, VirtualDisplayDescriptor descriptor);

    DisplayId displayID() const { return display_->displayID(); }

    // Registers the sizes (in array order) at `refreshHz`. Sizes are cut to whole numbers:
    // NaN and negative become 0, beyond 32 bits the largest value. False when the server
    // refuses; an empty list is still sent.
    bool applyModeSizes(const std::vector<SizeD>& sizes, double refreshHz, bool hiDPI);

    explicit VirtualDisplay(std::unique_ptr<PlatformVirtualDisplay> display) : display_(std::move(display)) {}

private:
    std::unique_ptr<PlatformVirtualDisplay> display_;
};

// Whole 32-bit value of `v`, cut toward zero: NaN and negatives give 0, too large the maximum.
uint32_t clampToUInt32(double v) noexcept;

}  // namespace kelvo
