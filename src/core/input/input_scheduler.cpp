#include "core/input/input_scheduler.hpp"

namespace kelvo {

namespace {

// How late a timer may fire; input timers are tens of milliseconds or more.
constexpr uint64_t kLeewayUs = 500;

class TimerToken final : public Cancellable {
public:
    explicit TimerToken(std::unique_ptr<Timer> timer) : timer_(std::move(timer)) {}
    ~TimerToken() override { cancel(); }
    void cancel() override {
        if (timer_) timer_->cancel();
    }

private:
    std::unique_ptr<Timer> timer_;
};

}  // namespace

uint64_t delayUsFromMs(double ms) {
    const double us = ms * 1000.0;
    if (!(us > 0)) return 0;
    return us >= static_cast<double>(kMaxTimerDelayUs) ? kMaxTimerDelayUs : static_cast<uint64_t>(us);
}

QueueScheduler::QueueScheduler(std::shared_ptr<Executor> queue) : queue_(std::move(queue)) {}

uint64_t QueueScheduler::nowUs() const { return queue_->nowUs(); }

std::unique_ptr<Cancellable> QueueScheduler::after(uint64_t delayUs, Task block) {
    auto timer = queue_->makeTimer();
    timer->scheduleOnce(delayUs, std::move(block), kLeewayUs);
    return std::make_unique<TimerToken>(std::move(timer));
}

std::unique_ptr<Cancellable> QueueScheduler::every(uint64_t intervalUs, Task block) {
    auto timer = queue_->makeTimer();
    timer->scheduleRepeating(std::max<uint64_t>(intervalUs, 1), std::move(block), kLeewayUs);
    return std::make_unique<TimerToken>(std::move(timer));
}

ManualScheduler::ManualScheduler(uint64_t startUs)
    : queue_(std::make_shared<ManualExecutor>("kv.input", startUs)), timers_(queue_) {}

uint64_t ManualScheduler::nowUs() const { return queue_->nowUs(); }
std::unique_ptr<Cancellable> ManualScheduler::after(uint64_t delayUs, Task block) {
    return timers_.after(delayUs, std::move(block));
}
std::unique_ptr<Cancellable> ManualScheduler::every(uint64_t intervalUs, Task block) {
    return timers_.every(intervalUs, std::move(block));
}
void ManualScheduler::advance(uint64_t us) { queue_->advance(us); }
size_t ManualScheduler::pendingCount() const { return queue_->armedTimers(); }

}  // namespace kelvo
