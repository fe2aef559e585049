#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "testing/loopback_pipeline.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

constexpr int64_t kTabletClockAheadUs = 7'000'000;

// Test pattern → streamer → Channel over loopback TCP → the simulated tablet, which decodes with
// the test decoder and acknowledges with its own clock.
TEST(VideoStreamLoopback, TestPatternIsStreamedDecodedAndAcknowledged) {
    std::mutex m;
    std::vector<LiveStats> stats;
    LoopbackPipeline::Options options;
    options.videoQueue = AsioExecutor::makeQueue("kv.s.video");
    options.peerQueue = AsioExecutor::makeQueue("kv.fake");
    options.sourceQueue = AsioExecutor::makeQueue("kv.testpattern");
    options.tabletClockAheadUs = kTabletClockAheadUs;
    options.onStats = [&](const LiveStats& s) {
        std::lock_guard<std::mutex> lock(m);
        stats.push_back(s);
    };
    std::string error;
    auto pipeline = LoopbackPipeline::start(std::move(options), error);
    ASSERT_TRUE(pipeline) << error;

    // Until the second statistics tick (a little over 2 s) with more than 20 frames decoded; a
    // busy machine only makes that later.
    test::waitUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return stats.size() >= 2 && pipeline->tablet()->snapshot().framesDecoded > 20;
    });
    pipeline->stop();

    std::lock_guard<std::mutex> lock(m);
    ASSERT_GE(stats.size(), 2u);
    const LiveStats& last = stats.back();
    const auto counters = pipeline->tablet()->snapshot();
    EXPECT_EQ(counters.decodeErrors, 0);
    EXPECT_EQ(counters.framesReceived, counters.framesDecoded);  // none waited for a key frame
    EXPECT_GE(counters.streamFormats, 1);
    EXPECT_GT(counters.framesDecoded, 20);
    EXPECT_GT(counters.avgDecodeUs, 0);
    EXPECT_GT(last.fps, 0);  // how fast is the benchmarks' business
    EXPECT_GE(last.keyframes, 1);
    EXPECT_LE(last.inFlight, 4);
    EXPECT_GT(last.ackMsP90, 0);
    EXPECT_GT(last.decodeMs.p95, 0);
    EXPECT_GT(last.e2eMs.p50, 0);
    EXPECT_GE(last.e2eMs.p95, last.e2eMs.p50);
    EXPECT_LT(last.e2eMs.p95, 1000);  // the clock mapping, not the raw offset, relates the clocks
    EXPECT_NEAR(last.offsetMs, kTabletClockAheadUs / 1000.0, 5.0);
    EXPECT_EQ(last.streamSize, "640×480");
}

}  // namespace
}  // namespace kelvo
