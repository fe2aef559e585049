#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/util/live_stats.hpp"
#include "core/util/stats_store.hpp"

namespace kelvo {
namespace {

TEST(IPadStatsTest, OnlyPresentFiguresTravel) {
    EXPECT_EQ(encodeWire(toJson(IPadStats())), "{}");
    EXPECT_EQ(decodeJson<IPadStats>(std::string_view("{}")), IPadStats());

    IPadStats p95;
    p95.decodeUsP95 = 8200;
    EXPECT_EQ(decodeJson<IPadStats>(std::string_view(R"({"decodeUsP95":8200.0})")), p95);

    IPadStats full{1, 2, 3, 4, 5.5, 6, 7.25, 8, 0.5, 9, 10};
    EXPECT_EQ(encodeWire(toJson(full)),
              R"({"benchBytes":10,"cpu":0.5,"decodeErrors":4,"decodeUsAvg":5.5,"decodeUsP95":6,"decoded":2,)"
              R"("discarded":3,"memMB":9,"rxFrames":1,"rxKbps":7.25,"touchFrames":8})");
    EXPECT_EQ(decodeJson<IPadStats>(encodeWire(toJson(full))), full);
}

TEST(IPadStatsTest, DecodingIsStrictAboutTypesButIgnoresUnknownKeys) {
    IPadStats two;
    two.rxFrames = 2;
    EXPECT_EQ(decodeJson<IPadStats>(std::string_view(R"({"rxFrames":2,"gpu":0.3,"cpu":null})")), two);
    for (std::string_view bad : {R"({"rxFrames":3.5})", R"({"cpu":"high"})", R"({"benchBytes":true})",
                                 R"({"decoded":9223372036854775808})", "[]", "null"}) {
        EXPECT_EQ(decodeJson<IPadStats>(bad), std::nullopt) << bad;
    }
}

LiveStats sampleStats() {
    LiveStats s;
    s.date = std::chrono::system_clock::from_time_t(978307200) + std::chrono::milliseconds(1500);
    s.fps = 59.5;
    s.kbps = 24000;
    s.inFlight = 2;
    s.keyframes = 3;
    s.encodeMs = {4, 7.5};
    s.e2eMs = {30, 45};
    s.fpsCap = 60;
    s.streamSize = "2048×1536";
    return s;
}

TEST(LiveStatsTest, EncodesFieldsAndLeavesAbsentOptionalsOut) {
    LiveStats s = sampleStats();
    auto text = encodeWire(toJson(s));
    EXPECT_EQ(text,
              R"({"ackMsP90":0,"capReason":"","date":1.5,"decodeMs":{"p50":0,"p95":0},"droppedBeforeEncode":0,)"
              R"("e2eMs":{"p50":30,"p95":45},"encodeMs":{"p50":4,"p95":7.5},"fps":59.5,"fpsCap":60,"inFlight":2,)"
              R"("kbps":24000,"keyframes":3,"offsetMs":0,"rttMs":0,"streamSize":"2048×1536",)"
              R"("transferMs":{"p50":0,"p95":0}})");
    EXPECT_EQ(decodeJson<LiveStats>(text), s);

    s.ipad = IPadStats{};
    s.ipad->decodeUsP95 = 9000;
    s.thermal = "nominal";
    s.battery = 0.8;
    s.charging = true;
    EXPECT_EQ(decodeJson<LiveStats>(encodeWire(toJson(s))), s);
}

TEST(LiveStatsTest, ANonFiniteFigureFailsTheEncoding) {
    LiveStats s = sampleStats();
    s.rttMs = std::nan("");
    EXPECT_EQ(encodeJson(toJson(s)), std::nullopt);
}

LiveStats numbered(int64_t n) {
    LiveStats s;
    s.keyframes = n;
    return s;
}

TEST(StatsStoreTest, KeepsTheNewestUpToCapacity) {
    StatsStore store;
    EXPECT_EQ(store.latest(), std::nullopt);
    EXPECT_TRUE(store.snapshot().empty());
    for (int64_t i = 1; i <= 61; ++i) store.push(numbered(i));
    auto history = store.snapshot();
    ASSERT_EQ(history.size(), 60u);
    EXPECT_EQ(history.front().keyframes, 2);
    EXPECT_EQ(store.latest()->keyframes, 61);

    store.setCapacity(10);
    EXPECT_EQ(store.snapshot().size(), 60u);  // trimmed at the next push only
    store.push(numbered(62));
    EXPECT_EQ(store.snapshot().size(), 10u);
    EXPECT_EQ(store.snapshot().front().keyframes, 53);
}

TEST(StatsStoreTest, ObserversOutliveResetAndSeePushesAtCapacityZero) {
    StatsStore store;
    std::vector<int64_t> seen;
    store.addObserver([&](const LiveStats& s) { seen.push_back(s.keyframes); });
    store.push(numbered(1));
    store.reset();
    EXPECT_TRUE(store.snapshot().empty());
    store.setCapacity(0);
    store.push(numbered(2));
    EXPECT_TRUE(store.snapshot().empty());
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2}));
}

TEST(StatsStoreTest, ObserverMayCallBackIntoTheStore) {
    StatsStore store;
    size_t sizeSeen = 0;
    int calls = 0;
    Uuid self{};
    self = store.addObserver([&](const LiveStats&) {
        ++calls;
        sizeSeen = store.snapshot().size();
        store.removeObserver(self);
    });
    store.push(numbered(1));
    store.push(numbered(2));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sizeSeen, 1u);
}

TEST(StatsStoreTest, RemovedObserverIsNeverCalledAfterRemoval) {
    StatsStore store;
    std::atomic<bool> gone{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    Uuid id = store.addObserver([&](const LiveStats&) {
        calls.fetch_add(1);
        if (gone.load()) lateCalls.fetch_add(1);
    });
    std::atomic<bool> stop{false};
    std::vector<std::thread> pushers;
    for (int t = 0; t < 4; ++t) {
        pushers.emplace_back([&] {
            while (!stop.load()) store.push(numbered(1));
        });
    }
    while (calls.load() < 100) std::this_thread::yield();
    store.removeObserver(id);
    gone.store(true);
    for (int i = 0; i < 200; ++i) store.push(numbered(2));
    stop.store(true);
    for (auto& t : pushers) t.join();
    EXPECT_EQ(lateCalls.load(), 0);
}

}  // namespace
}  // namespace kelvo
