#include "core/input/input_params.hpp"

#include <atomic>
#include <cmath>

namespace kelvo {

namespace {
std::atomic<double> gDoubleClickInterval{0.5};
}

InputParams::InputParams(const Settings& settings, double doubleClickInterval) : InputParams() {
    longPressMs = static_cast<double>(settings.longPressMs);
    this->doubleClickInterval = doubleClickInterval;
    inertia = settings.scrollInertia;
    invertScroll = settings.invertScroll;
    hideCursorOnTouch = settings.hideCursorOnTouch;
    penCommitMs = static_cast<double>(settings.penCommitMs);
    palmRadius = settings.palmRadius;
    smoothing = settings.smoothing;
    pressure = PressureConfig(settings);
    spoofWacom = settings.spoofWacom;
}

InputParams InputParams::fromSettings(const Settings& settings) {
    return InputParams(settings, systemDoubleClickInterval());
}

double InputParams::systemDoubleClickInterval() { return gDoubleClickInterval.load(std::memory_order_relaxed); }

void InputParams::setSystemDoubleClickInterval(double seconds) {
    if (std::isfinite(seconds) && seconds > 0) gDoubleClickInterval.store(seconds, std::memory_order_relaxed);
}

}  // namespace kelvo
