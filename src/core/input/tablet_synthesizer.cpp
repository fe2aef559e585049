#include "core/input/tablet_synthesizer.hpp"

#include <cmath>

namespace kelvo {

uint16_t TabletSynthesizer::tabletCoordinate(double norm) {
    const double v = std::round(norm * 65535.0);  // halves away from zero
    if (!(v > 0)) return 0;
    return v >= 65535.0 ? 65535 : static_cast<uint16_t>(v);
}

void TabletSynthesizer::penDown(Point at, Point norm, double pressure) {
    exitTimer_.reset();
    // The tool changed since the last stroke: leave proximity as the old tool first.
    if (inProximity_ && proximityEraser_ != ctx_.eraser) exitProximityNow();
    if (ctx_.profile.draw.tabletEvents == TabletEventsMode::full && !inProximity_) {
        ctx_.post(synth::Proximity{true, ctx_.eraser});
        inProximity_ = true;
        proximityEraser_ = ctx_.eraser;
    }
    last_ = {at, norm, pressure};
    post(TabletAction::down, pressure);
    penIsDown_ = true;
}

void TabletSynthesizer::penMove(Point at, Point norm, double pressure) {
    if (!penIsDown_) return;
    last_ = {at, norm, pressure};
    post(TabletAction::drag, pressure);
}

void TabletSynthesizer::penUp() {
    if (!penIsDown_) return;
    // Fade out so that drawing applications taper the stroke instead of ending it blunt.
    const double p0 = last_.pressure;
    last_.pressure = p0 * 0.5;
    post(TabletAction::drag, last_.pressure);
    last_.pressure = p0 * 0.2;
    post(TabletAction::drag, last_.pressure);
    last_.pressure = 0;
    post(TabletAction::up, 0);
    penIsDown_ = false;
    if (!inProximity_) return;
    exitTimer_ = ctx_.scheduler().after(delayUsFromMs(ctx_.params.proximityExitDelayMs), [this] {
        exitTimer_.reset();
        exitProximityNow();
    });
}

void TabletSynthesizer::cancel() {
    if (penIsDown_) {
        last_.pressure = 0;
        post(TabletAction::up, 0);
        penIsDown_ = false;
    }
    exitProximityNow();
}

void TabletSynthesizer::exitProximityNow() {
    exitTimer_.reset();
    if (!inProximity_) return;
    ctx_.post(synth::Proximity{false, proximityEraser_});
    inProximity_ = false;
}

void TabletSynthesizer::post(TabletAction action, double pressure) {
    ctx_.post(synth::Tablet{action, last_.global, tabletCoordinate(last_.norm.x), tabletCoordinate(last_.norm.y),
                            pressure});
}

}  // namespace kelvo
