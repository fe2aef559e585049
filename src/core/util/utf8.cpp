#include "core/util/utf8.hpp"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <algorithm>

namespace kelvo {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at p[0..n), or 0 with `bad` set to the length of the maximal
// invalid subpart to replace (at least 1), following the Unicode "maximal subpart" practice.
size_t sequenceLength(const uint8_t* p, size_t n, size_t& bad) noexcept {
    const uint8_t b0 = p[0];
    bad = 1;
    if (b0 < 0x80) return 1;
    size_t len = 0;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;       // overlong
        else if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;       // overlong
        else if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        if (k >= n) {
            bad = k;
            return 0;
        }
        const uint8_t b = p[k];
        const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) {
            bad = k;
            return 0;
        }
    }
    return len;
}

}  // namespace

std::string decodeUtf8Lossy(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t bad = 0;
        const size_t len = sequenceLength(bytes.data() + i, bytes.size() - i, bad);
        if (len > 0) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), len);
            i += len;
        } else {
            out += kReplacement;
            i += bad;
        }
    }
    return out;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    return decodeUtf8Lossy(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

bool isValidUtf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t bad = 0;
        const size_t len = sequenceLength(p + i, bytes.size() - i, bad);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::vector<std::string_view> splitCharacters(std::string_view text) {
    std::vector<std::string_view> out;
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    UBreakIterator* it = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
    if (U_SUCCESS(status)) ubrk_setUText(it, ut, &status);
    if (U_SUCCESS(status)) {
        // UTF-8 UText indices are byte offsets.
        size_t start = 0;
        for (int32_t next = ubrk_next(it); next != UBRK_DONE; next = ubrk_next(it)) {
            const size_t end = std::min(static_cast<size_t>(std::max<int32_t>(next, 0)), text.size());
            if (end > start) out.push_back(text.substr(start, end - start));
            start = std::max(start, end);
        }
        if (start < text.size()) out.push_back(text.substr(start));
    } else {
        size_t start = 0;
        for (size_t i = 1; i <= text.size(); ++i) {
            if (i == text.size() || (static_cast<uint8_t>(text[i]) & 0xC0) != 0x80) {
                out.push_back(text.substr(start, i - start));
                start = i;
            }
        }
    }
    ubrk_close(it);
    utext_close(ut);
    return out;
}

namespace {

// The white space and line breaks a name is trimmed of (Unicode White_Space).
bool isWhiteSpaceCharacter(std::string_view c) {
    static constexpr std::string_view spaces[] = {
        " ", "\t", "\n", "\v", "\f", "\r", "\r\n", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002",
        "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
        "\u202F", "\u205F", "\u3000"};
    for (auto space : spaces) {
        if (c == space) return true;
    }
    return false;
}

}  // namespace

std::string shortenName(std::string_view name, size_t limit, size_t head, size_t tail) {
    const std::string valid = decodeUtf8Lossy(name);
    auto characters = splitCharacters(valid);
    size_t first = 0, last = characters.size();
    while (first < last && isWhiteSpaceCharacter(characters[first])) ++first;
    while (last > first && isWhiteSpaceCharacter(characters[last - 1])) --last;
    const size_t count = last - first;
    std::string out;
    if (count < limit || head + tail >= count) {
        for (size_t i = first; i < last; ++i) out += characters[i];
        return out;
    }
    for (size_t i = first; i < first + head; ++i) out += characters[i];
    out += "\u2026";
    for (size_t i = last - tail; i < last; ++i) out += characters[i];
    return out;
}

size_t utf16Length(std::string_view text) noexcept {
    size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;  // four-byte sequences are surrogate pairs
    }
    return n;
}

}  // namespace kelvo
