#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// Decodes bytes that should be UTF-8 (text from the tablet): valid sequences are kept, every
// maximal invalid subpart (bad lead byte, truncated or overlong sequence, surrogate, value above
// U+10FFFF) becomes one U+FFFD. The result is always valid UTF-8. Pure; any thread.
std::string decodeUtf8Lossy(std::span<const uint8_t> bytes);
std::string decodeUtf8Lossy(std::string_view bytes);

// True when the bytes are well-formed UTF-8 (same rules as above).
bool isValidUtf8(std::string_view bytes) noexcept;

// The user-perceived characters (extended grapheme clusters) of valid UTF-8 `text`, in order, as
// views into it; code points when the break tables cannot be loaded. Pure; any thread.
std::vector<std::string_view> splitCharacters(std::string_view text);

// Length of UTF-8 `text` in UTF-16 code units.
size_t utf16Length(std::string_view text) noexcept;

}  // namespace kelvo
