#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/util/geometry.hpp"

namespace kelvo {

// Raw values are the wire's phase byte.
enum class TouchPhase : uint8_t { began = 0, moved = 1, stationary = 2, ended = 3, cancelled = 4 };

// One finger of a touch frame.
struct TouchSample {
    uint8_t id = 0;  // stable while the finger is down
    TouchPhase phase = TouchPhase::began;
    int tapCount = 0;
    Point norm;                   // 0…1 on each axis of the streamed display, origin top left
    double radius = 0;            // contact radius, tablet points
    double radiusTolerance = 0;   // tablet points

    // began, moved or stationary: the finger is still on the glass.
    bool isActive() const { return phase != TouchPhase::ended && phase != TouchPhase::cancelled; }
    friend bool operator==(const TouchSample&, const TouchSample&) = default;
};

// The touches of one touch-frame message, in wire order.
struct TouchFrame {
    uint64_t timestampUs = 0;  // tablet send time
    std::vector<TouchSample> touches;

    // The payload of a touch-frame message. Absent when it is shorter than its header or than the
    // points the header announces, or announces more than 20 points. Points with an unknown phase
    // (5 or more) are skipped; bytes after the announced points are ignored. Never throws.
    static std::optional<TouchFrame> parse(std::span<const uint8_t> payload);

    // The payload for this frame: at most the first 20 touches. Positions and radii are clamped
    // to what the record holds (a non-finite value gives one of its ends), the tap count to 0…255.
    std::vector<uint8_t> encode() const;

    friend bool operator==(const TouchFrame&, const TouchFrame&) = default;
};

}  // namespace kelvo
