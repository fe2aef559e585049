#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// Standard alphabet (A-Z a-z 0-9 + /), "=" padding, no line breaks. Pure; any thread.
std::string base64Encode(std::span<const uint8_t> bytes);

// Strict inverse of base64Encode: absent for a length that is not a multiple of 4, any character
// outside the alphabet (whitespace included), padding anywhere but the last one or two places, or
// unused bits that are not zero, so each byte string has exactly one accepted text.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace kelvo
