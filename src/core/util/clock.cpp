#include "core/util/clock.hpp"

#include <time.h>

#include <cmath>

namespace kelvo {

uint64_t Clock::nowUs() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t Clock::us(double seconds) noexcept {
    if (std::isnan(seconds)) return 0;
    if (!std::isfinite(seconds)) return seconds > 0 ? nowUs() : 0;
    if (seconds <= 0) return 0;
    double us = seconds * 1'000'000.0;
    if (us >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(us);
}

}  // namespace kelvo
