#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/util/geometry.hpp"
#include "core/util/live_stats.hpp"
#include "core/util/log.hpp"
#include "core/util/stats_store.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

// What the diagnostics window shows of the statistics and the log: the newest snapshot, the
// statistics history and the newest log entries, kept current from the stores' observers. The
// stores call those on any thread; they only hop to `main`, where every field changes and every
// callback runs. The stores must outlive the model; once it is released nothing of it runs.
class DiagnosticsModel : public std::enable_shared_from_this<DiagnosticsModel> {
public:
    static constexpr size_t kLogLimit = 500;

    // Main queue. Observes both stores, then takes their contents, so an entry stored in between
    // is not missed (nor shown twice).
    static std::shared_ptr<DiagnosticsModel> create(std::shared_ptr<Executor> main, StatsStore& stats, LogStore& log);
    ~DiagnosticsModel();
    DiagnosticsModel(const DiagnosticsModel&) = delete;
    DiagnosticsModel& operator=(const DiagnosticsModel&) = delete;

    const std::optional<LiveStats>& latest() const { return latest_; }
    const std::vector<LiveStats>& history() const { return history_; }
    // The newest kLogLimit entries, in id order (oldest first).
    const std::deque<LogEntry>& logs() const { return logs_; }
    // The id of the newest kept entry, 0 before any: the log list follows it, since the count
    // stops changing once kLogLimit entries are kept.
    uint64_t newestLogId() const { return logs_.empty() ? 0 : logs_.back().id; }

    bool showIPadOnly = false;

    // Main queue, after the fields changed.
    std::function<void()> onStatsChange;
    // `entry` was put at `row` of the list as it was; then the `dropped` oldest rows were removed
    // to keep the limit.
    std::function<void(const LogEntry& entry, size_t row, size_t dropped)> onLogInserted;

    // Label and value of each statistics row, in the window's order.
    static std::vector<std::pair<std::string, std::string>> statisticsRows(const LiveStats& stats);
    // The frame rates of a history, oldest first.
    static std::vector<double> frameRates(const std::vector<LiveStats>& history);
    // The sparkline's points in a w × h box (y grows downward); the scale's top is at least 60.
    // Fewer than two values draw nothing.
    static std::vector<Point> sparkline(const std::vector<double>& values, double w, double h);

    struct Private;
    DiagnosticsModel(Private, std::shared_ptr<Executor> main, StatsStore& stats, LogStore& log);

private:
    void statsPushed(const LiveStats& stats);
    void logAppended(const LogEntry& entry);

    std::shared_ptr<Executor> main_;
    StatsStore& stats_;
    LogStore& log_;
    std::optional<LiveStats> latest_;
    std::vector<LiveStats> history_;
    std::deque<LogEntry> logs_;
    uint64_t snapshotNewestId_ = 0;  // entries up to it came with the snapshot
    std::optional<Uuid> statsToken_;
    std::optional<Uuid> logToken_;
};

}  // namespace kelvo
