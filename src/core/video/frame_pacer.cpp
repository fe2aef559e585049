#include "core/video/frame_pacer.hpp"

namespace kelvo {

uint64_t FramePacer::delayUs(uint64_t nowUs) const {
    if (!dueUs_) return 0;
    const uint64_t earliest = *dueUs_ - intervalUs_ / 4;
    return nowUs < earliest ? earliest - nowUs : 0;
}

void FramePacer::taken(uint64_t nowUs) {
    // Later than a whole period past the grid: a pause, and the grid starts again from now.
    const bool steady = dueUs_ && nowUs < *dueUs_ + intervalUs_;
    dueUs_ = (steady ? *dueUs_ : nowUs) + intervalUs_;
}

}  // namespace kelvo
