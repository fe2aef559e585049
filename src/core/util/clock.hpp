#pragma once

#include <cstdint>

namespace kelvo {

// A rational media time as capture and encoding code carries it: value / timescale seconds.
// Invalid times (no timestamp known) exist so that conversion can fall back to "now".
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0;  // units per second; only a positive one makes a numeric time
    bool valid = false;

    static constexpr MediaTime make(int64_t value, int32_t timescale) noexcept { return {value, timescale, true}; }
    static constexpr MediaTime invalid() noexcept { return {}; }
    constexpr bool isNumeric() const noexcept { return valid && timescale > 0; }
    friend constexpr bool operator==(const MediaTime&, const MediaTime&) = default;
};

// The one time base of the system: microseconds of CLOCK_MONOTONIC. Pure; any thread.
struct Clock {
    static constexpr int32_t kMicrosecondTimescale = 1'000'000;

    static uint64_t nowUs() noexcept;

    // A media time in microseconds: a non-numeric time gives nowUs(), a time not above 0 gives 0,
    // else the exact value truncated toward zero (saturating at the top of the range).
    static uint64_t us(MediaTime time) noexcept;

    // Microseconds as a media time of timescale 1,000,000. Values from 2^63 up, which no
    // monotonic clock reaches, are clamped to the largest representable time.
    static MediaTime cmTime(uint64_t us) noexcept;
};

}  // namespace kelvo
