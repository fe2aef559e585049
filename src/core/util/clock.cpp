#include "core/util/clock.hpp"

#include <time.h>

#include <limits>

namespace kelvo {

uint64_t Clock::nowUs() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t Clock::us(MediaTime time) noexcept {
    if (!time.isNumeric()) return nowUs();
    if (time.value <= 0) return 0;
    // Integer maths avoids the rounding of a detour through seconds as a double.
    unsigned __int128 us = static_cast<unsigned __int128>(time.value) * 1'000'000u /
                           static_cast<unsigned __int128>(time.timescale);
    if (us > std::numeric_limits<uint64_t>::max()) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(us);
}

MediaTime Clock::cmTime(uint64_t us) noexcept {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return MediaTime::make(static_cast<int64_t>(us > kMax ? kMax : us), kMicrosecondTimescale);
}

}  // namespace kelvo
