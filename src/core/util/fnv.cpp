#include "core/util/fnv.hpp"

namespace kelvo {

namespace {

template <class Hash, class Byte>
Hash fnv1a(std::span<const Byte> bytes, Hash basis, Hash prime) {
    Hash h = basis;
    for (Byte b : bytes) {
        h ^= static_cast<uint8_t>(b);
        h *= prime;  // unsigned: wraps modulo 2^N by definition
    }
    return h;
}

}  // namespace

uint32_t FNV::fnv1a32(std::string_view text) noexcept {
    return fnv1a<uint32_t, char>(std::span<const char>(text.data(), text.size()), kOffsetBasis32, 0x01000193u);
}

uint32_t FNV::fnv1a32(std::span<const uint8_t> bytes) noexcept {
    return fnv1a<uint32_t, uint8_t>(bytes, kOffsetBasis32, 0x01000193u);
}

uint64_t FNV::fnv1a64(std::span<const uint8_t> bytes, uint64_t seed) noexcept {
    return fnv1a<uint64_t, uint8_t>(bytes, seed, 0x100000001B3ull);
}

}  // namespace kelvo
