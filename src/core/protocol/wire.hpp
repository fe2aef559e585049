#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/protocol/wire_error.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// A packed little-endian wire record: a fixed size and field-by-field writing and reading.
template <class T>
concept PackedRecord = requires(const T& record, uint8_t* out, const uint8_t* in) {
    { T::kSize } -> std::convertible_to<size_t>;
    record.writeTo(out);
    { T::readFrom(in) } -> std::same_as<T>;
};

// Protocol constants and the frame and record codecs shared by both streams. Pure functions.
namespace Wire {

inline constexpr size_t headerSize = 16;
inline constexpr uint16_t magic = 0x564B;  // bytes 4B 56 on the wire
inline constexpr uint8_t version = 1;
inline constexpr size_t maxPayload = 0x800000;
inline constexpr uint16_t ctrlPort = 47100;
inline constexpr uint16_t videoPort = 47101;
inline constexpr size_t maxTouches = 20;
inline constexpr double normMax = 65535.0;

using Header = std::array<uint8_t, headerSize>;

// The 16-byte header: magic, version, type, length, seq, reserved 0. Writes any 32-bit length;
// senders go through frame(), which refuses what the peer would reject.
Header header(uint8_t type, uint32_t length, uint32_t seq) noexcept;

// One whole frame (header, then the parts concatenated as the payload), or WireError::tooLarge
// when the payload would exceed maxPayload: the peer closes the stream on such a frame, so it is
// never produced.
Expected<std::vector<uint8_t>, WireError> frame(uint8_t type, uint32_t seq,
                                                std::span<const std::span<const uint8_t>> parts);
Expected<std::vector<uint8_t>, WireError> frame(uint8_t type, uint32_t seq, std::span<const uint8_t> payload);

// A fraction 0..1 as 0..65535: rounded half away from zero and clamped; NaN gives 65535.
uint16_t norm(double fraction) noexcept;

// The record's bytes, exactly T::kSize of them.
template <PackedRecord T>
std::vector<uint8_t> pod(const T& record) {
    std::vector<uint8_t> bytes(T::kSize);
    record.writeTo(bytes.data());
    return bytes;
}

// The record at `offset`; absent when the offset is negative or fewer than T::kSize bytes
// remain. Bytes after the record are allowed (variable data follows there).
template <PackedRecord T>
std::optional<T> load(std::span<const uint8_t> bytes, std::ptrdiff_t offset) {
    if (offset < 0) return std::nullopt;
    const auto at = static_cast<size_t>(offset);
    if (at > bytes.size() || bytes.size() - at < T::kSize) return std::nullopt;
    return T::readFrom(bytes.data() + at);
}

}  // namespace Wire
}  // namespace kelvo
