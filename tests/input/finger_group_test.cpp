#include "core/input/finger_group.hpp"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

// Two fingers 100 points apart: a pinch needs the spread to change by more than 6 % and by more
// than the centroid moved; otherwise the centroid starts a pan beyond 6 points.
TEST(FingerGroup, PinchIsTestedBeforePanAndNeedsTheSpreadToOutgrowTheMove) {
    InputParams params;
    FingerGroup group;
    group.startCentroid = {100, 100};
    group.startDistance = 100;
    using S = FingerGroup::Start;
    EXPECT_EQ(group.start(params, {103, 100}, 100), S::none);
    EXPECT_EQ(group.start(params, {100, 102}, 105), S::none);  // 5 % is no pinch yet
    EXPECT_EQ(group.start(params, {110, 100}, 100), S::pan);
    EXPECT_EQ(group.start(params, {103, 100}, 110), S::pinch);
    EXPECT_EQ(group.start(params, {103, 100}, 90), S::pinch);
    EXPECT_EQ(group.start(params, {120, 100}, 110), S::pan);  // moved more than it spread
}

}  // namespace
}  // namespace kelvo
