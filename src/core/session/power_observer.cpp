#include "core/session/power_observer.hpp"

#include <cmath>
#include <cstdio>

#include "core/util/log.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kTag = "power";

}  // namespace

std::string_view powerEventName(PowerObserver::Event event) {
    switch (event) {
        case PowerObserver::Event::displaySleep: return "displaySleep";
        case PowerObserver::Event::displayWake: return "displayWake";
        case PowerObserver::Event::locked: return "locked";
        case PowerObserver::Event::unlocked: return "unlocked";
        case PowerObserver::Event::systemWillSleep: return "systemWillSleep";
        case PowerObserver::Event::systemDidWake: return "systemDidWake";
        case PowerObserver::Event::brightness: return "brightness";
    }
    return "unknown";
}

PowerObserver::SleepHold::SleepHold(std::weak_ptr<PowerObserver> owner, std::shared_ptr<Executor> queue,
                                    uint64_t generation)
    : owner_(std::move(owner)), queue_(std::move(queue)), generation_(generation), active_(true) {}

PowerObserver::SleepHold::SleepHold(SleepHold&& other) noexcept
    : owner_(std::move(other.owner_)),
      queue_(std::move(other.queue_)),
      generation_(other.generation_),
      active_(std::exchange(other.active_, false)) {}

PowerObserver::SleepHold& PowerObserver::SleepHold::operator=(SleepHold&& other) noexcept {
    if (this != &other) {
        release();
        owner_ = std::move(other.owner_);
        queue_ = std::move(other.queue_);
        generation_ = other.generation_;
        active_ = std::exchange(other.active_, false);
    }
    return *this;
}

void PowerObserver::SleepHold::release() {
    if (!std::exchange(active_, false)) return;
    queue_->dispatch([owner = owner_, generation = generation_] {
        if (auto self = owner.lock()) self->releaseHold(generation);
    });
}

PowerObserver::PowerObserver(std::shared_ptr<Executor> main, Sources sources)
    : main_(std::move(main)), sources_(std::move(sources)) {}

PowerObserver::~PowerObserver() { stop(); }

void PowerObserver::start() {
    if (started_) return;
    started_ = true;
    std::weak_ptr<PowerObserver> weak = weak_from_this();
    if (sources_.session) {
        SessionPowerSource::Handlers handlers;
        handlers.lockChanged = [weak](bool locked) {
            if (auto self = weak.lock()) self->lockChanged(locked);
        };
        handlers.willSleep = [weak] {
            if (auto self = weak.lock()) self->willSleep();
        };
        handlers.didWake = [weak] {
            if (auto self = weak.lock()) self->didWake();
        };
        if (!sources_.session->start(std::move(handlers))) Log::w(kTag, "session lock and system sleep are not observed");
        locked_ = sources_.session->locked();
    }
    if (sources_.display) {
        if (!sources_.display->start([weak](bool asleep) {
                if (auto self = weak.lock()) self->displayChanged(asleep);
            })) {
            Log::w(kTag, "display sleep cannot be read now; taking the displays as on");
        }
        displayAsleep_ = sources_.display->asleep();
    }
    if (sources_.brightness) brightness_ = sources_.brightness->read();
    if (brightness_) {
        brightnessTimer_ = main_->makeTimer();
        brightnessTimer_->scheduleRepeating(kBrightnessPollUs, [weak] {
            if (auto self = weak.lock()) self->pollBrightness();
        });
    }
    Log::i(kTag, [&] {
        std::string text = std::string("display ") + (displayAsleep_ ? "asleep" : "on") + ", " +
                           (locked_ ? "locked" : "unlocked") + ", brightness ";
        if (!brightness_) return text + "unknown";
        char value[16];
        snprintf(value, sizeof value, "%.2f", *brightness_);
        return text + value;
    });
}

void PowerObserver::stop() {
    if (!std::exchange(started_, false)) return;
    if (brightnessTimer_) brightnessTimer_->cancel();
    brightnessTimer_.reset();
    if (sources_.session) {
        if (sleepPending_) sources_.session->allowSleep();
        sources_.session->stop();
    }
    if (sources_.display) sources_.display->stop();
    sleepPending_ = false;
    sleepHolds_ = 0;
    ++sleepGeneration_;
}

HostStateMsg PowerObserver::hostState() const {
    HostStateMsg msg;
    msg.display = displayAsleep_ ? "asleep" : "on";
    msg.locked = locked_;
    return msg;
}

PowerObserver::SleepHold PowerObserver::holdSleep() {
    if (!sleepPending_) return {};
    ++sleepHolds_;
    return SleepHold(weak_from_this(), main_, sleepGeneration_);
}

void PowerObserver::lockChanged(bool locked) {
    locked_ = locked;
    emit(locked ? Event::locked : Event::unlocked);
}

void PowerObserver::displayChanged(bool asleep) {
    displayAsleep_ = asleep;
    emit(asleep ? Event::displaySleep : Event::displayWake);
}

void PowerObserver::willSleep() {
    ++sleepGeneration_;
    sleepPending_ = true;
    sleepHolds_ = 0;
    emit(Event::systemWillSleep);
    if (sleepPending_ && sleepHolds_ == 0) {
        sleepPending_ = false;
        if (sources_.session) sources_.session->allowSleep();
    }
}

void PowerObserver::releaseHold(uint64_t generation) {
    if (!sleepPending_ || generation != sleepGeneration_ || sleepHolds_ <= 0) return;
    if (--sleepHolds_ > 0) return;
    sleepPending_ = false;
    Log::i(kTag, "sleep may go on");
    if (sources_.session) sources_.session->allowSleep();
}

void PowerObserver::didWake() {
    // Holds still out from before the sleep no longer matter.
    ++sleepGeneration_;
    sleepPending_ = false;
    sleepHolds_ = 0;
    emit(Event::systemDidWake);
}

void PowerObserver::pollBrightness() {
    if (displayAsleep_ || !sources_.brightness) return;
    auto now = sources_.brightness->read();
    if (!now) return;
    // The tolerance keeps a step of exactly one hundredth from being lost to rounding.
    if (brightness_ && std::fabs(*now - *brightness_) < kBrightnessStep - 1e-9) return;
    brightness_ = now;
    emit(Event::brightness, false);
}

void PowerObserver::emit(Event event, bool logged) {
    if (logged) Log::i(kTag, powerEventName(event));
    if (onEvent) onEvent(event);
}

}  // namespace kelvo
