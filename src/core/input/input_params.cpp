#include "core/input/input_params.hpp"

#include <atomic>
#include <cmath>
#include <mutex>

namespace kelvo {

namespace {
std::atomic<double> gDoubleClickInterval{0.5};
std::mutex gSourceLock;
InputParams::DoubleClickSource gSource;

bool usable(double seconds) { return std::isfinite(seconds) && seconds > 0; }
}  // namespace

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

double InputParams::systemDoubleClickInterval() {
    {
        // Read under the lock, so that a source replaced is released by whoever replaces it.
        std::lock_guard lock(gSourceLock);
        if (gSource) {
            if (auto seconds = gSource(); seconds && usable(*seconds)) return *seconds;
        }
    }
    return gDoubleClickInterval.load(std::memory_order_relaxed);
}

void InputParams::setSystemDoubleClickInterval(double seconds) {
    if (usable(seconds)) gDoubleClickInterval.store(seconds, std::memory_order_relaxed);
}

void InputParams::installDoubleClickSource(DoubleClickSource source) {
    {
        std::lock_guard lock(gSourceLock);
        std::swap(gSource, source);
    }
    // `source` holds the replaced one now, released here outside the lock: it may stop a thread.
}

}  // namespace kelvo
