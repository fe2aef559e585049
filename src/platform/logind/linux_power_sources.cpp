#include "platform/logind/linux_power_sources.hpp"

#include "core/session/polled_display_sleep.hpp"
#include "platform/logind/logind_power_source.hpp"
#include "platform/sysfs/sysfs_backlight.hpp"
#include "platform/x11/dpms_state.hpp"

namespace kelvo {

PowerObserver::Sources linuxPowerSources(std::shared_ptr<Executor> main) {
    auto dpms = std::make_shared<DpmsState>();
    PowerObserver::Sources sources;
    sources.session = std::make_shared<LogindPowerSource>(main);
    sources.display = std::make_shared<PolledDisplaySleep>(main, [dpms] { return dpms->displaysAsleep(); });
    sources.brightness = std::make_shared<SysfsBacklight>();
    return sources;
}

}  // namespace kelvo
