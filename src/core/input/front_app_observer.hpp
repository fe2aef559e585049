#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kelvo {

// Reports the application in front on the desktop (its id, for gesture profiles). The platform
// implements it; reports come on the main queue, once per activation, also when the id repeats.
class FrontAppObserver {
public:
    virtual ~FrontAppObserver() = default;
    // The front application's id; absent when there is none or it has no id.
    virtual std::optional<std::string> bundleID() const = 0;
    // Set by the session; called with the new front application's id after each activation.
    std::function<void(const std::optional<std::string>&)> onChange;
};

}  // namespace kelvo
