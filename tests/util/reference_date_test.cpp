#include "core/util/reference_date.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelvo {
namespace {

TEST(ReferenceDate, AcceptsExactlyWhatTheClockHolds) {
    // The clock reaches 9,223,372,036.85 s after the epoch; the reference date is 978,307,200 s
    // after it, which leaves 8,245,064,836.85 s on the far side and 10,201,679,236.85 s before.
    struct Case {
        double seconds;
        bool accepted;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {0, true},
        {8'245'064'836, true},
        {8'245'064'836.854775, true},
        {8'245'064'836.855, false},
        {8'245'064'837, false},
        {9.0e9, false},
        {-9.0e9, true},
        {-10'201'679'236, true},
        {-10'201'679'237, false},
        {1e300, false},
        {-1e300, false},
        {inf, false},
        {std::nan(""), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        const auto date = dateFromReferenceSeconds(c.seconds);
        ASSERT_EQ(date.has_value(), c.accepted);
        // Whatever is accepted writes back to the same number, to the microsecond.
        if (date) {
            EXPECT_NEAR(secondsSinceReferenceDate(*date), c.seconds, 2e-6);
        }
    }
}

TEST(ReferenceDate, WritesEveryDateTheClockHolds) {
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(std::chrono::system_clock::from_time_t(978307200)), 0);
    EXPECT_NEAR(secondsSinceReferenceDate(SystemTime::max()), 8'245'064'836.854775, 1e-5);
    EXPECT_NEAR(secondsSinceReferenceDate(SystemTime::min()), -10'201'679'236.854775, 1e-5);
}

}  // namespace
}  // namespace kelvo
