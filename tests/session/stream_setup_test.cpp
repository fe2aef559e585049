#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/session/stream_setup.hpp"

namespace kelvo {
namespace {

RungResult rung(const ProbeRung& r, int32_t status, int64_t decoded, int64_t avgUs, int64_t maxUs,
                ProbeVerdict storedVerdict) {
    RungResult result;
    result.rung = r;
    result.status = status;
    result.frameCount = 30;
    result.decoded = decoded;
    result.outWidth = r.width;
    result.outHeight = r.height;
    result.avgUs = avgUs;
    result.maxUs = maxUs;
    result.verdict = storedVerdict;
    return result;
}

ProbeRecord record(QualityPolicy policy, std::vector<RungResult> results, std::optional<ProbeSelection> selection) {
    ProbeRecord r;
    r.policy = policy;
    r.results = std::move(results);
    r.selection = std::move(selection);
    return r;
}

TEST(StreamSetupTest, StoredProbeIsJudgedAgainUnderTodaysRule) {
    const auto ladder = ProbeRung::ladder(Orientation::landscape);
    const ProbeSelection stored{"L4", 1600, 1200, 0, H264Profile::constrainedHigh, 60};

    // L1 was stored as unusable although its numbers pass today: today's rule wins.
    auto r = StreamSetup::fromRecord(
        record(QualityPolicy::clarity,
               {rung(ladder[0], 0, 30, 12'000, 20'000, ProbeVerdict::unusable),
                rung(ladder[3], 0, 30, 12'000, 20'000, ProbeVerdict::fps60)},
               stored),
        QualityPolicy::clarity);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->selection.rungName, "L1");
    EXPECT_EQ(r->results[0].verdict, ProbeVerdict::fps60);

    // Every rung now unusable (stored as passing, but frames were lost): the stored selection
    // and the stored results stand.
    std::vector<RungResult> lossy{rung(ladder[0], 0, 29, 12'000, 20'000, ProbeVerdict::fps60)};
    r = StreamSetup::fromRecord(record(QualityPolicy::clarity, lossy, stored), QualityPolicy::clarity);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->selection, stored);
    EXPECT_EQ(r->results, lossy);

    // Made under the other policy, or without a selection: not usable.
    EXPECT_FALSE(StreamSetup::fromRecord(record(QualityPolicy::smoothness, lossy, stored), QualityPolicy::clarity));
    EXPECT_FALSE(StreamSetup::fromRecord(record(QualityPolicy::clarity, lossy, std::nullopt), QualityPolicy::clarity));
}

TEST(StreamSetupTest, StoredSettingsAreMadeSafeForTheStreamer) {
    struct Case {
        int64_t fpsCap;
        double bitrateMbps;
        int64_t maxFps;
        int64_t level;
        int fps;
        int bitrate;
        uint8_t levelOut;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {60, 25, 60, 0, 60, 25'000'000, 0},
        {120, 12.5, 60, 42, 60, 12'500'000, 42},     // cap above the selection's ceiling
        {30, 25, 60, 0, 30, 25'000'000, 0},
        {0, 25, 60, 0, 60, 25'000'000, 0},           // a cap below 1: the default
        {-5, 25, 30, 0, 30, 25'000'000, 0},
        {100000, 25, 100000, 0, 240, 25'000'000, 0},  // both absurd: at most 240
        {60, nan, 60, 0, 60, 25'000'000, 0},
        {60, -3, 60, 0, 60, 25'000'000, 0},
        {60, 0.01, 60, 0, 60, 25'000'000, 0},         // 10 kbit/s cannot carry a picture
        {60, 1e12, 60, 0, 60, std::numeric_limits<int>::max(), 0},
        {60, 25, 60, 300, 60, 25'000'000, 0},         // level outside a byte: the encoder's own
        {60, 25, 60, -1, 60, 25'000'000, 0},
    };
    for (const auto& c : cases) {
        Settings settings;
        settings.fpsCap = c.fpsCap;
        settings.bitrateMbps = c.bitrateMbps;
        ProbeSelection selection{"L1", 2048, 1536, c.level, H264Profile::main, c.maxFps};
        auto config = StreamSetup::streamerConfig(selection, settings);
        SCOPED_TRACE("fpsCap " + std::to_string(c.fpsCap) + " bitrate " + std::to_string(c.bitrateMbps));
        EXPECT_EQ(config.fps, c.fps);
        EXPECT_EQ(config.bitrate, c.bitrate);
        EXPECT_EQ(config.levelOverride, c.levelOut);
        EXPECT_EQ(config.width, 2048);
        EXPECT_EQ(config.profile, H264Profile::main);
        EXPECT_EQ(config.window, 4);
    }
}

TEST(StreamSetupTest, LocalSourceRectStaysInsideTheDisplay) {
    const Rect display{1920, 0, 1366, 1024};
    struct Case {
        Rect global;
        Rect local;
    };
    const Case cases[] = {
        {{2020, 100, 400, 300}, {100, 100, 400, 300}},
        {{2020.4, 100.6, 400.2, 300}, {100, 100, 401, 301}},    // made integral outwards
        {{0, 0, 500, 500}, {0, 0, 500, 500}},                  // wholly left: x 0, width cut
        {{0, 0, 10, 10}, {0, 0, 10, 10}},
        {{5000, 2000, 100, 100}, {1365, 1023, 1, 1}},          // beyond: one point in the corner
        {{1920, 0, 5000, 5000}, {0, 0, 1366, 1024}},
        {{2000, 50, 0, 0}, {80, 50, 1, 1}},                    // empty: at least one point
        {{NAN, NAN, NAN, NAN}, {0, 0, 1366, 1024}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.global.x) + "," + std::to_string(c.global.y));
        EXPECT_EQ(StreamSetup::localSourceRect(c.global, display), c.local);
    }
}

TEST(StreamSetupTest, TabletSizesFallBackWhenTheGreetingHasNone) {
    HelloMsg hello;
    EXPECT_EQ(StreamSetup::tabletPoints(hello), (Size{1024, 768}));
    EXPECT_EQ(StreamSetup::landscapeMillimetres(hello), (SizeD{197, 148}));
    hello.screen = HelloMsg::Screen{};
    hello.screen->pt = std::vector<double>{834, 1194};
    hello.screen->mm = std::vector<double>{148, 197};
    EXPECT_EQ(StreamSetup::tabletPoints(hello), (Size{834, 1194}));
    EXPECT_EQ(StreamSetup::landscapeMillimetres(hello), (SizeD{197, 148}));
    hello.screen->pt = std::vector<double>{0, 1194};
    EXPECT_EQ(StreamSetup::tabletPoints(hello), (Size{1024, 768}));
}

TEST(CaptureRestartBudgetTest, AllowsFiveRestartsInAnyMinute) {
    CaptureRestartBudget budget;
    const uint64_t t0 = 1'000'000;
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(budget.take(t0 + uint64_t(i) * 2'000'000)) << i;
    EXPECT_FALSE(budget.take(t0 + 10'000'000));
    EXPECT_FALSE(budget.take(t0 + 59'999'999));
    // The first restart leaves the window: one more is allowed, then none again.
    EXPECT_TRUE(budget.take(t0 + 60'000'000));
    EXPECT_FALSE(budget.take(t0 + 60'000'001));
    // A quiet minute restores the whole budget.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(budget.take(t0 + 200'000'000 + uint64_t(i))) << i;
}

}  // namespace
}  // namespace kelvo
