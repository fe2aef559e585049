#pragma once

#include <cstdint>

namespace kelvo {

// The one time base of the system: microseconds of CLOCK_MONOTONIC. Pure; any thread.
struct Clock {
    static uint64_t nowUs() noexcept;

    // Media time in seconds (as carried by a presentation timestamp) to microseconds:
    // a non-finite time gives nowUs(), a time not above 0 gives 0, else truncation.
    static uint64_t us(double seconds) noexcept;
};

}  // namespace kelvo
