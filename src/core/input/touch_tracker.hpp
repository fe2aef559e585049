#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "core/input/touch_frame.hpp"

namespace kelvo {

// Folds touch frames into per-finger tracks with landing order, start point and end state.
// Each recognizer owns one; input queue only.
class TouchTracker {
public:
    struct Track {
        uint8_t id = 0;
        Point startNorm;       // where it landed
        uint64_t startUs = 0;  // frame time of the frame it began in
        int order = 0;         // landing order: higher landed later
        Point norm;            // latest position
        double radius = 0;     // latest radius
        bool ended = false;
    };

    // What one frame changed.
    struct Update {
        std::vector<uint8_t> began;  // tracks started live, in frame order
        std::set<uint8_t> moved;     // tracks whose position changed
        std::vector<uint8_t> ended;  // tracks ended (lifted, cancelled or missing from the frame)
        bool cancelled = false;      // a touch of the frame was cancelled
    };

    // A position transform for the geometry below, e.g. the mapper's normalised → tablet points.
    using Transform = std::function<Point(Point)>;

    // Applies one frame. A sample whose id has no live track starts a new one (an ended track
    // of that id is replaced); a live track missing from the frame counts as lifted. Ended
    // tracks stay until removeFinished().
    Update apply(const TouchFrame& frame);
    void removeFinished();

    std::optional<Track> operator[](uint8_t id) const;
    bool has(uint8_t id) const { return tracks_.count(id) != 0; }
    bool empty() const { return tracks_.empty(); }
    // Live ids, first landed first.
    std::vector<uint8_t> alive() const;
    // Removes every track.
    void clear() { tracks_.clear(); }

    // Mean current position of the tracked ids, transformed; (0, 0) when none is tracked.
    Point centroid(const std::vector<uint8_t>& ids, const Transform& transform) const;
    // Distance of two tracked ids' current positions, transformed; 0 when either is untracked.
    double distance(uint8_t a, uint8_t b, const Transform& transform) const;
    // Largest distance from a track's start to its current position, transformed; 0 when none.
    double maxMovement(const std::vector<uint8_t>& ids, const Transform& transform) const;

private:
    std::map<uint8_t, Track> tracks_;
    int counter_ = 0;
};

}  // namespace kelvo
