#pragma once

#include <memory>

#include "core/runtime/manual_executor.hpp"
#include "testing/simulated_display_server.hpp"

namespace kelvo::test {

// A desk of two displays on the simulated server, driven by a manual main queue:
// a built-in HiDPI main display and an external monitor to its right.
struct SimulatedDesk {
    SimulatedDisplayServer server;
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>("main");
    DisplayId builtin = 0;
    DisplayId external = 0;

    SimulatedDesk() {
        using S = SimulatedDisplayServer;
        builtin = server.addDisplay({{S::mode(1440, 900, 2), S::mode(1680, 1050, 2), S::mode(1280, 800, 2),
                                      S::mode(1440, 900, 1)},
                                     0, 0, 0, true, std::nullopt});
        external = server.addDisplay({{S::mode(1920, 1080, 1, 60), S::mode(1920, 1080, 1, 59.94),
                                       S::mode(1280, 720, 1, 60)},
                                      0, 1440, 0, false, std::string("Studio 27")});
    }
};

}  // namespace kelvo::test
