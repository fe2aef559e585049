#include "core/session/heartbeat.hpp"

#include <algorithm>
#include <string>

#include "core/util/log.hpp"

namespace kelvo {

Heartbeat::Heartbeat(std::shared_ptr<Executor> main, std::shared_ptr<ClockSync> clock, SendPing send)
    : main_(std::move(main)), clock_(std::move(clock)), send_(std::move(send)) {}

Heartbeat::~Heartbeat() { stop(); }

void Heartbeat::start() {
    if (stopped_ || timer_) return;
    lastPongUs_ = main_->nowUs();
    timer_ = main_->makeTimer();
    // The timer is ours and cancelled with us: its task may hold this.
    timer_->scheduleRepeating(kIntervalUs, [this] { tick(); });
}

void Heartbeat::tick() {
    if (stopped_) return;
    const uint64_t now = main_->nowUs();
    if (lastPongUs_ + kTimeoutUs < now) {
        stop();
        // A copy: the owner may let go of this heartbeat while it is told.
        if (auto lost = onLost) lost();
        return;
    }
    send_(KVPing{now});
    inFlight_.push_back(now);
    if (inFlight_.size() > kMaxInFlight) inFlight_.pop_front();
}

// Anything but the echo of a ping sent would feed the clock mapping (and keep the link alive)
// with the peer's inventions.
void Heartbeat::pong(const KVPong& pong, uint64_t receivedUs) {
    if (stopped_) return;
    const auto sent = std::find(inFlight_.begin(), inFlight_.end(), pong.t0);
    if (sent == inFlight_.end() || pong.t0 > receivedUs) {
        Log::d("session", "PONG for no ping sent (t0 " + std::to_string(pong.t0) + ") dropped");
        return;
    }
    inFlight_.erase(inFlight_.begin(), sent + 1);
    clock_->add(pong.t0, pong.t1, pong.t2, receivedUs);
    lastPongUs_ = receivedUs;
}

void Heartbeat::stop() {
    stopped_ = true;
    if (timer_) timer_->cancel();
}

}  // namespace kelvo
