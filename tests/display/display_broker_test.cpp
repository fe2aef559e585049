#include <gtest/gtest.h>

#include <cmath>

#include "core/display/display_broker.hpp"
#include "display_test_support.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

struct BrokerDesk : test::SimulatedDesk {
    DisplayBroker broker{server, server, main};
    int released = 0;
    BrokerDesk() { broker.onReleased = [this] { ++released; }; }

    Expected<std::shared_ptr<DisplaySource>, DisplayError> acquire(
        const std::string& key, Orientation o = Orientation::landscape,
        DisplaySourceKind kind = DisplaySourceKind::virtual_, DisplayId external = 0) {
        return broker.acquire({key, "Pad " + key}, o, kind, external, {197, 148}, DisplayPreset::more);
    }
};

TEST(DisplayBroker, NewVirtualDisplayKeepsTheOtherDisplaysInTheirModes) {
    BrokerDesk desk;
    test::LogCapture log;
    // The system switches the built-in display when the virtual one appears.
    desk.server.setOnVirtualDisplayAdded([&](DisplayId) { desk.server.setCurrentMode(desk.builtin, 2); });
    auto source = desk.acquire("a");
    ASSERT_TRUE(source.ok()) << source.error().description();
    DisplayId id = source.value()->displayID();
    auto modes = desk.server.modes(id);
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes[0], (DisplayMode{1152, 864, 2304, 1728, 60, true, 0}));  // preferred preset first, HiDPI
    EXPECT_EQ(desk.server.currentModeIndex(desk.builtin), 2u);

    desk.main->advance(299'999);
    EXPECT_EQ(desk.server.currentModeIndex(desk.builtin), 2u);
    desk.main->advance(1);
    EXPECT_EQ(desk.server.currentModeIndex(desk.builtin), 0u);
    EXPECT_EQ(log.count("被系统改成 1280×800，改回 1440×900 @60Hz", "display"), 1u);

    // Later checks (0.8, 1.5, 3.0 s) catch a change that comes later; then they stop.
    desk.server.setCurrentMode(desk.builtin, 1);
    desk.main->advance(500'000);
    EXPECT_EQ(desk.server.currentModeIndex(desk.builtin), 0u);
    EXPECT_EQ(desk.main->advance(10'000'000), 2u);
    desk.server.setCurrentMode(desk.builtin, 1);
    desk.main->advance(10'000'000);
    EXPECT_EQ(desk.server.currentModeIndex(desk.builtin), 1u);
}

TEST(DisplayBroker, ChecksStopOnceTheDisplayIsReplacedAndSkipDisplaysGoneOffline) {
    BrokerDesk desk;
    desk.server.setOnVirtualDisplayAdded([&](DisplayId) { desk.server.setCurrentMode(desk.external, 2); });
    ASSERT_TRUE(desk.acquire("a").ok());
    desk.server.removeDisplay(desk.external);
    desk.main->advance(300'000);  // the external display is gone: nothing to restore, no crash
    EXPECT_EQ(desk.server.completedConfigurations(), 0u);

    BrokerDesk other;
    ASSERT_TRUE(other.acquire("a").ok());
    other.server.setCurrentMode(other.builtin, 2);
    ASSERT_TRUE(other.acquire("a", Orientation::landscape, DisplaySourceKind::external, other.external).ok());
    other.main->advance(5'000'000);
    EXPECT_EQ(other.server.currentModeIndex(other.builtin), 2u);
}

TEST(DisplayBroker, GracePeriodReusesTheDisplayForTheSameRequestOnly) {
    BrokerDesk desk;
    test::LogCapture log;
    auto first = desk.acquire("a").value();
    DisplayId id = first->displayID();
    first.reset();
    desk.broker.release(5s);
    EXPECT_TRUE(desk.broker.isHoldingForGrace());
    EXPECT_TRUE(log.contains("keeping display for 5.0 s grace period", "display"));
    desk.main->advance(4'999'999);

    auto again = desk.acquire("a").value();
    EXPECT_EQ(again->displayID(), id);
    EXPECT_FALSE(desk.broker.isHoldingForGrace());
    EXPECT_TRUE(log.contains("reusing display " + std::to_string(id), "display"));
    EXPECT_EQ(desk.server.virtualDisplaysCreated(), 1u);
    desk.main->advance(10'000'000);
    EXPECT_EQ(desk.released, 0);  // the grace timer was cancelled

    again.reset();
    auto portrait = desk.acquire("a", Orientation::portrait).value();
    EXPECT_NE(portrait->displayID(), id);
    EXPECT_EQ(desk.released, 1);
    auto online = desk.server.onlineDisplays();
    EXPECT_EQ(std::count(online.begin(), online.end(), id), 0);  // the old display is gone
    portrait.reset();

    desk.acquire("b").value();
    EXPECT_EQ(desk.released, 2);
    EXPECT_EQ(desk.server.virtualDisplaysCreated(), 3u);
}

TEST(DisplayBroker, ReleaseClampsTheGracePeriod) {
    struct Case {
        double seconds;
        bool holds;
        uint64_t releasedAfterUs;
    } cases[] = {{0, false, 0}, {-3, false, 0}, {std::nan(""), false, 0}, {INFINITY, false, 0},
                 {2.5, true, 2'500'000}, {1e300, true, 3'600'000'000}};
    for (auto c : cases) {
        BrokerDesk desk;
        ASSERT_TRUE(desk.acquire("a").ok());
        desk.broker.release(std::chrono::duration<double>(c.seconds));
        EXPECT_EQ(desk.broker.isHoldingForGrace(), c.holds) << c.seconds;
        if (c.holds) {
            desk.main->advance(c.releasedAfterUs - 1);
            EXPECT_EQ(desk.released, 0) << c.seconds;
            desk.main->advance(1);
        }
        EXPECT_EQ(desk.released, 1) << c.seconds;
        EXPECT_EQ(desk.broker.active(), nullptr);
    }

    BrokerDesk idle;
    idle.broker.release(5s);
    idle.broker.releaseNow();
    EXPECT_FALSE(idle.broker.isHoldingForGrace());
    EXPECT_EQ(idle.released, 0);
}

TEST(DisplayBroker, FailedAcquireHoldsNothing) {
    BrokerDesk desk;
    ASSERT_TRUE(desk.acquire("a").ok());
    auto missing = desk.acquire("a", Orientation::landscape, DisplaySourceKind::external, 99);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().description(), "display 99 is not online");
    EXPECT_EQ(desk.broker.active(), nullptr);
    EXPECT_EQ(desk.released, 1);

    desk.server.setVirtualDisplaysAvailable(false);
    auto refused = desk.acquire("a");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, DisplayError::Kind::unavailable);
    EXPECT_FALSE(desk.broker.activeKey());

    // An external display is reused only for the same id.
    auto ext = desk.acquire("a", Orientation::landscape, DisplaySourceKind::external, desk.external).value();
    EXPECT_EQ(desk.acquire("a", Orientation::landscape, DisplaySourceKind::external, desk.external).value(), ext);
    EXPECT_NE(desk.acquire("a", Orientation::landscape, DisplaySourceKind::external, desk.builtin).value(), ext);
}

TEST(DecimalSeconds, AlwaysShowsAFraction) {
    EXPECT_EQ(decimalSeconds(5), "5.0");
    EXPECT_EQ(decimalSeconds(2.5), "2.5");
    EXPECT_EQ(decimalSeconds(0.1), "0.1");
    EXPECT_EQ(decimalSeconds(3600), "3600.0");
}

}  // namespace
}  // namespace kelvo
