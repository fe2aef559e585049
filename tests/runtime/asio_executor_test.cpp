#include "platform/runtime/asio_executor.hpp"

#include <asio/post.hpp>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/util/clock.hpp"
#include "core/util/named_thread.hpp"
#include "core/util/unique_fd.hpp"
#include "platform/runtime/wakeable_thread.hpp"
#include "support/test_support.hpp"
#include "support/thread_start_faults.hpp"

namespace kelvo {
namespace {

// A touch crosses the interactive pool's thread on its way to the desktop: it must wake with a
// shorter slice than the encoder and the rest of the process run with, or it waits theirs out.
TEST(IoPool, InteractiveThreadsRunWithAShorterSliceThanTheRest) {
    const auto slice = [](IoPool& pool) {
        std::promise<std::optional<uint64_t>> seen;
        asio::post(pool.context(), [&] { seen.set_value(test::threadTimeSliceNs()); });
        return seen.get_future().get();
    };
    IoPool normal(1);
    const auto normalSlice = slice(normal);
    if (!normalSlice) GTEST_SKIP() << "the kernel does not report time slices";
    IoPool interactive(1, IoPool::Urgency::interactive);
    const auto interactiveSlice = slice(interactive);
    ASSERT_TRUE(interactiveSlice);
    if (*interactiveSlice == *normalSlice) GTEST_SKIP() << "this kernel keeps one slice for all";
    EXPECT_LE(*interactiveSlice, 200'000u);
    EXPECT_LT(*interactiveSlice, *normalSlice);
}

TEST(AsioExecutor, QueueIsSerialAndKnowsWhenItIsCurrent) {
    auto q = AsioExecutor::makeQueue("kv.test");
    EXPECT_FALSE(q->isCurrent());
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> done{0};
    std::promise<void> all;
    constexpr int kTasks = 2000;
    for (int i = 0; i < kTasks; ++i) {
        q->post([&] {
            int now = ++inside;
            maxInside = std::max(maxInside.load(), now);
            EXPECT_TRUE(q->isCurrent());
            EXPECT_EQ(currentQueueLabel(), "kv.test");
            --inside;
            if (++done == kTasks) all.set_value();
        });
    }
    all.get_future().wait();
    EXPECT_EQ(maxInside.load(), 1);
}

TEST(AsioExecutor, RunSyncReturnsValueAndRunsInlineWhenCurrent) {
    auto q = AsioExecutor::makeQueue("kv.sync");
    int v = runSync(*q, [&] { return runSync(*q, [] { return 41; }) + 1; });
    EXPECT_EQ(v, 42);
}

TEST(AsioExecutor, TimerFiresOnItsQueueAndCancelStopsIt) {
    auto q = AsioExecutor::makeQueue("kv.timer");
    auto timer = q->makeTimer();
    std::promise<bool> onQueue;
    runSync(*q, [&] { timer->scheduleOnce(1000, [&] { onQueue.set_value(q->isCurrent()); }); });
    EXPECT_TRUE(onQueue.get_future().get());

    std::atomic<int> ticks{0};
    std::promise<void> three;
    runSync(*q, [&] {
        timer->scheduleRepeating(500, [&] {
            if (++ticks == 3) {
                timer->cancel();
                three.set_value();
            }
        });
    });
    three.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ticks.load(), 3);
    runSync(*q, [&] { timer.reset(); });
}

TEST(AsioExecutor, FdWatchReportsReadability) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    UniqueFd a(sv[0]), b(sv[1]);
    auto q = AsioExecutor::makeQueue("kv.fd");
    auto watch = q->watchFd(a.get());
    std::promise<char> got;
    runSync(*q, [&] {
        watch->waitReadable([&] {
            char c = 0;
            ASSERT_EQ(::read(a.get(), &c, 1), 1);
            got.set_value(c);
        });
    });
    ASSERT_EQ(::write(b.get(), "x", 1), 1);
    EXPECT_EQ(got.get_future().get(), 'x');
    runSync(*q, [&] { watch.reset(); });
    // The watch never owned the descriptor.
    EXPECT_EQ(::write(b.get(), "y", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(a.get(), &c, 1), 1);
}

TEST(MainLoop, RunsPostedWorkOnTheCallingThread) {
    MainLoop loop;
    std::thread::id ran;
    loop.executor().post([&] {
        ran = std::this_thread::get_id();
        loop.stop();
    });
    loop.run();
    EXPECT_EQ(ran, std::this_thread::get_id());
}

TEST(AsioExecutor, TimerWithAHugeDelayNeverFires) {
    auto q = AsioExecutor::makeQueue("kv.timer");
    auto once = q->makeTimer();
    auto repeating = q->makeTimer();
    std::atomic<bool> fired{false};
    runSync(*q, [&] {
        once->scheduleOnce(std::numeric_limits<uint64_t>::max(), [&] { fired = true; });
        repeating->scheduleRepeating(uint64_t{1} << 62, [&] { fired = true; });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(fired.load());
    runSync(*q, [&] {
        EXPECT_TRUE(once->armed());
        once.reset();
        repeating.reset();
    });
}

TEST(AsioExecutor, RepeatingTimerHeldUpFiresOnceThenKeepsItsCadence) {
    auto q = AsioExecutor::makeQueue("kv.timer");
    auto timer = q->makeTimer();
    std::mutex m;
    std::vector<uint64_t> at;
    std::promise<void> done;
    runSync(*q, [&] {
        timer->scheduleRepeating(10'000, [&] {
            std::lock_guard g(m);
            at.push_back(Clock::nowUs());
            // The first tick holds the queue for 20 periods.
            if (at.size() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (at.size() == 4) {
                timer->cancel();
                done.set_value();
            }
        });
    });
    done.get_future().wait();
    std::lock_guard g(m);
    // Without coalescing the missed periods come back to back; with it ticks 2 to 4 span at
    // least one period.
    EXPECT_GE(at[3] - at[1], 9'000u);
    runSync(*q, [&] { timer.reset(); });
}

TEST(AsioExecutor, UnwatchableDescriptorGivesNoWatch) {
    auto q = AsioExecutor::makeQueue("kv.fd");
    EXPECT_EQ(q->watchFd(-1), nullptr);
}

TEST(MainLoop, StopFromAnotherThreadBeforeRunIsNotLost) {
    MainLoop loop;
    std::thread([&] { loop.stop(); }).join();
    loop.run();  // returns at once instead of waiting forever
    bool ran = false;
    loop.executor().post([&] {
        ran = true;
        loop.stop();
    });
    loop.run();  // the earlier stop was consumed
    EXPECT_TRUE(ran);
}

TEST(IoPool, StopFromAPoolThreadDefersTheJoin) {
    IoPool pool(2);
    AsioExecutor q(pool.context(), "kv.pool.test");
    std::promise<void> stopped;
    q.post([&] {
        pool.stop();
        stopped.set_value();
    });
    stopped.get_future().wait();
    pool.stop();  // joins the thread that stopped the pool
}

// The ids of the live threads named `name` that were not in `before`.
std::set<int> newThreadsNamed(const char* name, const std::set<int>& before) {
    std::set<int> out;
    for (auto t : test::threadsNamed(name)) {
        if (!before.count(t.tid)) out.insert(t.tid);
    }
    return out;
}

// The diagnostics, `top -H` and tests look a thread up by name as soon as its starter returns: a
// thread that named itself would often not have run that far yet. Counted by id against the
// threads there were, so that a thread of an earlier test still leaving is no new one.
TEST(IoPool, ThreadsBearTheirNamesOnceStartedAndGoWithTheirOwner) {
    const std::set<int> before = test::liveThreads();
    for (int round = 0; round < 20; ++round) {
        {
            IoPool pool(2);
            IoPool urgent(1, IoPool::Urgency::interactive);
            ASSERT_EQ(newThreadsNamed("kv.pool", before).size(), 2u) << "round " << round;
            ASSERT_EQ(newThreadsNamed("kv.interactive", before).size(), 1u) << "round " << round;
        }
        WakeableThread waiter;
        ASSERT_TRUE(waiter.start("kv.test.waiter", [](int wakeFd) {
            pollfd woken{wakeFd, POLLIN, 0};
            while (::poll(&woken, 1, -1) < 0) {}
        }));
        ASSERT_EQ(newThreadsNamed("kv.test.waiter", before).size(), 1u) << "round " << round;
        waiter.stop();
        // Joined threads that are leaving are not counted: none is waited for.
        ASSERT_EQ(test::threadsSince(before), std::set<int>{}) << "round " << round;
    }
}

// A thread that has run its course before its starter names it needs no name: that is no fault
// to warn of. A name the kernel refuses is.
TEST(NamedThread, AThreadAlreadyGoneIsPassedOverAndARefusedNameSaid) {
    test::LogCapture log;
    std::atomic<int> tid{0};
    auto gone = tryStartThread([&] { tid = int(::gettid()); });
    ASSERT_TRUE(gone);
    ASSERT_TRUE(test::waitUntil([&] {
        return tid != 0 && ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0;
    }));
    nameThread(gone.value(), "kv.test.gone");
    gone.value().join();
    EXPECT_EQ(log.count("runs unnamed", "runtime"), 0u);

    auto started = tryStartNamedThread("kv.test.name.too.long", [] {});
    ASSERT_TRUE(started);
    started.value().join();
    EXPECT_EQ(log.count("\"kv.test.name.too.long\" runs unnamed", "runtime"), 1u);
}

// A pool runs with the threads it can have and says so; one that can have none is no pool. A
// thread that cannot be had for a waiter is its start's failure. Nothing is left running.
TEST(IoPool, ThreadsThatCannotBeHadAreSaidAndNoneIsLeftBehind) {
    const std::set<int> before = test::liveThreads();
    {
        test::LogCapture log;
        std::optional<IoPool> pool;
        {
            test::FailingThreadStarts fail(3);
            pool.emplace(4);
        }
        EXPECT_EQ(newThreadsNamed("kv.pool", before).size(), 2u);
        EXPECT_TRUE(log.contains("\"kv.pool\" runs 2 of 4 threads", "runtime"));
        AsioExecutor queue(pool->context(), "kv.test.fewer");
        std::promise<void> ran;
        queue.post([&] { ran.set_value(); });
        EXPECT_EQ(ran.get_future().wait_for(test::kPatience), std::future_status::ready);
    }
    {
        test::FailingThreadStarts fail(1);
        EXPECT_THROW(IoPool(2, IoPool::Urgency::interactive), std::system_error);
        WakeableThread waiter;
        EXPECT_FALSE(waiter.start("kv.test.waiter", [](int) {}));
        waiter.stop();
    }
    EXPECT_EQ(test::threadsSince(before), std::set<int>{});
}

}  // namespace
}  // namespace kelvo
