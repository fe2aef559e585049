#include "core/protocol/frame_parser.hpp"

#include "core/protocol/byte_order.hpp"

namespace kelvo {
namespace {

// An emptied buffer keeps this much storage for the next frames; more is released.
constexpr size_t kKeptCapacity = 4u << 20;
// The consumed prefix is moved out only past this size, so small frames never cause copies.
constexpr size_t kCompactThreshold = 256u << 10;

}  // namespace

void FrameParser::append(std::span<const uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

Expected<std::optional<WireMessage>, WireError> FrameParser::next() {
    constexpr std::nullopt_t needMore = std::nullopt;
    const size_t available = bufferedBytes();
    if (available < Wire::headerSize) {
        compact(available == 0);
        return std::optional<WireMessage>(needMore);
    }
    const uint8_t* h = buffer_.data() + head_;
    const uint16_t magic = le::get16(h);
    if (magic != Wire::magic) return WireError::badMagic(magic);
    const uint8_t version = le::get8(h + 2);
    if (version != Wire::version) return WireError::badVersion(version);
    const uint32_t length = le::get32(h + 4);
    if (length > Wire::maxPayload) return WireError::tooLarge(length);
    if (available - Wire::headerSize < length) return std::optional<WireMessage>(needMore);

    WireMessage message;
    message.rawType = le::get8(h + 3);
    message.seq = le::get32(h + 8);
    const uint8_t* body = h + Wire::headerSize;
    message.payload.assign(body, body + length);
    head_ += Wire::headerSize + length;
    compact(false);
    return std::optional<WireMessage>(std::move(message));
}

void FrameParser::compact(bool force) {
    if (head_ == buffer_.size()) {
        if (buffer_.capacity() > kKeptCapacity) {
            std::vector<uint8_t>().swap(buffer_);
        } else {
            buffer_.clear();
        }
        head_ = 0;
        return;
    }
    const bool worthMoving = head_ > kCompactThreshold && buffer_.size() < 2 * head_;
    if ((force && head_ > 0) || worthMoving) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

}  // namespace kelvo
