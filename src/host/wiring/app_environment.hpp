#pragma once

#include <memory>

#include "core/runtime/executor.hpp"
#include "core/session/session_environment.hpp"

namespace kelvo {

// The desktop the application serves tablets on.
struct AppEnvironment {
    SessionEnvironment session;
    // False when there is no X server to reach: nothing can be captured or injected then, and the
    // application can only run its smoke test.
    bool hasDesktop = false;
    // Whether the display server can make virtual displays for a tablet.
    bool virtualDisplaysAvailable = false;
};

// The environment of the X server in $DISPLAY, or a headless one (logged) when it cannot be
// reached. Made on the main queue.
AppEnvironment makeAppEnvironment(std::shared_ptr<Executor> main);

}  // namespace kelvo
