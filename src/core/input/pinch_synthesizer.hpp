#pragma once

#include "core/input/input_context.hpp"
#include "core/input/scroll_synthesizer.hpp"

namespace kelvo {

// Carries out a pinch by its action: magnify gesture events, Command or Option scrolling, or a
// zoom key per factor 1.15 of finger distance. `none` does nothing (pinch switched off). Input
// queue only; `ctx` outlives it.
class PinchSynthesizer {
public:
    // ln 1.15: one zoom key per factor 1.15 of the finger distance.
    static constexpr double keyStep = 0.13976194237515863;

    explicit PinchSynthesizer(InputContext& ctx) : ctx_(ctx), scroll_(ctx) {}

    // Starts a pinch at the global point `at`.
    void begin(Point at, const GestureAction& action);
    // `scale`: the finger distance over its previous value. Ignored unless positive and finite.
    void change(double scale);
    // Steps by the ratio of two finger distances; nothing when either is not positive or they are equal.
    // Recognizers pass steps, not the total: the synthesizer accumulates.
    void changeDistance(double from, double to) {
        if (from > 0 && to > 0 && to != from) change(to / from);
    }
    void end();
    bool active() const { return active_; }

private:
    bool scrolls() const;

    InputContext& ctx_;
    ScrollSynthesizer scroll_;
    GestureAction action_ = GestureAction::Kind::magnify;
    Point anchor_;
    bool active_ = false;
    bool changedOnce_ = false;
    double logAccumulator_ = 0;
};

}  // namespace kelvo
