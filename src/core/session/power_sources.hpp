#pragma once

#include <functional>

namespace kelvo {

// Lock state of the user's session and the system's sleep, as the session manager of the
// platform reports them. Confined to the queue it was made for: every call and every handler
// runs there. Lifecycle: construct (no I/O) → start → stop (after it returns nothing is called).
class SessionPowerSource {
public:
    struct Handlers {
        std::function<void(bool locked)> lockChanged;
        // The system is about to sleep; it waits (for a bounded time) until allowSleep().
        std::function<void()> willSleep;
        std::function<void()> didWake;
    };

    virtual ~SessionPowerSource() = default;
    // Reads the current state and starts reporting. False when the service cannot be reached;
    // nothing is reported then and locked() stays false.
    virtual bool start(Handlers handlers) = 0;
    virtual bool locked() const = 0;
    // Lets a sleep announced by willSleep go on. Harmless when no sleep is waiting.
    virtual void allowSleep() = 0;
    virtual void stop() = 0;
};

// Whether the displays are asleep (powered down). Same queue rule and lifecycle as above.
class DisplaySleepSource {
public:
    virtual ~DisplaySleepSource() = default;
    // Reads the current state and reports each change. False when the state cannot be read
    // now; it then counts as awake.
    virtual bool start(std::function<void(bool asleep)> changed) = 0;
    virtual bool asleep() const = 0;
    virtual void stop() = 0;
};

}  // namespace kelvo
