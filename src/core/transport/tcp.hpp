#pragma once

#include <cstdint>
#include <string>

#include "core/transport/device_connector.hpp"

namespace kelvo {

namespace TCP {

// Blocking connect with a time-out per address (so the total can be a multiple of it); never on
// the main queue. Tries every address of `host` in order and returns a descriptor in blocking
// mode, or the outcome of the last address that got as far as a socket: refused,
// "cannot resolve <host>", "no address for <host>", or the system's text for the socket's error
// (a time-out reads as ETIMEDOUT's text).
ConnectResult connect(const std::string& host, uint16_t port, double timeoutSeconds);

}  // namespace TCP

}  // namespace kelvo
