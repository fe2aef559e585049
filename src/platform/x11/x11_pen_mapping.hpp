#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/util/rect.hpp"

namespace kelvo {

// XInput's 3 × 3 row-major matrix that maps an absolute device's whole range (0…1 on each axis)
// onto `area` of a `screen` of the given size, both in root-window pixels.
std::array<float, 9> coordinateTransformMatrix(const Rect& area, const SizeD& screen);

// The monitor a pen at `p` works on: the smallest one holding the point (a virtual display may
// lie over a larger one), else the first; absent when there is none.
std::optional<Rect> monitorAt(const std::vector<Rect>& monitors, double x, double y);

// Keeps an absolute pen device mapped onto one monitor of an X screen, so that its strokes land
// on that monitor rather than spread over the whole desktop. The layout is read on refresh() and
// again whenever the server reports a change of the screen; the device's matrix is set when its
// area or the screen changed; a device not there yet is looked for again at the next refresh
// (when the pen comes near or touches). One queue at a time.
class X11PenMapping {
public:
    // Null when the server cannot be reached ("" uses $DISPLAY) or lacks XInput 2 or RandR 1.5.
    // `deviceName`: the pen's name; every XInput device whose name starts with it is mapped.
    static std::unique_ptr<X11PenMapping> open(const std::string& display, std::string deviceName);
    ~X11PenMapping();

    // Reads the monitors and the screen size again.
    void refresh();
    // The monitor for a pen at (x, y) (the whole screen when no monitor is known), with the
    // device mapped onto it.
    Rect areaFor(double x, double y);

    // Whether the server lists the pen device yet (a new uinput device reaches it a moment after
    // it is made), asked without waiting; once it does, the device is mapped as the last
    // areaFor() asked.
    bool mapIfListed();

    // The matrix on every device named `prefix…`; false when there is none.
    bool setMatrix(const std::string& prefix, const std::array<float, 9>& matrix);
    // The matrix of the first device named `prefix…`, for checking.
    std::optional<std::array<float, 9>> matrix(const std::string& prefix);

    struct Impl;
    explicit X11PenMapping(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
