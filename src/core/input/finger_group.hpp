#pragma once

#include <cstdint>
#include <vector>

#include "core/input/input_params.hpp"
#include "core/input/touch_tracker.hpp"

namespace kelvo {

// The fingers of a two- or three-finger gesture as both recognizers follow them from the frame
// they came down in. Centroids and spreads are in tablet points (through the recognizer's
// transform); the anchor is where the gesture acts on the screen.
struct FingerGroup {
    enum class Start { none, pinch, pan };

    std::vector<uint8_t> ids;
    uint64_t downUs = 0;
    Point startCentroid;
    double startDistance = 1.0;  // between the first two, at least 1 so ratios stay finite
    Point lastCentroid;
    double lastDistance = 1.0;
    Point anchorNorm;  // the centroid they came down at, normalised

    void begin(const TouchTracker& tracker, std::vector<uint8_t> fingerIds, uint64_t t,
               const TouchTracker::Transform& pos);
    // What the movement of two fingers, now at `centroid` and `spread` apart, starts. A pinch is
    // tested first: the spread changed by more than the start ratio and by more than the centroid
    // moved; otherwise a pan once the centroid moved beyond the scroll slop.
    Start start(const InputParams& params, Point centroid, double spread) const;
};

}  // namespace kelvo
