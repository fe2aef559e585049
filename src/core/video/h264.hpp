#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

// Pure helpers over H.264 bytes as the encoder emits them. Any thread; no state; never throw.
struct H264 {
    // The NAL units of one access unit in length-prefixed form (4-byte big-endian lengths), in
    // stream order and without their prefixes. Parsing stops, keeping what came before, at a
    // zero length, a unit running past the end, or a tail shorter than a prefix.
    static std::vector<std::span<const uint8_t>> nalUnits(std::span<const uint8_t> avcc);

    // profile_idc: byte 1 of an SPS (NAL header first); none for fewer than 2 bytes.
    static std::optional<uint8_t> profileIdc(std::span<const uint8_t> sps);
    // level_idc (level × 10): byte 3 of an SPS; none for fewer than 4 bytes.
    static std::optional<uint8_t> levelIdc(std::span<const uint8_t> sps);
    // A copy of the SPS announcing `level` instead; an SPS of fewer than 4 bytes comes back as is.
    static std::vector<uint8_t> rewriteLevel(std::span<const uint8_t> sps, uint8_t level);
};

}  // namespace kelvo
