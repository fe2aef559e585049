#include "platform/logind/local_host_name.hpp"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/util/log.hpp"
#include "platform/logind/sd_bus_util.hpp"

namespace kelvo {
namespace {

std::optional<std::string> prettyHostName() {
    std::string error;
    SdBusPtr bus = openSystemBus(1'000'000, error);
    if (!bus) return std::nullopt;
    SdBusError err;
    char* name = nullptr;
    int r = sd_bus_get_property_string(bus.get(), "org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                                       "org.freedesktop.hostname1", "PrettyHostname", err.get(), &name);
    std::optional<std::string> out;
    if (r >= 0 && name && *name) out = name;
    free(name);
    if (r < 0) Log::d("app", "no pretty host name: " + err.text(r));
    return out;
}

}  // namespace

std::optional<std::string> localHostName() {
    if (auto pretty = prettyHostName()) return pretty;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

}  // namespace kelvo
