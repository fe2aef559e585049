#include "core/session/power_observer.hpp"

#include <gtest/gtest.h>

#include "core/runtime/manual_executor.hpp"
#include "core/session/host_options.hpp"
#include "core/session/polled_display_sleep.hpp"
#include "testing/fake_host_environment.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using Event = PowerObserver::Event;

struct Rig {
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>("main");
    std::shared_ptr<FakeSessionPowerSource> session = std::make_shared<FakeSessionPowerSource>();
    std::shared_ptr<FakeDisplaySleepSource> display = std::make_shared<FakeDisplaySleepSource>();
    std::shared_ptr<FakeBrightness> brightness = std::make_shared<FakeBrightness>();
    std::shared_ptr<PowerObserver> observer =
        std::make_shared<PowerObserver>(main, PowerObserver::Sources{session, display, brightness});
    std::vector<Event> events;

    Rig() {
        observer->onEvent = [this](Event e) { events.push_back(e); };
    }
};

TEST(PowerObserver, StartsFromTheCurrentStateWithoutEvents) {
    Rig rig;
    rig.session->lockedNow = true;
    rig.display->asleepNow = true;
    rig.brightness->value = 0.4;
    rig.observer->start();
    EXPECT_TRUE(rig.observer->locked());
    EXPECT_TRUE(rig.observer->displayAsleep());
    EXPECT_EQ(rig.observer->brightness(), 0.4);
    EXPECT_TRUE(rig.events.empty());
    EXPECT_EQ(rig.observer->hostState(), (HostStateMsg{"asleep", true, std::nullopt}));

    rig.observer->stop();
    EXPECT_FALSE(rig.session->started);
    EXPECT_FALSE(rig.display->started);
    EXPECT_EQ(rig.main->armedTimers(), 0u);
}

TEST(PowerObserver, EachReportIsOneEventAfterTheStateChanged) {
    Rig rig;
    rig.observer->start();
    std::vector<std::pair<HostStateMsg, Event>> seen;
    rig.observer->onEvent = [&](Event e) { seen.emplace_back(rig.observer->hostState(), e); };

    rig.display->set(true);
    rig.session->setLocked(true);
    rig.session->setLocked(true);  // locking twice is two events
    rig.session->setLocked(false);
    rig.display->set(false);
    std::vector<std::pair<HostStateMsg, Event>> want{
        {{"asleep", false, {}}, Event::displaySleep}, {{"asleep", true, {}}, Event::locked},
        {{"asleep", true, {}}, Event::locked},        {{"asleep", false, {}}, Event::unlocked},
        {{"on", false, {}}, Event::displayWake}};
    EXPECT_EQ(seen, want);
}

TEST(PowerObserver, BrightnessIsPolledAndReportedInSteps) {
    Rig rig;
    rig.brightness->value = 0.50;
    rig.observer->start();
    const uint64_t tick = PowerObserver::kBrightnessPollUs;

    rig.brightness->value = 0.505;
    rig.main->advance(tick);
    EXPECT_TRUE(rig.events.empty());
    rig.brightness->value = 0.512;  // 0.012 from the last reported value
    rig.main->advance(tick);
    EXPECT_EQ(rig.events, std::vector<Event>{Event::brightness});
    EXPECT_EQ(rig.observer->brightness(), 0.512);

    rig.brightness->value = std::nullopt;  // a failed reading changes nothing
    rig.main->advance(tick);
    rig.brightness->value = 0.522;  // exactly one step
    rig.main->advance(tick);
    EXPECT_EQ(rig.events.size(), 2u);

    rig.display->set(true);
    int reads = rig.brightness->reads;
    rig.brightness->value = 0.9;
    rig.main->advance(10 * tick);
    EXPECT_EQ(rig.brightness->reads, reads);  // not polled while the displays sleep
    rig.display->set(false);
    rig.main->advance(tick);
    EXPECT_EQ(rig.observer->brightness(), 0.9);
}

TEST(PowerObserver, NoBrightnessPollingWithoutAFirstReading) {
    Rig rig;
    rig.observer->start();
    EXPECT_EQ(rig.main->armedTimers(), 0u);
    rig.brightness->value = 0.3;
    rig.main->advance(5 * PowerObserver::kBrightnessPollUs);
    EXPECT_FALSE(rig.observer->brightness());
}

