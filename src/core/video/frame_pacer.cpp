#include "core/video/frame_pacer.hpp"

#include <algorithm>

namespace kelvo {

int64_t FramePacer::creditAt(uint64_t nowUs) const {
    const int64_t most = int64_t(intervalUs_ + intervalUs_ / 4);
    if (!lastUs_) return most;
    const int64_t since = nowUs > *lastUs_ ? int64_t(nowUs - *lastUs_) : 0;
    return std::min(most, creditUs_ + since * 21 / 20);
}

uint64_t FramePacer::delayUs(uint64_t nowUs) const {
    const int64_t credit = creditAt(nowUs);
    return credit >= int64_t(intervalUs_) ? 0 : uint64_t(int64_t(intervalUs_) - credit);
}

void FramePacer::taken(uint64_t nowUs) {
    creditUs_ = creditAt(nowUs) - int64_t(intervalUs_);
    lastUs_ = nowUs;
}

}  // namespace kelvo
