#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/protocol/wire_error.hpp"
#include "core/protocol/wire_message.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// Splits one connection's received byte stream into messages. Owned by one channel and used
// only on its queue; never throws.
class FrameParser {
public:
    FrameParser() = default;

    // Appends received bytes; nothing is parsed here.
    void append(std::span<const uint8_t> bytes);
    void append(const std::vector<uint8_t>& bytes) { append(std::span<const uint8_t>(bytes)); }

    // The next message, or nullopt when more bytes are needed, or an error as soon as a whole
    // header is buffered and rejected (before its payload arrives). An error consumes nothing,
    // so every later call reports it again: there is no resynchronisation.
    Expected<std::optional<WireMessage>, WireError> next();

    // Bytes appended but not yet consumed.
    size_t bufferedBytes() const noexcept { return buffer_.size() - head_; }
    // Storage currently held (released after a very large frame).
    size_t capacity() const noexcept { return buffer_.capacity(); }

private:
    void compact(bool force);

    std::vector<uint8_t> buffer_;
    size_t head_ = 0;  // bytes before it are consumed
};

}  // namespace kelvo
