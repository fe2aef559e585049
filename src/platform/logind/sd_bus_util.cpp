#include "platform/logind/sd_bus_util.hpp"

#include <string.h>

namespace kelvo {

std::string SdBusError::text(int r) const {
    if (sd_bus_error_is_set(&error_) && error_.message) return error_.message;
    return strerror(r < 0 ? -r : r);
}

SdBusPtr openSystemBus(uint64_t callTimeoutUs, std::string& error) {
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    if (r < 0) {
        error = std::string("cannot connect to the system bus: ") + strerror(-r);
        return nullptr;
    }
    SdBusPtr bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), callTimeoutUs);
    return bus;
}

}  // namespace kelvo
