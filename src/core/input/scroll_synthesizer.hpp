#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/input/input_context.hpp"

namespace kelvo {

// Pixel scrolling with trackpad phases from finger movement in tablet points: fractions carry
// into the next step, the release velocity is a least-squares fit of the last 80 ms, and momentum
// decays at a fixed 120 Hz tick. Input queue only; `ctx` outlives it; destroying it stops momentum
// without a final event.
class ScrollSynthesizer {
public:
    struct Sample {
        uint64_t us = 0;
        Point pt;  // total movement of the gesture so far, tablet points
    };

    explicit ScrollSynthesizer(InputContext& ctx) : ctx_(ctx) {}

    // Announces a possible scroll (may-begin) at the global point `anchor`, or withdraws it.
    void prepare(Point anchor);
    void cancelPrepared();

    // A gesture: begin posts nothing; the first move posts `began` (even of zero pixels), later
    // moves `changed` whenever a whole pixel is due; end posts `ended` and returns the release
    // velocity in tablet points per second; cancel posts `cancelled`. Times are frame times.
    void begin(Point anchor, uint64_t timeUs);
    void move(Vector delta, uint64_t timeUs);
    Vector end(uint64_t timeUs);
    void cancel();

    // Momentum from `velocity`: a tick every 8,333 µs, velocity × friction per tick, until it is
    // slower than the stop speed; then the momentum end is posted and `completion` runs.
    void startMomentum(Vector velocity, std::function<void()> completion);
    // Stops momentum at once and posts its end (also before the first tick).
    void finishMomentum();
    bool momentumRunning() const { return momentumTimer_ != nullptr; }

    // Least-squares slope of position over time of the samples 0…80 ms before `endUs`; (0, 0)
    // with fewer than two. Samples later than `endUs` (a tablet clock that stepped back) are
    // left out.
    static Vector velocity(const std::vector<Sample>& samples, uint64_t endUs);

    // Extra modifier flags of every scroll event (a pinch scrolls with Command or Option).
    EventFlags flags = EventFlag::none;

    static constexpr uint64_t kMomentumTickUs = 8333;

private:
    void emit(Vector delta, ScrollPhase phase, MomentumPhase momentum, bool force);
    void post(ScrollPhase phase, MomentumPhase momentum, int32_t dx = 0, int32_t dy = 0);
    void tick();

    InputContext& ctx_;
    Point anchor_;
    bool began_ = false;
    Vector remainder_;
    Point cumulative_;
    std::vector<Sample> history_;
    std::unique_ptr<Cancellable> momentumTimer_;
    std::function<void()> momentumCompletion_;
    Vector momentumVelocity_;
    bool momentumStarted_ = false;
};

}  // namespace kelvo
