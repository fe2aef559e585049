#include "core/runtime/manual_executor.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/util/unique_fd.hpp"

namespace kelvo {
namespace {

TEST(ManualExecutor, PostedTasksRunOnlyWhenDrainedAndInOrder) {
    ManualExecutor ex;
    std::vector<int> order;
    ex.post([&] { order.push_back(1); });
    ex.post([&] {
        order.push_back(2);
        ex.post([&] { order.push_back(4); });
    });
    ex.post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(ex.runUntilIdle(), 4u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(ManualExecutor, DispatchRunsInlineOnlyWhenOnTheQueue) {
    ManualExecutor ex;
    std::vector<std::string> order;
    ex.dispatch([&] { order.push_back("hopped"); });
    EXPECT_TRUE(order.empty());
    ex.post([&] {
        ex.dispatch([&] { order.push_back("inline"); });
        order.push_back("after");
    });
    ex.runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"hopped", "inline", "after"}));
}

TEST(ManualExecutor, TimersFireInVirtualTimeOrder) {
    ManualExecutor ex("t", 0);
    std::vector<std::pair<std::string, uint64_t>> fired;
    auto a = ex.makeTimer();
    auto b = ex.makeTimer();
    auto c = ex.makeTimer();
    a->scheduleOnce(300, [&] { fired.emplace_back("a", ex.nowUs()); });
    b->scheduleOnce(100, [&] { fired.emplace_back("b", ex.nowUs()); });
    c->scheduleOnce(100, [&] { fired.emplace_back("c", ex.nowUs()); });
    EXPECT_EQ(ex.advance(99), 0u);
    EXPECT_EQ(ex.advance(1), 2u);
    EXPECT_EQ(ex.advance(1000), 1u);
    EXPECT_EQ(ex.nowUs(), 1100u);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], std::make_pair(std::string("b"), uint64_t{100}));
    EXPECT_EQ(fired[1], std::make_pair(std::string("c"), uint64_t{100}));
    EXPECT_EQ(fired[2], std::make_pair(std::string("a"), uint64_t{300}));
}

