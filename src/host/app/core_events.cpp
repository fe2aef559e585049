#include "host/app/core_events.hpp"

#include "core/settings/settings_store.hpp"
#include "core/util/stats_store.hpp"

namespace kelvo {

Subscription& Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        if (cancel_) cancel_();
        cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
}

Subscription::~Subscription() {
    if (cancel_) cancel_();
}

CoreEvents::CoreEvents(std::shared_ptr<Executor> main, SettingsStore& settings, StatsStore& stats, LogStore& log)
    : main_(std::move(main)), settingsStore_(settings), statsStore_(stats), logStore_(log) {
    // The stores call on the thread that changed them; the handlers' state is only reached
    // through the posted task's weak reference, on the main queue.
    settingsObserver_ = settingsStore_.observe(
        [this](const Settings& old, const Settings& now) { settings_.post(*main_, old, now); });
    statsObserver_ = statsStore_.addObserver([this](const LiveStats& stats) { stats_.post(*main_, stats); });
    logObserver_ = logStore_.addObserver([this](const LogEntry& entry) { log_.post(*main_, entry); });
}

CoreEvents::~CoreEvents() {
    // Once these return no store calls in; what is already posted finds its handlers gone.
    settingsStore_.removeObserver(settingsObserver_);
    statsStore_.removeObserver(statsObserver_);
    logStore_.removeObserver(logObserver_);
}

}  // namespace kelvo
