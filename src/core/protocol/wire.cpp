#include "core/protocol/wire.hpp"

#include <cmath>

#include "core/protocol/byte_order.hpp"

namespace kelvo::Wire {

Header header(uint8_t type, uint32_t length, uint32_t seq) noexcept {
    Header h{};
    le::put16(&h[0], magic);
    le::put8(&h[2], version);
    le::put8(&h[3], type);
    le::put32(&h[4], length);
    le::put32(&h[8], seq);
    return h;
}

Expected<std::vector<uint8_t>, WireError> frame(uint8_t type, uint32_t seq,
                                                std::span<const std::span<const uint8_t>> parts) {
    size_t length = 0;
    for (const auto& part : parts) {
        length += part.size();
        if (length > maxPayload) break;  // also keeps the sum from overflowing
    }
    if (length > maxPayload) {
        size_t total = 0;
        for (const auto& part : parts) total = part.size() > SIZE_MAX - total ? SIZE_MAX : total + part.size();
        return WireError::tooLarge(total);
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(headerSize + length);
    const Header h = header(type, static_cast<uint32_t>(length), seq);
    bytes.insert(bytes.end(), h.begin(), h.end());
    for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

Expected<std::vector<uint8_t>, WireError> frame(uint8_t type, uint32_t seq, std::span<const uint8_t> payload) {
    const std::span<const uint8_t> parts[1] = {payload};
    return frame(type, seq, parts);
}

uint16_t norm(double fraction) noexcept {
    if (std::isnan(fraction)) return 65535;
    const double scaled = std::round(fraction * normMax);  // std::round: halves away from zero
    if (scaled <= 0.0) return 0;
    if (scaled >= normMax) return 65535;
    return static_cast<uint16_t>(scaled);
}

}  // namespace kelvo::Wire
