#pragma once

#include "core/input/touch_frame.hpp"

namespace kelvo {

// Turns the touch frames of one input mode into synthetic events. Input queue only.
class TouchRecognizer {
public:
    virtual ~TouchRecognizer() = default;
    virtual void handle(const TouchFrame& frame) = 0;
    // Ends any gesture (releasing what it holds), forgets every touch and starts over.
    virtual void reset() = 0;
};

}  // namespace kelvo
