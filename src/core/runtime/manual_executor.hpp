#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "core/runtime/executor.hpp"

namespace kelvo {

// A deterministic executor for tests: nothing runs until the test says so, and time is virtual.
// Single-threaded: use it from the test thread only, then runUntilIdle() or advance().
// Timers due at the same virtual time fire in the order they were armed. Timers and watches may
// outlive it.
// Descriptor readiness is real: whenever it runs its tasks it also polls the watched descriptors
// (without waiting) and runs the tasks of the ready ones, until nothing is left to do. So sockets
// whose both ends are on manual executors move their bytes with no real waiting.
class ManualExecutor : public Executor {
public:
    explicit ManualExecutor(std::string label = "manual", uint64_t startUs = 1'000'000);
    ~ManualExecutor() override;

    std::string_view label() const override;
    void post(Task task) override;
    bool isCurrent() const override;
    uint64_t nowUs() const override;
    std::unique_ptr<Timer> makeTimer() override;
    // nullptr for a descriptor that is not open.
    std::unique_ptr<FdWatch> watchFd(int fd) override;
    // Runs what is posted and ready (runUntilIdle), unless called from one of its own tasks.
    void drain() override;

    // Runs posted tasks (and the tasks they post) and readiness tasks of watched descriptors until
    // none is left. Returns how many ran.
    size_t runUntilIdle();
    // Moves virtual time forward by `us`, firing due timers in time order and running posted
    // tasks after each firing. Returns how many timer firings happened.
    size_t advance(uint64_t us);
    // Moves time to the earliest armed timer and fires everything due then. False if none.
    bool runNextTimer();
    size_t armedTimers() const;
    // Readiness waits not yet reported.
    size_t pendingWaits() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace kelvo
