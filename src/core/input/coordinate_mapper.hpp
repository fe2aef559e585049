#pragma once

#include <optional>

#include "core/util/geometry.hpp"

namespace kelvo {

// Maps the tablet's normalised positions onto the part of the desktop it shows or drives.
struct CoordinateMapper {
    Rect region;       // global desktop points, origin top left of the main display
    Size ipadPoints;   // the tablet's screen in points; zero when unknown

    // Normalised → global, always inside the region: clamped to [min, max − 0.5] on each axis.
    // A region narrower (or lower) than half a point, or a non-finite position, gives the
    // region's origin on that axis.
    Point global(Point norm) const;
    // Normalised → tablet points.
    Point ipad(Point norm) const;
    // Normalised → the points gesture thresholds are measured in: tablet points, or the
    // region's points on an axis whose tablet size is unknown (so that gestures still work).
    Point gesturePoints(Point norm) const;
    // Tablet points → normalised; an axis whose size is not above 0 gives 0.
    Point normFromIPad(Point ipad) const;
    // Global → normalised; absent unless the region is non-empty and contains the point (left
    // and top edges inside, right and bottom outside).
    std::optional<Point> normFromGlobal(Point global) const;
    // Desktop points per tablet point along x: region width / tablet width, or 1 when unknown.
    double macPerIPadPoint() const;

    friend bool operator==(const CoordinateMapper&, const CoordinateMapper&) = default;
};

}  // namespace kelvo
