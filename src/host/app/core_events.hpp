#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "core/runtime/executor.hpp"
#include "core/session/host_status.hpp"
#include "core/settings/settings.hpp"
#include "core/util/live_stats.hpp"
#include "core/util/log.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

class DeviceSession;
class SettingsStore;
class StatsStore;

// Keeps a handler registered while it lives; destroying it (on the main queue) unregisters it.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();

private:
    std::function<void()> cancel_;
};

// Handlers of one kind of notification, called on the main queue. A handler unsubscribed while a
// notification is being delivered is not called for it any more.
template <class... Args>
class MainQueueHandlers {
public:
    using Handler = std::function<void(const Args&...)>;

    Subscription add(Handler handler) {
        uint64_t id = state_->next++;
        state_->handlers.emplace(id, std::move(handler));
        return Subscription([weak = std::weak_ptr<State>(state_), id] {
            if (auto state = weak.lock()) state->handlers.erase(id);
        });
    }

    // On the main queue.
    void deliver(const Args&... args) const { deliverTo(state_, args...); }

    // From any thread: delivered later on `main`, unless these handlers are gone by then.
    void post(Executor& main, Args... args) const {
        main.post([weak = std::weak_ptr<State>(state_), args...] {
            if (auto state = weak.lock()) deliverTo(state, args...);
        });
    }

private:
    struct State {
        std::map<uint64_t, Handler> handlers;
        uint64_t next = 1;
    };

    static void deliverTo(const std::shared_ptr<State>& state, const Args&... args) {
        std::vector<uint64_t> ids;
        for (const auto& entry : state->handlers) ids.push_back(entry.first);
        for (uint64_t id : ids) {
            auto found = state->handlers.find(id);
            if (found == state->handlers.end()) continue;
            Handler handler = found->second;  // a copy: the handler may unsubscribe itself
            handler(args...);
        }
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The core's notifications as the widgets take them: the manager's status and session changes,
// statistics, log entries and settings changes, each delivered later on the main queue, in the
// order they were made, whichever thread made them. Delivering later also means that a widget
// never rebuilds itself inside the handler of one of its own items.
// Made, used and destroyed on the main queue; the stores outlive it. Once it is destroyed no
// handler runs, even for a notification already on its way.
class CoreEvents {
public:
    CoreEvents(std::shared_ptr<Executor> main, SettingsStore& settings, StatsStore& stats, LogStore& log);
    ~CoreEvents();
    CoreEvents(const CoreEvents&) = delete;
    CoreEvents& operator=(const CoreEvents&) = delete;

    Subscription onStatus(std::function<void(const HostStatus&)> handler) { return status_.add(std::move(handler)); }
    Subscription onSession(std::function<void(const std::shared_ptr<DeviceSession>&)> handler) {
        return session_.add(std::move(handler));
    }
    Subscription onStats(std::function<void(const LiveStats&)> handler) { return stats_.add(std::move(handler)); }
    Subscription onLog(std::function<void(const LogEntry&)> handler) { return log_.add(std::move(handler)); }
    Subscription onSettings(std::function<void(const Settings& old, const Settings& now)> handler) {
        return settings_.add(std::move(handler));
    }

    // The manager's callbacks hand their news on through these.
    void statusChanged(const HostStatus& status) { status_.post(*main_, status); }
    void sessionChanged(const std::shared_ptr<DeviceSession>& session) { session_.post(*main_, session); }

private:
    std::shared_ptr<Executor> main_;
    SettingsStore& settingsStore_;
    StatsStore& statsStore_;
    LogStore& logStore_;
    MainQueueHandlers<HostStatus> status_;
    MainQueueHandlers<std::shared_ptr<DeviceSession>> session_;
    MainQueueHandlers<LiveStats> stats_;
    MainQueueHandlers<LogEntry> log_;
    MainQueueHandlers<Settings, Settings> settings_;
    Uuid settingsObserver_;
    Uuid statsObserver_;
    Uuid logObserver_;
};

}  // namespace kelvo
