#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/settings/settings.hpp"
#include "core/util/geometry.hpp"

namespace kelvo {

// How a finger's pen pressure is derived. Distances in tablet points, speeds in points per second.
struct PressureConfig {
    PressureSource source = PressureSource::velocity;
    double vMax = 1500;     // speed at which velocity pressure reaches its floor
    double pMin = 0.15;     // floor of velocity pressure
    double alpha = 0.3;     // weight of the newest speed in the smoothed speed
    double radiusLight = 6;
    double radiusHeavy = 14;
    double constant = 0.6;
    std::vector<double> curve{0.25, 0.25, 0.75, 0.75};  // Bézier control points x1, y1, x2, y2
    double minPressure = 0.1;
    double maxPressure = 1.0;
    double rampMs = 40;     // start ramp; 0 or less turns it off
    double rampStart = 0.3; // ramp factor at a stroke's first sample

    PressureConfig() = default;
    // Source, curve (only when it has exactly 4 values), range (never inverted), constant and
    // radii from the settings; the rest keeps its defaults.
    explicit PressureConfig(const Settings& settings);

    friend bool operator==(const PressureConfig&, const PressureConfig&) = default;
};

// One pressure per pen sample: raw from speed, radius or a constant, a ramp over the stroke's
// first milliseconds, the response curve, then the configured range. Reused across strokes.
class PressureModel {
public:
    explicit PressureModel(PressureConfig config = {}) : config(std::move(config)) {}

    // Starts a stroke; the pressure of its first sample. Times are frame times in microseconds.
    double begin(Point p, double radius, uint64_t timeUs);
    // A later sample of the stroke. A sample not later than the last leaves the speed as it was.
    double sample(Point p, double radius, uint64_t timeUs);

    // A cubic Bézier response from (0, 0) to (1, 1) through the control points; x unchanged
    // unless there are exactly 4 of them. Result clamped to 0…1.
    static double curve(double x, const std::vector<double>& controlPoints);

    PressureConfig config;

private:
    double raw(double radius) const;
    double finish(double raw, uint64_t timeUs) const;

    uint64_t startUs_ = 0;
    uint64_t lastUs_ = 0;
    Point lastPoint_;
    double speed_ = 0;
};

// The one-euro filter: a low-pass whose cut-off rises with speed, so slow strokes are steady and
// fast ones lag little.
class OneEuroFilter {
public:
    OneEuroFilter(double minCutoff, double beta, double dCutoff) : minCutoff_(minCutoff), beta_(beta), dCutoff_(dCutoff) {}

    // The first sample (and the first after reset) passes unchanged; a sample not later than the
    // previous returns the previous output.
    double filter(double v, uint64_t timeUs);
    void reset();

private:
    double minCutoff_;
    double beta_;
    double dCutoff_;
    std::optional<double> x_;
    double dx_ = 0;
    uint64_t lastUs_ = 0;
};

// One filter per axis.
class OneEuroFilter2D {
public:
    OneEuroFilter2D(double minCutoff, double beta, double dCutoff)
        : fx_(minCutoff, beta, dCutoff), fy_(minCutoff, beta, dCutoff) {}
    // The filter of a smoothing level; absent for `off`.
    static std::optional<OneEuroFilter2D> forLevel(SmoothingLevel level);

    Point filter(Point p, uint64_t timeUs) { return {fx_.filter(p.x, timeUs), fy_.filter(p.y, timeUs)}; }
    void reset() {
        fx_.reset();
        fy_.reset();
    }

private:
    OneEuroFilter fx_;
    OneEuroFilter fy_;
};

}  // namespace kelvo
