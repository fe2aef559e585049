#include "platform/qt/qt_main_executor.hpp"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "support/test_support.hpp"

namespace kelvo {
namespace {

class QtMainExecutorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "qt_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) app_ = new QCoreApplication(argc, argv);
    }

    bool pump(const std::function<bool()>& pred) {
        return test::waitUntil(pred, test::kPatience, [] { QCoreApplication::processEvents(); });
    }

    static inline QCoreApplication* app_ = nullptr;  // lives for the whole run, like an application's
    QtMainExecutor main_{"main"};
};

TEST_F(QtMainExecutorTest, PostsFromOtherThreadsRunOnTheLoopInOrder) {
    constexpr int kThreads = 4, kTasks = 500;
    std::map<int, std::vector<int>> seen;  // loop thread only
    std::atomic<int> offQueue{0};
    std::atomic<int> done{0};
    std::vector<std::jthread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            EXPECT_FALSE(main_.isCurrent());
            for (int i = 0; i < kTasks; ++i) {
                main_.post([&, t, i] {
                    if (!main_.isCurrent()) ++offQueue;
                    seen[t].push_back(i);
                    ++done;
                });
            }
        });
    }
    posters.clear();
    ASSERT_TRUE(pump([&] { return done == kThreads * kTasks; }));
    EXPECT_EQ(offQueue, 0);
    for (auto& [t, order] : seen) EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "poster " << t;

    bool inline_ = false;
    main_.dispatch([&] { inline_ = true; });
    EXPECT_TRUE(inline_);
}

TEST_F(QtMainExecutorTest, TimersArmedAndCancelledFromAnyThread) {
    auto cancelled = main_.makeTimer();
    auto once = main_.makeTimer();
    auto repeating = main_.makeTimer();
    auto sentinel = main_.makeTimer();
    std::atomic<bool> cancelledFired{false}, onceOnLoop{false};
    int ticks = 0;
    bool sentinelFired = false;

    std::jthread([&] {
        cancelled->scheduleOnce(1000, [&] { cancelledFired = true; });
        once->scheduleOnce(2000, [&] { onceOnLoop = main_.isCurrent(); });
        cancelled->cancel();
        EXPECT_FALSE(cancelled->armed());
        EXPECT_TRUE(once->armed());
    }).join();
    repeating->scheduleRepeating(2000, [&] {
        if (++ticks == 3) repeating->cancel();
    });
    // Re-arming replaces the schedule: only the later task may run.
    sentinel->scheduleOnce(1000, [] { ADD_FAILURE() << "replaced schedule ran"; });
    sentinel->scheduleOnce(40'000, [&] { sentinelFired = true; });

    // A loop held up by a busy machine may reach the sentinel before the third tick.
    ASSERT_TRUE(pump([&] { return sentinelFired && ticks == 3; }));
    EXPECT_FALSE(cancelledFired);
    EXPECT_TRUE(onceOnLoop);
    EXPECT_FALSE(once->armed());
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(repeating->armed());
}

TEST_F(QtMainExecutorTest, DescriptorReadinessReportsOncePerWait) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    UniqueFd a(fds[0]), b(fds[1]);
    auto watch = main_.watchFd(a.get());
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(main_.watchFd(-1), nullptr);

    int reads = 0;
    watch->waitReadable([&] { ++reads; });
    std::jthread([&] { ASSERT_EQ(write(b.get(), "x", 1), 1); }).join();
    ASSERT_TRUE(pump([&] { return reads == 1; }));
    // Still readable, but nobody asked again.
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(reads, 1);

    bool writable = false;
    watch->waitWritable([&] { writable = main_.isCurrent(); });
    ASSERT_TRUE(pump([&] { return writable; }));

    watch->waitReadable([&] { ++reads; });
    watch->cancel();
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(reads, 1);
    watch.reset();
}

TEST_F(QtMainExecutorTest, DrainFromAnotherThreadWaitsForEarlierPosts) {
    std::atomic<int> ran{0};
    std::atomic<bool> drained{false};
    std::atomic<int> ranAtDrain{-1};
    std::jthread worker([&] {
        for (int i = 0; i < 100; ++i) main_.post([&] { ++ran; });
        main_.drain();
        ranAtDrain = ran.load();
        drained = true;
    });
    ASSERT_TRUE(pump([&] { return drained.load(); }));
    EXPECT_EQ(ranAtDrain, 100);
    main_.drain();  // on the queue itself: at once
}

// A task still waiting when the application object goes away may hold the last reference to the
// queue (a finished session does). It is dropped with the application, and the queue with it;
// run in a process of its own, since the other tests keep their application for the whole run.
void endApplicationWithATaskHoldingTheQueue() {
    alarm(20);  // a teardown that deadlocks fails here instead of hanging the run
    int argc = 1;
    char name[] = "qt_tests";
    char* argv[] = {name, nullptr};
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    auto main = std::make_shared<QtMainExecutor>("main");
    std::weak_ptr<QtMainExecutor> weak = main;
    main->post([keep = main] {});
    main->post([] {});  // a second wake-up still queued when the first is released
    main.reset();
    app.reset();
    std::exit(weak.expired() ? 0 : 1);
}

TEST(QtMainExecutorEnd, TaskHoldingTheQueueIsDroppedWithTheApplication) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(endApplicationWithATaskHoldingTheQueue(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kelvo
