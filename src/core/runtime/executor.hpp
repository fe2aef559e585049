#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>

#include "core/util/unique_fd.hpp"

namespace kelvo {

using Task = std::function<void()>;

// Longer delays and intervals (about 100 years) are taken as this: "never", without overflow.
inline constexpr uint64_t kMaxTimerDelayUs = 3'155'760'000'000'000ull;

// A one-shot or repeating timer bound to one executor; its tasks run on that executor.
// Re-arming replaces the previous schedule. Destroying the timer cancels it.
// After cancel() returns on the timer's own executor, no task of it runs any more.
// A repeating timer whose queue was held up past several periods fires once, not in a burst,
// then keeps its cadence.
class Timer {
public:
    virtual ~Timer() = default;
    // Runs `task` once, `delayUs` from now. `leewayUs` is how late the firing may be (a hint).
    virtual void scheduleOnce(uint64_t delayUs, Task task, uint64_t leewayUs = 0) = 0;
    // Runs `task` every `intervalUs`, first after `firstDelayUs` (default: one interval).
    virtual void scheduleRepeating(uint64_t intervalUs, Task task, uint64_t leewayUs = 0,
                                   std::optional<uint64_t> firstDelayUs = std::nullopt) = 0;
    virtual void cancel() = 0;
    virtual bool armed() const = 0;
};

// Readiness of one descriptor (not owned), reported on the watch's executor.
// Each wait reports once; wait again for the next readiness. Destroying the watch cancels it.
// Destroy the watch before closing the descriptor: its number may be reused at once, and a
// late unregistration would then silence the new descriptor's watch.
class FdWatch {
public:
    virtual ~FdWatch() = default;
    virtual void waitReadable(Task task) = 0;
    virtual void waitWritable(Task task) = 0;
    virtual void cancel() = 0;
};

// A serial queue: tasks run one at a time, in the order posted.
class Executor {
public:
    virtual ~Executor() = default;

    // The queue's name ("kv.s.ctrl", "kv.input", ...), used in logs.
    virtual std::string_view label() const = 0;
    // Runs `task` later on this queue; never inline.
    virtual void post(Task task) = 0;
    // True while the calling thread is running a task of this queue.
    virtual bool isCurrent() const = 0;
    // The clock that this queue's timers follow, in microseconds (virtual for a manual executor).
    virtual uint64_t nowUs() const = 0;
    virtual std::unique_ptr<Timer> makeTimer() = 0;
    // Readiness watching; nullptr when `fd` cannot be watched.
    virtual std::unique_ptr<FdWatch> watchFd(int fd) = 0;
    // Waits until this queue has run every task posted to it before the call (a barrier), so
    // that a stop() can promise no callback is still running. On the queue itself it returns
    // at once. Never call it from a queue that this one may be waiting on.
    virtual void drain();

    // The owner's-queue rule: inline when already on this queue, else hop.
    void dispatch(Task task) {
        if (isCurrent()) {
            task();
        } else {
            post(std::move(task));
        }
    }
};

// Runs `fn` on `executor` and waits for its result (inline when already on it).
// Never call it from a queue that `fn`'s queue may itself wait on, nor for a manual executor
// from outside its tasks (nobody would run it).
// A queue held weakly, for closures that live on other queues: they must not keep a queue (and
// the loop behind it) alive past its owner. Posting to a queue that is gone does nothing.
class WeakQueue {
public:
    WeakQueue(const std::shared_ptr<Executor>& queue) : queue_(queue) {}  // NOLINT: converts
    void post(Task task) const {
        if (auto queue = queue_.lock()) queue->post(std::move(task));
    }

private:
    std::weak_ptr<Executor> queue_;
};

template <class F>
auto runSync(Executor& executor, F&& fn) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (executor.isCurrent()) return fn();
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    executor.post([promise, &fn] {
        try {
            if constexpr (std::is_void_v<R>) {
                fn();
                promise->set_value();
            } else {
                promise->set_value(fn());
            }
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    return future.get();
}

// Closes `fd` in a later task of `executor`. A descriptor watch that is running its callback
// deregisters only when that callback returns; closing first could let the number be reused and
// the late deregistration hit the new descriptor.
inline void closeAfterCallback(Executor& executor, UniqueFd fd) {
    if (!fd) return;
    executor.post([closing = std::make_shared<UniqueFd>(std::move(fd))] {});
}

inline void Executor::drain() {
    if (!isCurrent()) runSync(*this, [] {});
}

}  // namespace kelvo
