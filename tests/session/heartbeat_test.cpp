// The heartbeat in virtual time: pings, which pongs count, when the link is lost, and stop.
// Pongs the tablet invents are covered by the session's heartbeat test.
#include "core/session/heartbeat.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "core/runtime/manual_executor.hpp"

namespace kelvo {
namespace {

struct HeartbeatRig {
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    std::shared_ptr<ClockSync> clock = std::make_shared<ClockSync>();
    std::vector<KVPing> pings;
    int lost = 0;
    Heartbeat heartbeat{main, clock, [this](const KVPing& ping) { pings.push_back(ping); }};

    HeartbeatRig() {
        heartbeat.onLost = [this] { ++lost; };
        heartbeat.start();
    }
    // The tablet answers ping `index`, echoing `t0`, `rttUs` + 1 µs after it was sent.
    void answer(size_t index, uint64_t t0, uint64_t rttUs = 4) {
        heartbeat.pong(KVPong{t0, 10, 11}, pings.at(index).t0 + rttUs + 1);
    }
};

TEST(HeartbeatTest, PingsEverySecondAndEchoedPongsKeepTheLinkAndFeedTheClock) {
    HeartbeatRig rig;
    for (int second = 1; second <= 10; ++second) {
        rig.main->advance(Heartbeat::kIntervalUs);
        ASSERT_EQ(rig.pings.size(), size_t(second));
        EXPECT_EQ(rig.pings.back().t0, rig.main->nowUs());
        rig.answer(rig.pings.size() - 1, rig.pings.back().t0);
    }
    EXPECT_EQ(rig.lost, 0);
    EXPECT_TRUE(rig.clock->hasSample());
}

// Invented and early pongs are the session's test; here a pong repeated after it counted.
TEST(HeartbeatTest, ARepeatedPongKeepsNothingAliveAndLostIsFinal) {
    HeartbeatRig rig;
    rig.main->advance(Heartbeat::kIntervalUs);
    rig.answer(0, rig.pings[0].t0);
    while (rig.lost == 0 && rig.pings.size() < 20) {
        rig.main->advance(Heartbeat::kIntervalUs);
        rig.heartbeat.pong(KVPong{rig.pings[0].t0, 1, 2}, rig.main->nowUs());
    }
    // Lost at the first tick more than 3 s after the pong that counted (at 1 s): pings at 1 to 4 s.
    EXPECT_EQ(rig.lost, 1);
    EXPECT_EQ(rig.pings.size(), 4u);
    rig.main->advance(10 * Heartbeat::kIntervalUs);
    EXPECT_EQ(rig.lost, 1);
    EXPECT_EQ(rig.main->armedTimers(), 0u);
}

TEST(HeartbeatTest, APongAnswersItsPingAndTheOlderOnes) {
    HeartbeatRig rig;
    rig.main->advance(2 * Heartbeat::kIntervalUs);
    rig.answer(1, rig.pings[1].t0);
    EXPECT_EQ(rig.clock->lastRttUs(), 4);
    rig.answer(0, rig.pings[0].t0, 50);  // older than the answered one: no longer in flight
    rig.answer(1, rig.pings[1].t0, 50);  // answered already
    EXPECT_EQ(rig.clock->lastRttUs(), 4);
}

TEST(HeartbeatTest, StopIsFinal) {
    HeartbeatRig rig;
    rig.main->advance(Heartbeat::kIntervalUs);
    rig.heartbeat.stop();
    rig.heartbeat.stop();
    rig.main->advance(10 * Heartbeat::kIntervalUs);
    EXPECT_EQ(rig.pings.size(), 1u);
    EXPECT_EQ(rig.lost, 0);
    rig.answer(0, rig.pings[0].t0);
    EXPECT_FALSE(rig.clock->hasSample());
}

}  // namespace
}  // namespace kelvo
