#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "core/protocol/records.hpp"
#include "core/runtime/executor.hpp"
#include "core/util/clock_sync.hpp"

namespace kelvo {

// A session's heartbeat on its control link: a ping every second; a pong that echoes a ping sent
// (and arrived after it) feeds the clock mapping and keeps the link alive; when no such pong came
// for kTimeoutUs the next tick reports the link lost, once.
// Main queue: constructed, started, told of pongs, stopped and reporting there. stop() is final
// and idempotent; after it nothing is sent or reported. Destruction stops.
class Heartbeat {
public:
    static constexpr uint64_t kIntervalUs = 1'000'000;
    static constexpr uint64_t kTimeoutUs = 3'000'000;
    // Pings kept for matching pongs; older ones are past the time-out anyway.
    static constexpr size_t kMaxInFlight = 8;

    using SendPing = std::function<void(const KVPing&)>;

    Heartbeat(std::shared_ptr<Executor> main, std::shared_ptr<ClockSync> clock, SendPing send);
    ~Heartbeat();
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    // The first ping goes one interval from now; the time-out counts from now. Call once.
    void start();
    // A pong received at `receivedUs` (main queue's clock); one for no ping sent is dropped.
    void pong(const KVPong& pong, uint64_t receivedUs);
    void stop();

    // The link is lost; called once, from a tick.
    std::function<void()> onLost;

private:
    void tick();

    std::shared_ptr<Executor> main_;
    std::shared_ptr<ClockSync> clock_;
    SendPing send_;
    std::unique_ptr<Timer> timer_;
    uint64_t lastPongUs_ = 0;
    bool stopped_ = false;
    // t0 of pings sent and not yet answered, oldest first.
    std::deque<uint64_t> inFlight_;
};

}  // namespace kelvo
