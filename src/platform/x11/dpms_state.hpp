#pragma once

#include <optional>
#include <string>

#include "platform/x11/xcb_session.hpp"

namespace kelvo {

// Whether the X server has powered its displays down (DPMS standby, suspend or off). Keeps one
// connection and makes it again after the server went away. Not thread-safe.
class DpmsState {
public:
    explicit DpmsState(std::string display = {});

    // true: asleep; false: on, or the server does not manage display power; nullopt: the
    // server cannot be reached. One blocking round trip.
    std::optional<bool> displaysAsleep();

private:
    std::string display_;
    XcbSession x_;
    bool reportedNoDpms_ = false;
};

}  // namespace kelvo
