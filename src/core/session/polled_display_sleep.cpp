#include "core/session/polled_display_sleep.hpp"

namespace kelvo {

PolledDisplaySleep::PolledDisplaySleep(std::shared_ptr<Executor> queue, Reader reader, uint64_t intervalUs)
    : queue_(std::move(queue)), reader_(std::move(reader)), intervalUs_(intervalUs) {}

PolledDisplaySleep::~PolledDisplaySleep() { stop(); }

bool PolledDisplaySleep::start(std::function<void(bool asleep)> changed) {
    stop();
    changed_ = std::move(changed);
    auto first = reader_();
    asleep_ = first.value_or(false);
    timer_ = queue_->makeTimer();
    // The timer dies with this object, so the raw capture cannot outlive it.
    timer_->scheduleRepeating(intervalUs_, [this] { poll(); });
    return first.has_value();
}

void PolledDisplaySleep::stop() {
    if (timer_) timer_->cancel();
    timer_.reset();
    changed_ = nullptr;
}

void PolledDisplaySleep::poll() {
    auto now = reader_();
    if (!now || *now == asleep_) return;
    asleep_ = *now;
    if (changed_) changed_(asleep_);
}

}  // namespace kelvo
