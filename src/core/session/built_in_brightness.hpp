#pragma once

#include <optional>

namespace kelvo {

// The brightness of the host's built-in panel. Called on the main thread.
class BuiltInBrightness {
public:
    virtual ~BuiltInBrightness() = default;
    // 0…1, or nullopt when there is no built-in panel or it cannot be read now.
    virtual std::optional<double> read() = 0;
};

}  // namespace kelvo
