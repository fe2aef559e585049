#pragma once

#include <optional>

#include "core/display/display_services.hpp"
#include "core/util/rect.hpp"
#include "core/video/frame_source.hpp"

namespace kelvo {

// A screen frame source that can move to another display or part of one without being rebuilt.
class MovableFrameSource : public FrameSource {
public:
    struct Options {
        DisplayId displayID = 0;
        int width = 0;  // output size in pixels
        int height = 0;
        int fps = 0;
        bool showsCursor = false;
        std::optional<Rect> sourceRect;  // display-local points, scaled to the output size
    };
    // Completes with an error when the capture cannot move; the source then keeps its old place.
    virtual void update(DisplayId displayID, std::optional<Rect> sourceRect, StartCompletion completion) = 0;
};

}  // namespace kelvo