TEST(PowerObserver, SleepGoesOnOnceEveryHoldIsReleased) {
    Rig rig;
    std::vector<PowerObserver::SleepHold> holds;
    int wanted = 0;
    rig.observer->onEvent = [&](Event e) {
        if (e != Event::systemWillSleep) return;
        for (int i = 0; i < wanted; ++i) holds.push_back(rig.observer->holdSleep());
    };
    rig.observer->start();

    // Nobody holds it: it goes on as soon as the event is handled.
    rig.session->sleep();
    EXPECT_EQ(rig.session->allowSleepCalls, 1);
    EXPECT_FALSE(rig.observer->sleepPending());
    rig.session->wake();

    wanted = 2;
    rig.session->sleep();
    EXPECT_EQ(rig.session->allowSleepCalls, 1);
    holds[0].release();
    holds[0].release();  // once only
    rig.main->runUntilIdle();  // a hold is released on the main queue
    EXPECT_EQ(rig.session->allowSleepCalls, 1);
    holds.pop_back();  // dropping is releasing
    rig.main->runUntilIdle();
    EXPECT_EQ(rig.session->allowSleepCalls, 2);
    rig.session->wake();

    // A hold still out when the system woke belongs to that sleep, not the next.
    holds.clear();
    rig.session->sleep();
    PowerObserver::SleepHold stale = std::move(holds.back());
    rig.session->wake();
    rig.session->sleep();
    stale.release();
    rig.main->runUntilIdle();
    EXPECT_TRUE(rig.observer->sleepPending());
    holds.clear();
    rig.main->runUntilIdle();
    EXPECT_FALSE(rig.observer->sleepPending());

    EXPECT_FALSE(rig.observer->holdSleep().holding());  // nothing pending
}

TEST(PowerObserver, StopLetsAWaitingSleepGoOn) {
    Rig rig;
    PowerObserver::SleepHold hold;
    rig.observer->onEvent = [&](Event e) {
        if (e == Event::systemWillSleep) hold = rig.observer->holdSleep();
    };
    rig.observer->start();
    rig.session->sleep();
    int before = rig.session->allowSleepCalls;
    rig.observer->stop();
    EXPECT_EQ(rig.session->allowSleepCalls, before + 1);
    hold.release();
    rig.main->runUntilIdle();
    EXPECT_EQ(rig.session->allowSleepCalls, before + 1);
}

TEST(PolledDisplaySleep, ReportsChangesAndKeepsTheStateWhenUnreadable) {
    auto main = std::make_shared<ManualExecutor>("main");
    std::optional<bool> reading = true;
    PolledDisplaySleep source(main, [&] { return reading; }, 1'000'000);
    std::vector<bool> changes;
    EXPECT_TRUE(source.start([&](bool asleep) { changes.push_back(asleep); }));
    EXPECT_TRUE(source.asleep());
    for (auto next : {std::optional<bool>(true), std::optional<bool>(), std::optional<bool>(false),
                      std::optional<bool>(false), std::optional<bool>(true)}) {
        reading = next;
        main->advance(1'000'000);
    }
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    source.stop();
    reading = false;
    main->advance(5'000'000);
    EXPECT_EQ(changes.size(), 2u);

    reading = std::nullopt;
    EXPECT_FALSE(source.start([](bool) {}));
    EXPECT_FALSE(source.asleep());
}

TEST(HostOptions, HostNameFallsBackForAMissingOrBlankName) {
    EXPECT_EQ(HostOptions::standard(std::nullopt).hostName, "Linux");
    EXPECT_EQ(HostOptions::standard(" \t").hostName, "Linux");
    EXPECT_EQ(HostOptions::standard("书房的电脑").hostName, "书房的电脑");
    EXPECT_EQ(fromRaw<HostOptions::FrameSourceKind>("testPattern"), HostOptions::FrameSourceKind::testPattern);
    EXPECT_EQ(fromRaw<HostOptions::FrameSourceKind>("Screen"), std::nullopt);
}

}  // namespace
}  // namespace kelvo
