#include "core/video/h264.hpp"

namespace kelvo {

std::vector<std::span<const uint8_t>> H264::nalUnits(std::span<const uint8_t> avcc) {
    std::vector<std::span<const uint8_t>> units;
    size_t pos = 0;
    while (avcc.size() - pos >= 4) {
        const uint32_t n = uint32_t(avcc[pos]) << 24 | uint32_t(avcc[pos + 1]) << 16 |
                           uint32_t(avcc[pos + 2]) << 8 | uint32_t(avcc[pos + 3]);
        if (n == 0) break;
        if (n > avcc.size() - pos - 4) break;
        units.push_back(avcc.subspan(pos + 4, n));
        pos += 4 + size_t(n);
    }
    return units;
}

std::optional<uint8_t> H264::profileIdc(std::span<const uint8_t> sps) {
    if (sps.size() < 2) return std::nullopt;
    return sps[1];
}

std::optional<uint8_t> H264::levelIdc(std::span<const uint8_t> sps) {
    if (sps.size() < 4) return std::nullopt;
    return sps[3];
}

std::vector<uint8_t> H264::rewriteLevel(std::span<const uint8_t> sps, uint8_t level) {
    std::vector<uint8_t> out(sps.begin(), sps.end());
    if (out.size() >= 4) out[3] = level;
    return out;
}

}  // namespace kelvo
