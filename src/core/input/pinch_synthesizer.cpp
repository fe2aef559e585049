#include "core/input/pinch_synthesizer.hpp"

#include <cmath>

namespace kelvo {

namespace {
// Tablet points of scroll per unit of scale change: spreading by 1 % scrolls 4 points.
constexpr double kScrollPerScale = 400;
}  // namespace

bool PinchSynthesizer::scrolls() const {
    return action_.kind() == GestureAction::Kind::cmdScroll || action_.kind() == GestureAction::Kind::altScroll;
}

void PinchSynthesizer::begin(Point at, const GestureAction& action) {
    anchor_ = at;
    action_ = action;
    active_ = true;
    changedOnce_ = false;
    logAccumulator_ = 0;
    if (action_.kind() == GestureAction::Kind::magnify) {
        ctx_.post(synth::GestureBegin{anchor_});
    } else if (scrolls()) {
        scroll_.flags = action_.kind() == GestureAction::Kind::cmdScroll ? EventFlag::command : EventFlag::option;
        scroll_.begin(at, ctx_.scheduler().nowUs());
    }
}

void PinchSynthesizer::change(double scale) {
    if (!active_ || !(scale > 0) || !std::isfinite(scale)) return;
    switch (action_.kind()) {
        case GestureAction::Kind::magnify:
            ctx_.post(synth::Magnify{scale - 1, changedOnce_ ? GesturePhase::changed : GesturePhase::began, anchor_});
            changedOnce_ = true;
            return;
        case GestureAction::Kind::cmdScroll:
        case GestureAction::Kind::altScroll:
            scroll_.move({0, (scale - 1) * kScrollPerScale}, ctx_.scheduler().nowUs());
            return;
        case GestureAction::Kind::none:
            return;
        default:
            break;
    }
    // Zoom keys; the rest of the accumulator carries, so a slow pinch zooms as much as a fast one.
    logAccumulator_ += std::log(scale);
    while (logAccumulator_ >= keyStep) {
        ctx_.combo(KeyCombo::zoomIn);
        logAccumulator_ -= keyStep;
    }
    while (logAccumulator_ <= -keyStep) {
        ctx_.combo(KeyCombo::zoomOut);
        logAccumulator_ += keyStep;
    }
}

void PinchSynthesizer::end() {
    if (!active_) return;
    active_ = false;
    if (action_.kind() == GestureAction::Kind::magnify) {
        if (changedOnce_) ctx_.post(synth::Magnify{0, GesturePhase::ended, anchor_});
        ctx_.post(synth::GestureEnd{anchor_});
    } else if (scrolls()) {
        scroll_.end(ctx_.scheduler().nowUs());  // no momentum after a pinch
    }
}

}  // namespace kelvo
