#include "core/util/clock.hpp"
#include "core/util/clock_sync.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelvo {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(Clock, MediaTimeConversion) {
    EXPECT_EQ(Clock::us(MediaTime::make(3, 2)), 1'500'000u);
    EXPECT_EQ(Clock::us(MediaTime::make(7, 10)), 700'000u);  // exact, no binary-fraction rounding
    EXPECT_EQ(Clock::us(MediaTime::make(0, 600)), 0u);
    EXPECT_EQ(Clock::us(MediaTime::make(-5, 600)), 0u);
    EXPECT_EQ(Clock::us(MediaTime::make(kMax, 1)), std::numeric_limits<uint64_t>::max());

    // Times without a number fall back to the current clock.
    for (MediaTime t : {MediaTime::invalid(), MediaTime{5, 0, true}}) {
        uint64_t before = Clock::nowUs();
        uint64_t got = Clock::us(t);
        EXPECT_GE(got, before);
        EXPECT_LE(got, Clock::nowUs());
    }

    EXPECT_EQ(Clock::cmTime(1'500'000), MediaTime::make(1'500'000, 1'000'000));
    EXPECT_EQ(Clock::us(Clock::cmTime(123'456'789)), 123'456'789u);
    EXPECT_EQ(Clock::cmTime(std::numeric_limits<uint64_t>::max()).value, kMax);
}

TEST(ClockSync, EmptyMappingIsIdentity) {
    ClockSync sync;
    EXPECT_FALSE(sync.hasSample());
    EXPECT_EQ(sync.offsetUs(), 0);
    EXPECT_EQ(sync.minRttUs(), 0);
    EXPECT_EQ(sync.lastRttUs(), 0);
    EXPECT_EQ(sync.macTime(5100), 5100);
}

TEST(ClockSync, WorkedExchangeAndReset) {
    ClockSync sync;
    sync.add(1000, 5000, 5100, 1300);
    EXPECT_TRUE(sync.hasSample());
    EXPECT_EQ(sync.minRttUs(), 200);
    EXPECT_EQ(sync.lastRttUs(), 200);
    EXPECT_EQ(sync.offsetUs(), 3900);
    EXPECT_EQ(sync.macTime(5100), 1200);

    // A negative offset sum truncates toward zero: (-4 + -5) / 2 = -4.
    sync.reset();
    EXPECT_FALSE(sync.hasSample());
    sync.add(10, 6, 7, 12);
    EXPECT_EQ(sync.offsetUs(), -4);
    EXPECT_EQ(sync.minRttUs(), 1);

    sync.reset();
    EXPECT_FALSE(sync.hasSample());
    EXPECT_EQ(sync.lastRttUs(), 0);
    EXPECT_EQ(sync.macTime(42), 42);
}

TEST(ClockSync, BestIsTheOldestSmallestRoundTripAmongTheNewest16) {
    ClockSync sync;
    // Sample i sits i microseconds further ahead, so the offset tells which sample is best.
    auto add = [&](int i, int64_t rtt) {
        uint64_t t0 = 100'000;
        uint64_t t1 = t0 + 1000 + static_cast<uint64_t>(i);
        sync.add(t0, t1, t1, t0 + static_cast<uint64_t>(rtt));
    };
    auto offsetOf = [](int i, int64_t rtt) { return (2 * (1000 + i) - rtt) / 2; };

    add(0, 50);  // best until it is pushed out
    for (int i = 1; i <= 15; ++i) add(i, 300 - i);
    EXPECT_EQ(sync.minRttUs(), 50);
    EXPECT_EQ(sync.offsetUs(), offsetOf(0, 50));

    add(16, 400);  // the 17th drops sample 0; the best is chosen again among the 16
    EXPECT_EQ(sync.minRttUs(), 285);
    EXPECT_EQ(sync.offsetUs(), offsetOf(15, 285));
    EXPECT_EQ(sync.lastRttUs(), 400);

    add(17, 285);  // a tie: the older keeps its place, the last follows the newest
    add(18, 285);
    EXPECT_EQ(sync.offsetUs(), offsetOf(15, 285));
    EXPECT_EQ(sync.lastRttUs(), 285);
}

TEST(ClockSync, TabletIntervalLongerThanHostIntervalGivesZeroRoundTrip) {
    ClockSync sync;
    sync.add(0, 0, 0, 0);  // an older zero stays best
    sync.add(1000, 5000, 5900, 1300);
    EXPECT_EQ(sync.lastRttUs(), 0);
    EXPECT_EQ(sync.offsetUs(), 0);

    ClockSync fresh;
    fresh.add(0, 0, 0, 500);
    fresh.add(1000, 5000, 5900, 1300);
    EXPECT_EQ(fresh.minRttUs(), 0);
    EXPECT_EQ(fresh.offsetUs(), 4300);
}

TEST(ClockSync, HostileTimestampsSaturateInsteadOfOverflowing) {
    const uint64_t top = static_cast<uint64_t>(kMax);

    ClockSync sync;
    // Host interval INT64_MAX minus a tablet interval of -1 exceeds the signed range.
    sync.add(0, 1, 0, top);
    EXPECT_EQ(sync.minRttUs(), kMax);
    // Offset (1 + (0 - top)) / 2 stays in range without help.
    EXPECT_EQ(sync.offsetUs(), (1 - kMax) / 2);

    // A tablet that claims to be far ahead: both halves of the offset sum near INT64_MAX.
    ClockSync ahead;
    ahead.add(0, top, top, 0);
    EXPECT_EQ(ahead.offsetUs(), kMax);
    EXPECT_EQ(ahead.minRttUs(), 0);
    // A tablet time whose bits read as INT64_MIN, minus that offset, clamps to the bottom.
    EXPECT_EQ(ahead.macTime(static_cast<uint64_t>(kMin)), kMin);
    EXPECT_EQ(ahead.macTime(top), 0);

    ClockSync behind;
    behind.add(top, 0, 0, top);  // offset -INT64_MAX
    EXPECT_EQ(behind.macTime(top), kMax);
}

}  // namespace
}  // namespace kelvo
