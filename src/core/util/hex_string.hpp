#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvo {

// Lower-case hex, two digits per byte, no separators; no bytes give "".
std::string hexString(std::span<const uint8_t> bytes);

}  // namespace kelvo
