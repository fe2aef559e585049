#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "core/util/live_stats.hpp"
#include "core/util/observer_list.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

// The last minute of statistics snapshots, for the diagnostics window. Thread-safe: one lock
// guards the history and observers; observers run after it is released, on the pushing thread,
// so they may call back into the store.
class StatsStore {
public:
    using Observer = std::function<void(const LiveStats&)>;

    StatsStore() = default;
    // The process's store; never destroyed.
    static StatsStore& shared();

    // Appends `stats`, drops the oldest beyond capacity, then calls every observer with it.
    void push(const LiveStats& stats);
    std::optional<LiveStats> latest() const;
    // The history, oldest first.
    std::vector<LiveStats> snapshot() const;
    // Empties the history; observers stay and are not called.
    void reset();

    // Once removeObserver returns, that observer is not called again (and no call of it is still
    // running elsewhere). Unknown ids change nothing.
    Uuid addObserver(Observer observer);
    void removeObserver(const Uuid& id);

    int64_t capacity() const;
    // Takes effect at the next push; a negative capacity counts as 0.
    void setCapacity(int64_t capacity);

private:
    mutable std::mutex lock_;
    std::deque<LiveStats> history_;  // oldest first
    ObserverList<const LiveStats&> observers_;
    int64_t capacity_ = 60;
};

}  // namespace kelvo
