#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/util/geometry.hpp"

namespace kelvo {

// One pointer image as the desktop draws it.
struct CursorImage {
    int width = 0;  // pixels; one pixel is one point on this desktop
    int height = 0;
    int hotX = 0;  // hot spot, pixels from the top left
    int hotY = 0;
    std::vector<uint32_t> argb;  // premultiplied 0xAARRGGBB, row by row, width × height of them
};

// The desktop's pointer, for the cursor service: what it looks like and where it is.
// Used from one queue at a time (the service's); never calls back.
class CursorSource {
public:
    virtual ~CursorSource() = default;
    // Moves on whenever the pointer's image may have changed; cheap enough to ask 20 times a
    // second. An unchanged serial means the image is the one read last.
    virtual uint64_t shapeSerial() = 0;
    // The current image; absent when it cannot be read.
    virtual std::optional<CursorImage> image() = 0;
    // The pointer's position in global display points; absent when it cannot be read.
    virtual std::optional<Point> location() = 0;

    // A descriptor (owned by the source) that turns readable when the pointer may have moved or
    // changed its image, so that a still pointer costs nothing; -1 when the source cannot tell
    // and must be polled.
    virtual int changeFd() { return -1; }
    // Reads what has arrived, the events behind changeFd() included: true when the pointer may
    // have moved since the last call. Without a descriptor always true.
    virtual bool takeMotion() { return true; }
};

}  // namespace kelvo
