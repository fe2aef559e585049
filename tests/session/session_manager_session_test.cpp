// The manager driving real sessions against the simulated tablet in developer mode: the statuses
// a user sees, what follows each kind of ending, the commands, and the host's power events.

#include <gtest/gtest.h>

#include "testing/fake_ipad.hpp"
#include "session_manager_rig.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

class ManagerSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeIPad::Options options;
        options.decode = false;
        auto made = FakeIPad::make(options);
        ASSERT_TRUE(made.ok());
        tablet = made.value();
        rig.emplace(FakeSessionEnvironment::Queues::threads,
                    test::directSettings(tablet->ctrlPort(), tablet->videoPort()));
        rig->options.skipProbe = !probes();  // a probe takes seconds under the sanitizers
        rig->make();
    }
    virtual bool probes() const { return false; }
    void TearDown() override {
        rig.reset();
        if (tablet) tablet->close();
    }

    // A probe takes seconds under the sanitizers, and many more on a busy machine.
    bool eventually(const std::function<bool()>& pred, std::chrono::seconds limit = 2 * test::kPatience) {
        return test::waitUntil([&] { return rig->read(pred); }, limit);
    }
    bool streaming() {
        return eventually([&] { return rig->manager->status().is<HostStatus::Connected>(); });
    }
    HostStatus status() {
        return rig->read([&] { return rig->manager->status(); });
    }
    size_t sessionsBegun() {
        return rig->read([&] {
            return static_cast<size_t>(std::count_if(rig->sessionChanges.begin(), rig->sessionChanges.end(),
                                                     [](const auto& c) { return c.began; }));
        });
    }

    std::shared_ptr<FakeIPad> tablet;
    std::optional<test::ManagerRig> rig;
};

class ManagerProbeTest : public ManagerSessionTest {
protected:
    bool probes() const override { return true; }
};

TEST_F(ManagerProbeTest, StatusGoesFromNoDeviceThroughProbingToConnected) {
    EXPECT_EQ(status(), HostStatus(HostStatus::NoDevice{}));
    rig->start();
    ASSERT_TRUE(streaming());
    const auto statuses = rig->read([&] { return rig->statuses; });
    // Each case in the order it was first published.
    std::vector<size_t> order;
    for (const auto& s : statuses) {
        const size_t index = s.value().index();
        if (std::find(order.begin(), order.end(), index) == order.end()) order.push_back(index);
    }
    EXPECT_EQ(order, (std::vector<size_t>{HostStatus(HostStatus::Connecting{}).value().index(),
                                          HostStatus(HostStatus::Probing{}).value().index(),
                                          HostStatus(HostStatus::Connected{}).value().index()}));
    const auto* connected = statuses.back().as<HostStatus::Connected>();
    ASSERT_NE(connected, nullptr);
    EXPECT_EQ(connected->name, tablet->options().name);
    EXPECT_EQ(connected->transport, "TCP 127.0.0.1");
    EXPECT_NE(connected->stream, "?");
}

// The statistics store outlives sessions: what an earlier one left there is not this one's rate.
TEST_F(ManagerSessionTest, FrameRateShownIsTheCurrentSessions) {
    LiveStats stale;
    stale.fpsCap = 7;
    rig->fake.stats.push(stale);
    rig->start();
    ASSERT_TRUE(streaming());
    auto fps = [&] { return rig->manager->status().as<HostStatus::Connected>()->fps; };
    EXPECT_NE(rig->read(fps), 7);
    LiveStats current;
    current.fpsCap = 45;
    rig->onMain([&] { rig->fake.stats.push(current); });
    EXPECT_TRUE(eventually([&] { return fps() == 45; }));
}

TEST_F(ManagerSessionTest, TabletHangingUpIsReachedAgainAboutASecondLater) {
    rig->start();
    ASSERT_TRUE(streaming());
    tablet->sendBye("gone");
    ASSERT_TRUE(eventually([&] { return rig->sessionChanges.size() >= 3; }));
    const auto changes = rig->read([&] { return rig->sessionChanges; });
    ASSERT_FALSE(changes[1].began);
    ASSERT_TRUE(changes[2].began);
    const double gap = static_cast<double>(changes[2].atUs - changes[1].atUs) / 1e6;
    EXPECT_GE(gap, 0.99);
    EXPECT_LT(gap, 3.0);  // the retry of a session that streamed, not a back-off step
    EXPECT_TRUE(streaming());
}

TEST_F(ManagerSessionTest, DisconnectKeepsTheTabletAwayUntilReconnect) {
    rig->start();
    ASSERT_TRUE(streaming());
    rig->onMain([&] { rig->manager->disconnect(); });
    ASSERT_TRUE(eventually([&] { return rig->manager->session() == nullptr; }));
    // The bye is written before the session is released, but the tablet reads it on its own queue.
    EXPECT_TRUE(test::waitUntil([&] { return tablet->snapshot().lastBye == "user"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the retry of a session that streamed
    EXPECT_EQ(sessionsBegun(), 1u);
    EXPECT_EQ(status(), HostStatus(HostStatus::NoDevice{}));

    rig->onMain([&] { rig->manager->reconnect(); });
    EXPECT_TRUE(streaming());
    EXPECT_EQ(sessionsBegun(), 2u);
}

TEST_F(ManagerProbeTest, ReprobeProbesTheTabletAgain) {
    rig->start();
    ASSERT_TRUE(streaming());
    const auto probes = tablet->snapshot().probesAnswered;
    ASSERT_GT(probes, 0);
    rig->onMain([&] { rig->manager->reprobe(); });
    ASSERT_TRUE(eventually([&] { return rig->sessionChanges.size() >= 3; }));
    ASSERT_TRUE(streaming());
    EXPECT_TRUE(test::waitUntil([&] { return tablet->snapshot().lastBye == "reprobe"; }));
    EXPECT_GT(tablet->snapshot().probesAnswered, probes);
}

TEST_F(ManagerSessionTest, DisplaySleepPausesAndSystemSleepEndsTheSession) {
    test::LogCapture log;
    rig->start();
    ASSERT_TRUE(streaming());
    rig->onMain([&] { rig->fake.displaySleep->set(true); });
    ASSERT_TRUE(eventually([&] { return rig->manager->status().is<HostStatus::Paused>(); }));
    rig->onMain([&] { rig->fake.displaySleep->set(false); });
    ASSERT_TRUE(streaming());

    rig->onMain([&] { rig->fake.sessionPower->sleep(); });
    ASSERT_TRUE(eventually([&] { return rig->sessionChanges.size() >= 2; }));
    EXPECT_TRUE(log.contains("ending: system sleep", "session"));
    EXPECT_TRUE(test::waitUntil([&] { return tablet->snapshot().lastBye == "shutdown"; }));
}

TEST_F(ManagerSessionTest, StopEndsTheSessionAndNothingConnectsAfterIt) {
    rig->start();
    ASSERT_TRUE(streaming());
    rig->onMain([&] { rig->manager->stop(); });
    EXPECT_EQ(rig->read([&] { return rig->manager->session(); }), nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return tablet->snapshot().lastBye == "shutdown"; }));
    rig->onMain([&] {
        rig->fake.sessionPower->setLocked(true);
        rig->fake.sessionPower->setLocked(false);
        rig->manager->reconnect();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(sessionsBegun(), 1u);
    EXPECT_EQ(tablet->snapshot().sessions, 1);
}

}  // namespace
}  // namespace kelvo
