#include "core/input/touch_tracker.hpp"

#include <algorithm>

namespace kelvo {

TouchTracker::Update TouchTracker::apply(const TouchFrame& frame) {
    Update update;
    std::set<uint8_t> seen;
    for (const auto& s : frame.touches) {
        seen.insert(s.id);
        auto it = tracks_.find(s.id);
        if (it != tracks_.end() && !it->second.ended) {
            if (it->second.norm != s.norm) update.moved.insert(s.id);
            it->second.norm = s.norm;
            it->second.radius = s.radius;
        } else {
            ++counter_;
            tracks_[s.id] = Track{s.id, s.norm, frame.timestampUs, counter_, s.norm, s.radius, false};
            if (s.isActive()) update.began.push_back(s.id);
        }
        if (!s.isActive()) {
            update.ended.push_back(s.id);
            tracks_[s.id].ended = true;
            if (s.phase == TouchPhase::cancelled) update.cancelled = true;
        }
    }
    for (auto& [id, track] : tracks_) {
        if (!track.ended && !seen.count(id)) {
            update.ended.push_back(id);
            track.ended = true;
        }
    }
    return update;
}

void TouchTracker::removeFinished() {
    std::erase_if(tracks_, [](const auto& entry) { return entry.second.ended; });
}

std::optional<TouchTracker::Track> TouchTracker::operator[](uint8_t id) const {
    auto it = tracks_.find(id);
    if (it == tracks_.end()) return std::nullopt;
    return it->second;
}

std::vector<uint8_t> TouchTracker::alive() const {
    std::vector<const Track*> live;
    for (const auto& [id, track] : tracks_) {
        if (!track.ended) live.push_back(&track);
    }
    std::sort(live.begin(), live.end(), [](const Track* a, const Track* b) { return a->order < b->order; });
    std::vector<uint8_t> ids;
    ids.reserve(live.size());
    for (const auto* t : live) ids.push_back(t->id);
    return ids;
}

Point TouchTracker::centroid(const std::vector<uint8_t>& ids, const Transform& transform) const {
    Point sum;
    int n = 0;
    for (uint8_t id : ids) {
        auto it = tracks_.find(id);
        if (it == tracks_.end()) continue;
        sum += transform(it->second.norm);
        ++n;
    }
    return n ? sum * (1.0 / n) : Point{};
}

double TouchTracker::distance(uint8_t a, uint8_t b, const Transform& transform) const {
    auto ia = tracks_.find(a);
    auto ib = tracks_.find(b);
    if (ia == tracks_.end() || ib == tracks_.end()) return 0;
    return kelvo::distance(transform(ia->second.norm), transform(ib->second.norm));
}

double TouchTracker::maxMovement(const std::vector<uint8_t>& ids, const Transform& transform) const {
    double most = 0;
    for (uint8_t id : ids) {
        auto it = tracks_.find(id);
        if (it == tracks_.end()) continue;
        most = std::max(most, kelvo::distance(transform(it->second.startNorm), transform(it->second.norm)));
    }
    return most;
}

}  // namespace kelvo
