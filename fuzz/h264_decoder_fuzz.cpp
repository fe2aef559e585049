// The simulated tablet's decoder fed with arbitrary parameter sets and access units.
// Input: u16 LE SPS length, SPS, u16 LE PPS length, PPS, then units as u32 LE length + bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "testing/h264_decoder.hpp"

namespace {

struct Reader {
    std::span<const uint8_t> rest;
    std::span<const uint8_t> take(size_t n) {
        n = std::min(n, rest.size());
        auto out = rest.first(n);
        rest = rest.subspan(n);
        return out;
    }
    uint32_t le(size_t bytes) {
        uint32_t v = 0;
        auto b = take(bytes);
        for (size_t i = 0; i < b.size(); ++i) v |= uint32_t(b[i]) << (8 * i);
        return v;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{std::span<const uint8_t>(data, size)};
    auto sps = r.take(r.le(2));
    auto pps = r.take(r.le(2));
    auto decoder = kelvo::H264Decoder::create(sps, pps);
    if (!decoder.ok()) return 0;
    for (int i = 0; i < 8 && !r.rest.empty(); ++i) {
        auto out = decoder.value()->decode(r.take(r.le(4)), i == 0);
        if (out.ok() && (out.value().width <= 0 || out.value().height <= 0)) __builtin_trap();
    }
    return 0;
}
