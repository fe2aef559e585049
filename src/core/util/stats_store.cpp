#include "core/util/stats_store.hpp"

#include <algorithm>

namespace kelvo {

StatsStore& StatsStore::shared() {
    static StatsStore* store = new StatsStore();  // never destroyed: pushes may race process exit
    return *store;
}

void StatsStore::push(const LiveStats& stats) {
    ObserverList<const LiveStats&>::Snapshot observers;
    {
        std::lock_guard g(lock_);
        history_.push_back(stats);
        auto keep = static_cast<size_t>(std::max<int64_t>(capacity_, 0));
        while (history_.size() > keep) history_.pop_front();
        observers = observers_.snapshot();
    }
    ObserverList<const LiveStats&>::notify(observers, stats);
}

std::optional<LiveStats> StatsStore::latest() const {
    std::lock_guard g(lock_);
    if (history_.empty()) return std::nullopt;
    return history_.back();
}

std::vector<LiveStats> StatsStore::snapshot() const {
    std::lock_guard g(lock_);
    return {history_.begin(), history_.end()};
}

void StatsStore::reset() {
    std::lock_guard g(lock_);
    history_.clear();
}

Uuid StatsStore::addObserver(Observer observer) { return observers_.add(std::move(observer)); }

void StatsStore::removeObserver(const Uuid& id) { observers_.remove(id); }

int64_t StatsStore::capacity() const {
    std::lock_guard g(lock_);
    return capacity_;
}

void StatsStore::setCapacity(int64_t capacity) {
    std::lock_guard g(lock_);
    capacity_ = std::max<int64_t>(capacity, 0);
}

}  // namespace kelvo
