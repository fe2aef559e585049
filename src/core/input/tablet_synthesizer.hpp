#pragma once

#include <cstdint>
#include <memory>

#include "core/input/input_context.hpp"

namespace kelvo {

// Pen proximity and pen contact with pressure for draw mode. A lift fades the pressure over two
// drags before the up; proximity ends a delay after the last lift unless the pen comes down
// again. Input queue only; `ctx` outlives it; destroying it cancels the exit timer silently.
class TabletSynthesizer {
public:
    explicit TabletSynthesizer(InputContext& ctx) : ctx_(ctx) {}

    // `at`: global point; `norm`: normalised position; `pressure`: 0…1.
    void penDown(Point at, Point norm, double pressure);
    void penMove(Point at, Point norm, double pressure);
    void penUp();
    // Lifts a pen that is down (no fade) and leaves proximity at once.
    void cancel();

    bool inProximity() const { return inProximity_; }

    // A normalised coordinate as the pen event's 0…65535.
    static uint16_t tabletCoordinate(double norm);

private:
    struct Sample {
        Point global;
        Point norm;
        double pressure = 0;
    };

    void post(TabletAction action, double pressure);
    void exitProximityNow();

    InputContext& ctx_;
    bool inProximity_ = false;
    bool proximityEraser_ = false;
    std::unique_ptr<Cancellable> exitTimer_;
    bool penIsDown_ = false;
    Sample last_;
};

}  // namespace kelvo
