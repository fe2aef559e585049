#include "core/util/utf8.hpp"

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

}  // namespace kelvo
