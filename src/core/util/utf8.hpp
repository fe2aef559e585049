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

// A name shortened for a one-line label: trimmed of white space and newlines at both ends (invalid
// UTF-8 replaced); when it then has `limit` or more user-perceived characters, its first `head`
// characters, "…" and its last `tail` characters. Pure; any thread.
std::string shortenName(std::string_view name, size_t limit, size_t head, size_t tail);

// Length of UTF-8 `text` in UTF-16 code units.
size_t utf16Length(std::string_view text) noexcept;

}  // namespace kelvo
