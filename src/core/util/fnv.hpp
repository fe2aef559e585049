#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kelvo {

// FNV-1a hashes for stable identifiers. Pure; any thread.
struct FNV {
    static constexpr uint32_t kOffsetBasis32 = 0x811C9DC5u;
    static constexpr uint64_t kOffsetBasis64 = 0xCBF29CE484222325ull;

    // 32-bit hash of the text's UTF-8 bytes (or of raw bytes), from the standard basis.
    static uint32_t fnv1a32(std::string_view text) noexcept;
    static uint32_t fnv1a32(std::span<const uint8_t> bytes) noexcept;
    // 64-bit hash started from `seed`: kOffsetBasis64 for a fresh hash, or a previous result to
    // continue one over several ranges.
    static uint64_t fnv1a64(std::span<const uint8_t> bytes, uint64_t seed) noexcept;
};

}  // namespace kelvo
