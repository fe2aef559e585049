#include "core/app/diagnostics_model.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "core/runtime/manual_executor.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "app/known_stats.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

using test::knownStats;

TEST(DiagnosticsRowsTest, AKnownSnapshotFormatsEveryRow) {
    EXPECT_EQ(DiagnosticsModel::statisticsRows(knownStats()), test::knownRows());

    LiveStats bare = knownStats();
    bare.ipad.reset();
    bare.battery.reset();
    bare.thermal.reset();
    Rows rows = DiagnosticsModel::statisticsRows(bare);
    ASSERT_EQ(rows.size(), 8u);  // no tablet row without its statistics
    EXPECT_EQ(rows.back().second, "- · -");
}

TEST(DiagnosticsRowsTest, TabletFiguresShownWholeAreBoundedAndNeverNegativeZero) {
    struct Case {
        std::optional<double> cpu, memMB, battery;
        std::optional<bool> charging;
        std::string ipad, power;
    } cases[] = {
        {std::nullopt, std::nullopt, 0.5, std::nullopt, "CPU 0% · 内存 0 MB · 解码错误 0", "50% · fair"},
        {-0.001, -0.2, -0.001, false, "CPU 0% · 内存 0 MB · 解码错误 0", "0% · fair"},
        {1e300, -1e300, 1e300, true, "CPU 9223372036854775807% · 内存 -9223372036854775808 MB · 解码错误 0",
         "9223372036854775807% 充电中 · fair"},
        {std::nan(""), std::nan(""), std::nan(""), std::nullopt, "CPU -% · 内存 - MB · 解码错误 0", "-% · fair"},
    };
    for (const auto& c : cases) {
        LiveStats s = knownStats();
        s.ipad = IPadStats{};
        s.ipad->cpu = c.cpu;
        s.ipad->memMB = c.memMB;
        s.battery = c.battery;
        s.charging = c.charging;
        Rows rows = DiagnosticsModel::statisticsRows(s);
        ASSERT_EQ(rows.size(), 9u);
        EXPECT_EQ(rows[7].second, c.ipad);
        EXPECT_EQ(rows[8].second, c.power);
    }
}

TEST(DiagnosticsSparklineTest, ScaleTopIsAtLeastSixtyFramesPerSecond) {
    EXPECT_TRUE(DiagnosticsModel::sparkline({}, 100, 40).empty());
    EXPECT_TRUE(DiagnosticsModel::sparkline({30}, 100, 40).empty());
    auto low = DiagnosticsModel::sparkline({30, 15, 60}, 100, 40);
    ASSERT_EQ(low.size(), 3u);
    EXPECT_EQ(low[0], (Point{0, 20}));
    EXPECT_EQ(low[1], (Point{50, 30}));
    EXPECT_EQ(low[2], (Point{100, 0}));
    auto high = DiagnosticsModel::sparkline({120, 60}, 10, 40);
    EXPECT_EQ(high[0], (Point{0, 0}));
    EXPECT_EQ(high[1], (Point{10, 20}));
}

class DiagnosticsLogTest : public ::testing::Test {
protected:
    DiagnosticsLogTest() { log_.setSystemLogEnabled(false); }
    void append(int n, LogOrigin origin = LogOrigin::mac) {
        for (int i = 0; i < n; ++i) log_.append(LogLevel::info, "t", "m", origin, std::chrono::system_clock::now());
    }
    std::shared_ptr<ManualExecutor> main_ = std::make_shared<ManualExecutor>("main");
    StatsStore stats_;
    LogStore log_;
};

TEST_F(DiagnosticsLogTest, KeepsTheNewestFiveHundredAndFollowsTheNewestId) {
    append(4000);
    auto model = DiagnosticsModel::create(main_, stats_, log_);
    ASSERT_EQ(model->logs().size(), 500u);
    EXPECT_EQ(model->logs().front().id, 3501u);
    EXPECT_EQ(model->newestLogId(), 4000u);

    std::vector<std::pair<size_t, size_t>> changes;
    model->onLogInserted = [&](const LogEntry&, size_t row, size_t dropped) { changes.emplace_back(row, dropped); };
    append(1);
    main_->runUntilIdle();
    EXPECT_EQ(model->logs().size(), 500u);  // the count no longer changes...
    EXPECT_EQ(model->logs().front().id, 3502u);
    EXPECT_EQ(model->newestLogId(), 4001u);  // ...the newest id does
    EXPECT_EQ(changes, (std::vector<std::pair<size_t, size_t>>{{500, 1}}));
}

TEST_F(DiagnosticsLogTest, StatisticsFollowTheStoreAndNothingRunsAfterRelease) {
    stats_.push(LiveStats{});
    auto model = DiagnosticsModel::create(main_, stats_, log_);
    EXPECT_EQ(model->history().size(), 1u);
    int redraws = 0;
    model->onStatsChange = [&] { ++redraws; };
    LiveStats s;
    s.fps = 42;
    stats_.push(s);
    main_->runUntilIdle();
    ASSERT_TRUE(model->latest());
    EXPECT_EQ(model->latest()->fps, 42);
    EXPECT_EQ(model->history().size(), 2u);
    EXPECT_EQ(redraws, 1);

    stats_.push(s);
    append(1);
    model.reset();  // the hops already posted find nothing
    EXPECT_GT(main_->runUntilIdle(), 0u);
    EXPECT_EQ(redraws, 1);
}

// Entries stored while the window opens are neither lost nor shown twice: the model observes
// before it takes the snapshot and tells the two apart by id.
TEST(DiagnosticsLogRaceTest, EntriesStoredWhileTheModelIsMadeAreKeptOnceInOrder) {
    LogStore log;
    log.setSystemLogEnabled(false);
    StatsStore stats;
    MainLoop loop;
    for (int i = 0; i < 600; ++i) log.append(LogLevel::debug, "t", "m", LogOrigin::mac, std::chrono::system_clock::now());
    std::atomic<bool> stop{false};
    std::jthread writer([&] {
        for (int n = 0; n < 20000 && !stop; ++n) log.append(LogLevel::debug, "t", "m", LogOrigin::ipad, std::chrono::system_clock::now());
    });
    std::vector<std::shared_ptr<DiagnosticsModel>> models;
    for (int i = 0; i < 40; ++i) {
        models.push_back(DiagnosticsModel::create(loop.sharedExecutor(), stats, log));
        loop.poll();
    }
    stop = true;
    writer.join();
    auto stored = log.snapshot();
    ASSERT_TRUE(test::pumpUntil(loop, [&] {
        for (auto& m : models) {
            if (m->newestLogId() != stored.back().id) return false;
        }
        return true;
    }));
    for (auto& m : models) {
        ASSERT_EQ(m->logs().size(), 500u);
        for (size_t i = 0; i < 500; ++i) ASSERT_EQ(m->logs()[i].id, stored[stored.size() - 500 + i].id);
    }
}

}  // namespace
}  // namespace kelvo
