#include "core/input/coordinate_mapper.hpp"

#include <algorithm>
#include <cmath>

namespace kelvo {

namespace {

// Half a point short of the far edge, so the result stays on the region's last pixel row.
double clampedAxis(double origin, double length, double fraction) {
    const double v = origin + fraction * length;
    if (!std::isfinite(v) || !(length >= 0.5)) return origin;
    return std::min(origin + length - 0.5, std::max(v, origin));
}

}  // namespace

Point CoordinateMapper::global(Point norm) const {
    return {clampedAxis(region.x, region.width, norm.x), clampedAxis(region.y, region.height, norm.y)};
}

Point CoordinateMapper::ipad(Point norm) const { return {norm.x * ipadPoints.width, norm.y * ipadPoints.height}; }

Point CoordinateMapper::gesturePoints(Point norm) const {
    return {norm.x * (ipadPoints.width > 0 ? ipadPoints.width : region.width),
            norm.y * (ipadPoints.height > 0 ? ipadPoints.height : region.height)};
}

Point CoordinateMapper::normFromIPad(Point ipad) const {
    return {ipadPoints.width > 0 ? ipad.x / ipadPoints.width : 0.0,
            ipadPoints.height > 0 ? ipad.y / ipadPoints.height : 0.0};
}

std::optional<Point> CoordinateMapper::normFromGlobal(Point global) const {
    if (!contains(region, global)) return std::nullopt;
    return Point{(global.x - region.x) / region.width, (global.y - region.y) / region.height};
}

double CoordinateMapper::macPerIPadPoint() const {
    return ipadPoints.width > 0 ? region.width / ipadPoints.width : 1.0;
}

}  // namespace kelvo
