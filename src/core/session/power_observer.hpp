#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "core/protocol/control_messages.hpp"
#include "core/runtime/executor.hpp"
#include "core/session/built_in_brightness.hpp"
#include "core/session/power_sources.hpp"

namespace kelvo {

// The host's display sleep, session lock, system sleep and built-in brightness, gathered for the
// session manager and its sessions. Confined to the main queue: state is read there and onEvent
// is called there. Construct (no I/O) → start (reads the real current state) → stop.
class PowerObserver : public std::enable_shared_from_this<PowerObserver> {
public:
    enum class Event { displaySleep, displayWake, locked, unlocked, systemWillSleep, systemDidWake, brightness };

    // Any source may be null: that part of the state then stays at its default.
    struct Sources {
        std::shared_ptr<SessionPowerSource> session;
        std::shared_ptr<DisplaySleepSource> display;
        std::shared_ptr<BuiltInBrightness> brightness;
    };

    static constexpr uint64_t kBrightnessPollUs = 500'000;
    // Smaller brightness changes are not reported; they count once they add up to this.
    static constexpr double kBrightnessStep = 0.01;

    // Keeps a sleep that the system announced waiting until it is released (or destroyed), so
    // that a session can say goodbye first. Movable; may be released on any thread.
    class SleepHold {
    public:
        SleepHold() = default;
        SleepHold(SleepHold&& other) noexcept;
        SleepHold& operator=(SleepHold&& other) noexcept;
        SleepHold(const SleepHold&) = delete;
        SleepHold& operator=(const SleepHold&) = delete;
        ~SleepHold() { release(); }

        void release();
        bool holding() const { return active_; }

    private:
        friend class PowerObserver;
        SleepHold(std::weak_ptr<PowerObserver> owner, std::shared_ptr<Executor> queue, uint64_t generation);

        std::weak_ptr<PowerObserver> owner_;
        std::shared_ptr<Executor> queue_;
        uint64_t generation_ = 0;
        bool active_ = false;
    };

    PowerObserver(std::shared_ptr<Executor> main, Sources sources);
    ~PowerObserver();
    PowerObserver(const PowerObserver&) = delete;
    PowerObserver& operator=(const PowerObserver&) = delete;

    // Reads the current state from every source (no events for it) and starts observing.
    void start();
    // Stops every source and the polling; lets a waiting sleep go on. Idempotent.
    void stop();

    bool displayAsleep() const { return displayAsleep_; }
    bool locked() const { return locked_; }
    std::optional<double> brightness() const { return brightness_; }

    // display "asleep" or "on", the lock state; brightness left for the session to fill in.
    HostStateMsg hostState() const;

    // During onEvent(systemWillSleep): holds the system's sleep until the hold is released. When
    // nobody takes a hold, the sleep goes on as soon as onEvent returns. Outside a pending sleep
    // the hold holds nothing.
    SleepHold holdSleep();
    bool sleepPending() const { return sleepPending_; }

    std::function<void(Event)> onEvent;

private:
    void lockChanged(bool locked);
    void displayChanged(bool asleep);
    void willSleep();
    void didWake();
    void pollBrightness();
    void releaseHold(uint64_t generation);
    void emit(Event event, bool logged = true);

    std::shared_ptr<Executor> main_;
    Sources sources_;
    std::unique_ptr<Timer> brightnessTimer_;
    bool started_ = false;
    bool displayAsleep_ = false;
    bool locked_ = false;
    std::optional<double> brightness_;
    bool sleepPending_ = false;
    uint64_t sleepGeneration_ = 0;
    int sleepHolds_ = 0;
};

// The event's case name ("displaySleep", ...), as logged.
std::string_view powerEventName(PowerObserver::Event event);

}  // namespace kelvo
