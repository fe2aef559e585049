// kelvo-control on|off|status: the connection control from a terminal or a desktop shortcut.
#include <cstdio>
#include <cstring>

#include "core/settings/file_user_defaults.hpp"
#include "core/util/json.hpp"
#include "platform/desktop/control_bridge.hpp"
#include "platform/desktop/control_bus.hpp"

namespace {

std::optional<kelvo::Json> stored(const kelvo::UserDefaults& suite, const char* key) {
    auto bytes = suite.data(key);
    return bytes ? kelvo::parseJson(*bytes) : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "on") && std::strcmp(argv[1], "off") && std::strcmp(argv[1], "status"))) {
        std::fprintf(stderr, "usage: kelvo-control on|off|status\n");
        return 2;
    }
    kelvo::FileUserDefaults suite(kelvo::ControlBridge::suiteFolder());
    if (std::strcmp(argv[1], "status") == 0) {
        auto connected = stored(suite, "connected");
        auto detail = stored(suite, "detail");
        if (!connected || !connected->is_boolean() || !detail || !detail->is_string()) {
            std::fprintf(stderr, "kelvo-control: no state yet (is kelvo-host running?)\n");
            return 1;
        }
        std::printf("%s\n%s\n", connected->get<bool>() ? "connected" : "not connected",
                    detail->get<std::string>().c_str());
        return 0;
    }
    std::string error = kelvo::sendControlRequest(suite, std::strcmp(argv[1], "on") == 0);
    if (!error.empty()) {
        std::fprintf(stderr, "kelvo-control: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
