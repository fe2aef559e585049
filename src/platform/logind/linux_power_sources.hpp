#pragma once

#include <memory>

#include "core/runtime/executor.hpp"
#include "core/session/power_observer.hpp"

namespace kelvo {

// The power observer's sources on a Linux desktop, all confined to `main`: logind for lock and
// sleep, the X server's display power (polled each second) and the kernel's backlight.
PowerObserver::Sources linuxPowerSources(std::shared_ptr<Executor> main);

}  // namespace kelvo
