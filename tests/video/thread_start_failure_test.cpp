// Threads that cannot be had (a task limit, no memory for a stack) while an encoder is made or a
// frame converted: the step fails as such, nothing is left running, and the process goes on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <future>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "core/util/unique_fd.hpp"
#include "core/video/band_workers.hpp"
#include "core/video/stream_encoder.hpp"
#include "core/video/test_pattern_renderer.hpp"
#include "support/test_support.hpp"
#include "support/thread_start_faults.hpp"

namespace kelvo {
namespace {

constexpr int kW = 320, kH = 240;
const EncoderConfig kConfig{kW, kH, 60, 2'000'000, H264Profile::constrainedHigh, 34};

// Drawn before any count starts: the text renderer starts threads of its own, once.
PixelBufferRef frame() {
    static const PixelBufferRef drawn = TestPatternRenderer(kW, kH, "faults").render(0);
    return drawn;
}

// Makes one encoder through the streamer's factory and encodes a frame with it when it is made;
// the outcome as text ("made", or the error's description), also from a child process.
std::string makeAndUse() {
    auto made = H264StreamEncoder::factory()(kConfig);
    if (!made) return made.error().description();
    std::promise<EncodeResult> done;
    made.value()->encode(frame(), 1, true, [&](EncodeResult r) { done.set_value(std::move(r)); });
    auto result = done.get_future().get();
    return result.ok() && result.value() ? "made" : "made, but it encodes nothing";
}

// Runs `body` in a child process and returns what it returned; "ended by signal N" or "exited
// with N" when it did not return. Where the codec cannot have a thread of its own it keeps the
// memory and slice threads it had taken, beyond our reach: such rounds run apart, so that this
// process stays whole and the leak checker sees only ours.
std::string apart(const std::function<std::string()>& body) {
    int ends[2];
    if (::pipe(ends) != 0) return "no pipe";
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    const pid_t pid = ::fork();
    if (pid < 0) return "no fork";
    if (pid == 0) {
        readEnd.reset();
        std::string said;
        try {
            said = body();
        } catch (const std::exception& e) {
            said = std::string("threw: ") + e.what();  // not on into the rest of the suite
        }
        [[maybe_unused]] auto n = ::write(writeEnd.get(), said.data(), said.size());
        ::_exit(0);  // no leak check, no static destruction: the codec's leftovers stay unreported
    }
    writeEnd.reset();
    std::string said;
    char chunk[256];
    while (test::readable(readEnd.get())) {
        const ssize_t n = ::read(readEnd.get(), chunk, sizeof chunk);
        if (n <= 0) break;
        said.append(chunk, size_t(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0) return "exited with " + std::to_string(WEXITSTATUS(status));
    return said;
}

TEST(EncoderThreadStarts, EachOneThatCannotBeHadFailsTheMakingAndLeavesNothingRunning) {
    ASSERT_TRUE(test::noThreadNamed("kv.convert")) << "workers of an earlier test live on";
    ASSERT_TRUE(frame());
    const std::set<int> before = test::liveThreads();
    int starts = 0;
    std::vector<bool> codecs{false};  // by start, from 1: whether the codec's own
    {
        test::FailingThreadStarts none(std::numeric_limits<int>::max());
        ASSERT_EQ(makeAndUse(), "made");
        starts = none.attempts();
        for (int n = 1; n <= starts; ++n) codecs.push_back(none.startedIn(n).starts_with("libx264"));
    }
    ASSERT_GE(starts, 2) << "the opener and the worker at least";
    const std::string noThread = EncoderError::createFailed(EncoderStatus::noThread).description();
    const std::string refused = EncoderError::createFailed(EncoderStatus::openFailed).description();
    for (int n = 1; n <= starts; ++n) {
        SCOPED_TRACE("thread start " + std::to_string(n) + " of " + std::to_string(starts));
        for (const int failing : {1, std::numeric_limits<int>::max()}) {
            const bool reachesCodec = std::find(codecs.begin() + n, failing == 1 ? codecs.begin() + n + 1 : codecs.end(),
                                                true) != codecs.end();
            if (!reachesCodec) {
                // One of ours: the making fails as such, and what it had started is ended.
                {
                    test::FailingThreadStarts fail(n, failing);
                    EXPECT_EQ(makeAndUse(), noThread);
                }
                EXPECT_EQ(test::threadsSince(before), std::set<int>{});
                continue;
            }
            // Lost inside the codec, a start may be made good by the plain configuration.
            const std::string outcome = apart([&] {
                std::string made;
                {
                    test::FailingThreadStarts fail(n, failing);
                    made = makeAndUse();
                }
                return made + "; then " + makeAndUse();
            });
            std::set<std::string> wanted{noThread + "; then made", refused + "; then made"};
            if (failing == 1) wanted.insert("made; then made");
            EXPECT_TRUE(wanted.count(outcome)) << outcome;
        }
    }
    EXPECT_EQ(makeAndUse(), "made") << "the process goes on";
    EXPECT_EQ(test::threadsSince(before), std::set<int>{});
}

TEST(BandWorkerThreadStarts, AWorkerThatCannotBeHadEndsTheOthersAndTheJobsRunOnTheirCaller) {
    ASSERT_TRUE(test::noThreadNamed("kv.convert")) << "workers of an earlier test live on";
    const std::set<int> before = test::liveThreads();
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("worker " + std::to_string(n) + " of 3");
        test::LogCapture log;
        BandWorkers workers(4);
        {
            test::FailingThreadStarts fail(n, 1);
            EXPECT_FALSE(workers.start());
        }
        EXPECT_EQ(test::threadsSince(before), std::set<int>{}) << "the workers started before it are joined";
        EXPECT_EQ(log.count("cannot be started", "video"), 1u);
        // Said once: a later job neither tries again nor says it again.
        std::array<std::atomic<int>, 6> runs{};
        std::set<pid_t> threads;
        for (int job = 0; job < 2; ++job) {
            workers.run(6, [&](int band) {
                ++runs[size_t(band)];
                threads.insert(::gettid());
            });
        }
        for (auto& r : runs) EXPECT_EQ(r.load(), 2);
        EXPECT_EQ(threads, std::set<pid_t>{::gettid()});
        EXPECT_FALSE(workers.start());
        EXPECT_EQ(log.count("cannot be started", "video"), 1u);
    }
    BandWorkers workers(4);
    EXPECT_TRUE(workers.start()) << "the process goes on";
    EXPECT_EQ(test::threadsNamed("kv.convert").size(), 3u);
}

}  // namespace
}  // namespace kelvo
