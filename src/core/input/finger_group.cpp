#include "core/input/finger_group.hpp"

#include <algorithm>
#include <cmath>

namespace kelvo {

void FingerGroup::begin(const TouchTracker& tracker, std::vector<uint8_t> fingerIds, uint64_t t,
                        const TouchTracker::Transform& pos) {
    ids = std::move(fingerIds);
    downUs = t;
    startCentroid = lastCentroid = tracker.centroid(ids, pos);
    startDistance = lastDistance = ids.size() >= 2 ? std::max(tracker.distance(ids[0], ids[1], pos), 1.0) : 1.0;
    anchorNorm = tracker.centroid(ids, [](Point p) { return p; });
}

FingerGroup::Start FingerGroup::start(const InputParams& params, Point centroid, double spread) const {
    const double moved = distance(centroid, startCentroid);
    const double change = std::abs(spread - startDistance);
    if (change / startDistance > params.pinchStartRatio && moved < change) return Start::pinch;
    if (moved > params.scrollStartSlop) return Start::pan;
    return Start::none;
}

}  // namespace kelvo
