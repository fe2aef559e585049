#include "core/input/touch_frame.hpp"

#include "core/protocol/records.hpp"

namespace kelvo {

std::optional<TouchFrame> TouchFrame::parse(std::span<const uint8_t> payload) {
    auto records = readTouchFrame(payload);
    if (!records) return std::nullopt;
    TouchFrame frame{records->timestampUs, {}};
    frame.touches.reserve(records->points.size());
    for (const auto& p : records->points) {
        frame.touches.push_back({p.id, static_cast<TouchPhase>(p.phase), p.tapCount, {p.xFraction(), p.yFraction()},
                                 p.radiusPoints(), p.radiusTolerancePoints()});
    }
    return frame;
}

std::vector<uint8_t> TouchFrame::encode() const {
    std::vector<KVTouchPoint> points;
    points.reserve(std::min(touches.size(), Wire::maxTouches));
    for (const auto& t : touches) {
        if (points.size() == Wire::maxTouches) break;
        points.push_back(KVTouchPoint::make(t.id, static_cast<uint8_t>(t.phase), t.tapCount, t.norm.x, t.norm.y,
                                            t.radius, t.radiusTolerance));
    }
    return writeTouchFrame(timestampUs, points);
}

}  // namespace kelvo
