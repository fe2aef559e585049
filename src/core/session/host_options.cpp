#include "core/session/host_options.hpp"

namespace kelvo {

HostOptions HostOptions::standard(const std::optional<std::string>& localName) {
    HostOptions options;
    if (localName && localName->find_first_not_of(" \t\r\n") != std::string::npos) options.hostName = *localName;
    return options;
}

}  // namespace kelvo
