#pragma once

#include <functional>
#include <optional>

#include "core/input/pressure_model.hpp"
#include "core/settings/settings.hpp"

namespace kelvo {

// Tuning of the recognizers and synthesizers. Distances in tablet points, times in milliseconds
// unless the name says otherwise.
struct InputParams {
    double tapSlop = 10;               // largest movement that is still a tap
    double dragCommitMinMs = 40;       // time down before movement becomes a drag
    double longPressMs = 500;
    double doubleClickInterval = 0.5;  // seconds between clicks of a multi-click
    double doubleClickSlop = 20;       // distance between clicks of a multi-click
    double twoFingerTapMaxMs = 250;
    double scrollStartSlop = 6;
    double pinchStartRatio = 0.06;     // relative change of finger distance that starts a pinch
    double threeFingerSwipeMin = 80;
    double threeFingerTapMaxMs = 250;
    bool inertia = true;               // scroll momentum after lift-off
    bool invertScroll = false;
    double momentumFriction = 0.985;   // velocity factor per momentum tick
    double momentumMinSpeed = 30;      // points per second; slower releases get no momentum
    double momentumStopSpeed = 10;     // points per second at which momentum ends
    bool hideCursorOnTouch = true;
    double penCommitMs = 50;           // draw mode: time after which a touch becomes a pen stroke
    double penCommitDistance = 2;      // draw mode: movement after which it does
    double palmRadius = 30;            // contact radius above which a touch is a palm
    double proximityExitDelayMs = 150; // pen lift to leaving proximity
    SmoothingLevel smoothing = SmoothingLevel::medium;
    PressureConfig pressure;
    bool spoofWacom = false;           // report the well-known tablet vendor id

    InputParams() = default;
    // Defaults, with what the user controls taken from the settings; `doubleClickInterval` in
    // seconds (the desktop's setting).
    InputParams(const Settings& settings, double doubleClickInterval);
    // The same with the desktop's double-click interval (systemDoubleClickInterval()).
    static InputParams fromSettings(const Settings& settings);

    // The desktop's double-click interval in seconds: what the installed source gives, else the
    // value set, else 0.5. Any thread.
    static double systemDoubleClickInterval();
    static void setSystemDoubleClickInterval(double seconds);
    // Gives the desktop's interval (seconds), nothing where the desktop publishes none: a value
    // kept up to date elsewhere, since it is read under a lock at every use and must not wait. The
    // platform installs it; null uninstalls, and the source replaced is released by the caller.
    using DoubleClickSource = std::function<std::optional<double>()>;
    static void installDoubleClickSource(DoubleClickSource source);

    friend bool operator==(const InputParams&, const InputParams&) = default;
};

}  // namespace kelvo
