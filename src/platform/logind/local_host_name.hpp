#pragma once

#include <optional>
#include <string>

namespace kelvo {

// The name a person gave this computer: hostnamed's pretty name when it has one (asked on the
// system bus, bounded by a short time-out), else the kernel's host name; nullopt when neither
// is known. Blocks for at most about a second.
std::optional<std::string> localHostName();

}  // namespace kelvo
