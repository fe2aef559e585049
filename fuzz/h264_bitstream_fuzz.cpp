// Length-prefixed access units and parameter sets as a tablet-bound stream carries them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/video/h264.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    size_t total = 0;
    for (auto unit : kelvo::H264::nalUnits(bytes)) {
        total += unit.size() + 4;
        if (total > size) __builtin_trap();  // units must lie inside the input
        (void)kelvo::H264::profileIdc(unit);
        auto level = kelvo::H264::levelIdc(unit);
        auto rewritten = kelvo::H264::rewriteLevel(unit, 42);
        if (rewritten.size() != unit.size()) __builtin_trap();
        if (level && rewritten[3] != 42) __builtin_trap();
    }
    return 0;
}
