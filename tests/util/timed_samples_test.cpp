#include "core/util/timed_samples.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelvo {
namespace {

constexpr uint64_t kSecond = 1'000'000;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(Percentile, NearestRankTable) {
    struct Case {
        std::vector<double> values;
        double p;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {{10, 20, 30, 40}, 0.5, 30},   // 1.5 rounds to 2
        {{10, 20, 30, 40}, 0.9, 40},   // 2.7 rounds to 3
        {{10, 20, 30, 40}, 0.95, 40},  // 2.85 rounds to 3
        {{1, 2}, 0.5, 2},              // 0.5 goes away from zero
        {{7}, 0.0, 7},
        {{7}, 0.95, 7},
        {{5, 1, 9}, 0.0, 1},
        {{5, 1, 9}, 1.0, 9},
        {{5, 1, 9}, 3.0, 9},
        {{5, 1, 9}, -2.0, 1},
        {{5, 1, 9}, 1e300, 9},  // would overflow an integer index
        {{3, 1, 2}, 0.5, 2},    // sorted before picking
        {{}, 0.5, std::nullopt},
        // Non-finite samples are left out, never sorted.
        {{kNaN, 3, kNaN, 1, 2}, 0.5, 2},
        {{kInf, 1, -kInf}, 1.0, 1},
        {{kNaN, kInf}, 0.5, std::nullopt},
        // A p that is not a number picks nothing.
        {{1, 2, 3}, kNaN, std::nullopt},
        {{1, 2, 3}, kInf, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "p=" << c.p << " n=" << c.values.size());
        EXPECT_EQ(TimedSamples::percentile(c.p, c.values), c.expected);
    }
}

TEST(Percentiles, FromValuesOrZero) {
    EXPECT_EQ(Percentiles(std::vector<double>{10, 20, 30, 40}), Percentiles(30, 40));
    EXPECT_EQ(Percentiles(std::vector<double>{}), Percentiles::zero());
    EXPECT_EQ(Percentiles(std::vector<double>{kNaN}), Percentiles::zero());
    EXPECT_EQ(Percentiles::zero().p50, 0);
    EXPECT_EQ(Percentiles::zero().p95, 0);
}

TEST(TimedSamples, WindowForgetsSamplesOlderThanMaxAgeBeforeTheNewest) {
    TimedSamples w(10 * kSecond);
    w.add(1, 0);
    w.add(2, 5 * kSecond);
    EXPECT_EQ(w.count(), 2);  // a time below maxAge uses cutoff 0: nothing removed
    w.add(3, 12 * kSecond);
    EXPECT_EQ(w.values(0), (std::vector<double>{2, 3}));
    w.add(4, 15 * kSecond);  // exactly 10 s after the sample at 5 s: it stays
    EXPECT_EQ(w.values(0), (std::vector<double>{2, 3, 4}));
    w.add(5, 100 * kSecond);  // every older sample expires
    EXPECT_EQ(w.values(0), (std::vector<double>{5}));

    w.removeAll();
    EXPECT_EQ(w.count(), 0);
    EXPECT_EQ(w.maxAgeUs(), 10 * kSecond);
    EXPECT_EQ(w.percentile(0.5, 0), std::nullopt);
}

TEST(TimedSamples, ValuesAndPercentilesSinceATime) {
    TimedSamples w(10 * kSecond);
    w.add(40, 1 * kSecond);
    w.add(10, 2 * kSecond);
    w.add(30, 3 * kSecond);
    w.add(20, 3 * kSecond);
    EXPECT_EQ(w.values(0).size(), 4u);
    EXPECT_EQ(w.values(3 * kSecond), (std::vector<double>{30, 20}));
    EXPECT_TRUE(w.values(4 * kSecond).empty());
    EXPECT_EQ(w.percentile(0.5, 2 * kSecond), 20);
    EXPECT_EQ(w.percentile(0.95, 0), 40);
}

TEST(TimedSamples, NonFiniteValuesAreNotKept) {
    TimedSamples w(10 * kSecond);
    w.add(kNaN, 1);
    w.add(kInf, 2);
    w.add(5, 3);
    EXPECT_EQ(w.count(), 1);
    EXPECT_EQ(w.percentile(0.95, 0), 5);
}

}  // namespace
}  // namespace kelvo
