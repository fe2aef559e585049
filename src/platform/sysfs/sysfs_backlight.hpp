#pragma once

#include <optional>
#include <string>

#include "core/session/built_in_brightness.hpp"

namespace kelvo {

// The built-in panel's brightness from the kernel's backlight devices under `root`. The panel's
// own control is preferred by type: "firmware", then "platform", then "raw" (by name within a
// type). Devices are looked up on every read, so one that appears later is found.
class SysfsBacklight final : public BuiltInBrightness {
public:
    explicit SysfsBacklight(std::string root = "/sys/class/backlight");
    std::optional<double> read() override;

private:
    std::string root_;
};

}  // namespace kelvo