TEST(ManualExecutor, RepeatingTimerKeepsItsCadenceUntilCancelled) {
    ManualExecutor ex("t", 0);
    std::vector<uint64_t> at;
    auto t = ex.makeTimer();
    t->scheduleRepeating(1000, [&] {
        at.push_back(ex.nowUs());
        if (at.size() == 3) t->cancel();
    }, 0, 0);
    ex.advance(10'000);
    EXPECT_EQ(at, (std::vector<uint64_t>{0, 1000, 2000}));
    EXPECT_FALSE(t->armed());
}

TEST(ManualExecutor, RearmingReplacesAndDestroyingCancels) {
    ManualExecutor ex("t", 0);
    int fired = 0;
    auto t = ex.makeTimer();
    t->scheduleOnce(100, [&] { fired += 1; });
    t->scheduleOnce(200, [&] { fired += 10; });
    ex.advance(150);
    EXPECT_EQ(fired, 0);
    ex.advance(100);
    EXPECT_EQ(fired, 10);
    t->scheduleOnce(100, [&] { fired += 100; });
    t.reset();
    ex.advance(1000);
    EXPECT_EQ(fired, 10);
    EXPECT_EQ(ex.armedTimers(), 0u);
}

TEST(ManualExecutor, TimerTaskMayDestroyItsOwnTimer) {
    ManualExecutor ex("t", 0);
    auto t = ex.makeTimer();
    int fired = 0;
    t->scheduleRepeating(10, [&] {
        ++fired;
        t.reset();
    });
    ex.advance(100);
    EXPECT_EQ(fired, 1);
}

TEST(ManualExecutor, TimerOutlivingExecutorIsHarmless) {
    std::unique_ptr<Timer> t;
    {
        ManualExecutor ex;
        t = ex.makeTimer();
        t->scheduleOnce(10, [] {});
    }
    t->cancel();
    t->scheduleOnce(10, [] {});
    EXPECT_FALSE(t->armed());
}

TEST(ManualExecutor, RunNextTimerJumpsToTheEarliestDeadline) {
    ManualExecutor ex("t", 0);
    auto t = ex.makeTimer();
    bool fired = false;
    t->scheduleOnce(3'000'000, [&] { fired = true; });
    EXPECT_TRUE(ex.runNextTimer());
    EXPECT_TRUE(fired);
    EXPECT_EQ(ex.nowUs(), 3'000'000u);
    EXPECT_FALSE(ex.runNextTimer());
}

TEST(ManualExecutor, ThrowingTaskReachesTheTestAndLeavesTheQueueUsable) {
    ManualExecutor ex("t", 0);
    ex.post([] { throw std::runtime_error("boom"); });
    EXPECT_THROW(ex.runUntilIdle(), std::runtime_error);
    EXPECT_FALSE(ex.isCurrent());

    auto t = ex.makeTimer();
    t->scheduleOnce(10, [] { throw std::runtime_error("boom"); });
    EXPECT_THROW(ex.advance(10), std::runtime_error);
    EXPECT_FALSE(ex.isCurrent());
    bool ran = false;
    ex.post([&] { ran = true; });
    ex.runUntilIdle();
    EXPECT_TRUE(ran);
}

TEST(ManualExecutor, HugeDelaysAndAdvancesSaturateInsteadOfWrapping) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    ManualExecutor ex("t", 1'000'000);
    auto once = ex.makeTimer();
    int fired = 0;
    once->scheduleOnce(kMax, [&] { ++fired; });
    EXPECT_EQ(ex.advance(1'000'000'000), 0u);
    ex.advance(kMax);
    EXPECT_EQ(ex.nowUs(), kMax);
    EXPECT_EQ(fired, 1);

    // A repeating timer near the end of time stops there instead of firing forever.
    ManualExecutor late("t", kMax - 5);
    auto repeating = late.makeTimer();
    repeating->scheduleRepeating(1, [&] { ++fired; });
    EXPECT_EQ(late.advance(kMax), 5u);
    EXPECT_TRUE(repeating->armed());
}

std::pair<UniqueFd, UniqueFd> socketPair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    return {UniqueFd(sv[0]), UniqueFd(sv[1])};
}

TEST(ManualExecutor, WatchReportsEachWaitOnceWhenItsQueueRuns) {
    ManualExecutor ex("t", 0);
    auto [a, b] = socketPair();
    EXPECT_EQ(ex.watchFd(-1), nullptr);
    auto watch = ex.watchFd(a.get());
    ASSERT_NE(watch, nullptr);
    std::vector<std::string> seen;
    watch->waitReadable([&] { seen.push_back("read"); });
    watch->waitWritable([&] { seen.push_back("write"); });
    EXPECT_EQ(ex.pendingWaits(), 2u);
    EXPECT_EQ(ex.runUntilIdle(), 1u);  // writable at once, nothing to read yet
    EXPECT_EQ(seen, (std::vector<std::string>{"write"}));
    ASSERT_EQ(::write(b.get(), "x", 1), 1);
    EXPECT_EQ(ex.runUntilIdle(), 1u);
    EXPECT_EQ(seen, (std::vector<std::string>{"write", "read"}));
    EXPECT_EQ(ex.runUntilIdle(), 0u);  // still readable, but nobody waits

    // A wait made by a timer's task is reported within the same advance, at that virtual time.
    auto timer = ex.makeTimer();
    uint64_t readAt = 0;
    timer->scheduleOnce(500, [&] { watch->waitReadable([&] { readAt = ex.nowUs(); }); });
    ex.advance(1'000);
    EXPECT_EQ(readAt, 500u);

    // Cancelled and destroyed watches report nothing; the descriptor stays open.
    watch->waitReadable([&] { seen.push_back("cancelled"); });
    watch->cancel();
    EXPECT_EQ(ex.runUntilIdle(), 0u);
    watch->waitReadable([&] { seen.push_back("destroyed"); });
    watch.reset();
    EXPECT_EQ(ex.runUntilIdle(), 0u);
    EXPECT_EQ(ex.pendingWaits(), 0u);
    char c;
    EXPECT_EQ(::read(a.get(), &c, 1), 1);
}

TEST(ManualExecutor, ReadyWatchDestroyedByAnEarlierTaskDoesNotRun) {
    ManualExecutor ex;
    auto [a, peerA] = socketPair();
    auto [b, peerB] = socketPair();
    auto first = ex.watchFd(a.get());
    auto second = ex.watchFd(b.get());
    std::vector<std::string> seen;
    first->waitReadable([&] {
        seen.push_back("first");
        EXPECT_TRUE(ex.isCurrent());
        second.reset();
    });
    second->waitReadable([&] { seen.push_back("second"); });
    // Both hung up: a hang-up counts as readiness.
    peerA.reset();
    peerB.reset();
    ex.runUntilIdle();
    EXPECT_EQ(seen, (std::vector<std::string>{"first"}));

    // A watch outliving its executor is inert.
    std::unique_ptr<FdWatch> orphan;
    {
        ManualExecutor gone;
        orphan = gone.watchFd(a.get());
    }
    orphan->waitReadable([] {});
    orphan->cancel();
}

}  // namespace
}  // namespace kelvo
