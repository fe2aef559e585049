#pragma once

#include <cstdint>
#include <string>

namespace kelvo {

// Why a frame header was rejected (by the parser) or a frame refused (by the writer). Carries the
// offending header value.
struct WireError {
    enum class Kind : uint8_t { badMagic, badVersion, tooLarge };

    Kind kind = Kind::badMagic;
    uint64_t value = 0;  // the magic, the version byte or the payload length

    static WireError badMagic(uint16_t magic) noexcept { return {Kind::badMagic, magic}; }
    static WireError badVersion(uint8_t version) noexcept { return {Kind::badVersion, version}; }
    static WireError tooLarge(uint64_t length) noexcept { return {Kind::tooLarge, length}; }

    // "bad magic 0x%04x", "unsupported protocol version N", "payload too large (N bytes)".
    std::string description() const;

    bool operator==(const WireError&) const = default;
};

}  // namespace kelvo
