#pragma once

#include <cstdint>
#include <memory>

#include "core/runtime/executor.hpp"
#include "core/runtime/manual_executor.hpp"

namespace kelvo {

// A timer delay from milliseconds: negative and NaN give 0, huge values saturate.
uint64_t delayUsFromMs(double ms);

// A pending timer. cancel() is idempotent; after it returns on the timer's queue the block does
// not run any more. Destroying the token cancels the timer too, so an owner that drops its
// tokens never gets a late call. Cancel and destroy tokens (and the objects holding them) on the
// timer's queue: from another thread a block already running is not waited for.
class Cancellable {
public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
};

// How input code sets timers. Blocks run on the scheduler's queue (the input queue); call it
// from that queue only.
class InputScheduler {
public:
    virtual ~InputScheduler() = default;
    // Microseconds on the clock the timers follow (the system's monotonic clock, or virtual).
    virtual uint64_t nowUs() const = 0;
    // Runs `block` once, `delayUs` from now.
    virtual std::unique_ptr<Cancellable> after(uint64_t delayUs, Task block) = 0;
    // Runs `block` every `intervalUs` (at least 1), first after one interval.
    virtual std::unique_ptr<Cancellable> every(uint64_t intervalUs, Task block) = 0;
};

// Timers of a serial queue (the runtime's Executor and Timer). The queue outlives the scheduler.
class QueueScheduler final : public InputScheduler {
public:
    explicit QueueScheduler(std::shared_ptr<Executor> queue);

    uint64_t nowUs() const override;
    std::unique_ptr<Cancellable> after(uint64_t delayUs, Task block) override;
    std::unique_ptr<Cancellable> every(uint64_t intervalUs, Task block) override;

    const std::shared_ptr<Executor>& queue() const { return queue_; }

private:
    std::shared_ptr<Executor> queue_;
};

// Timers in virtual time for driving input code without real time: a queue of its own on a
// ManualExecutor. Blocks due at the same instant run in the order they were set. Test thread only.
class ManualScheduler final : public InputScheduler {
public:
    explicit ManualScheduler(uint64_t startUs = 0);

    uint64_t nowUs() const override;
    std::unique_ptr<Cancellable> after(uint64_t delayUs, Task block) override;
    std::unique_ptr<Cancellable> every(uint64_t intervalUs, Task block) override;

    // Moves virtual time forward, running every block that falls due (and the tasks posted to the
    // queue) in time order; ends with nowUs() exactly `us` later.
    void advance(uint64_t us);
    // Timers set and neither fired (one-shot) nor cancelled.
    size_t pendingCount() const;
    // The queue the blocks run on, for components that also post work to it.
    const std::shared_ptr<ManualExecutor>& queue() const { return queue_; }

private:
    std::shared_ptr<ManualExecutor> queue_;
    QueueScheduler timers_;
};

}  // namespace kelvo
