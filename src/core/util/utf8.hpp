#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kelvo {

// Decodes bytes that should be UTF-8 (text from the tablet): valid sequences are kept, every
// maximal invalid subpart (bad lead byte, truncated or overlong sequence, surrogate, value above
// U+10FFFF) becomes one U+FFFD. The result is always valid UTF-8. Pure; any thread.
std::string decodeUtf8Lossy(std::span<const uint8_t> bytes);
std::string decodeUtf8Lossy(std::string_view bytes);

// True when the bytes are well-formed UTF-8 (same rules as above).
bool isValidUtf8(std::string_view bytes) noexcept;

}  // namespace kelvo
