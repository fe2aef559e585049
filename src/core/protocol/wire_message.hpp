#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/protocol/msg_type.hpp"
#include "core/protocol/wire.hpp"

namespace kelvo {

// One received frame: the type byte as received, the sender's sequence number and a payload
// that the message owns (empty when the length was 0).
struct WireMessage {
    uint8_t rawType = 0;
    uint32_t seq = 0;
    std::vector<uint8_t> payload;

    // Absent for a type byte outside MsgType.
    std::optional<MsgType> type() const noexcept { return msgTypeFromRaw(rawType); }

    // Wire::load applied to the payload.
    template <PackedRecord T>
    std::optional<T> load(std::ptrdiff_t at = 0) const {
        return Wire::load<T>(payload, at);
    }

    bool operator==(const WireMessage&) const = default;
};

}  // namespace kelvo
