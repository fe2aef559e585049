#pragma once

#include <cstdint>
#include <optional>

namespace kelvo {

// Paces frames that events ask for (the screen was drawn on) to at most one per frame period on
// average. A frame may come up to a quarter period early, and the schedule keeps to a grid while
// frames come steadily, so that late wake-ups do not add up into lag behind content drawn at the
// frame rate; after a pause the next frame goes at once. A plain value; times in microseconds of
// any monotonic clock.
class FramePacer {
public:
    explicit FramePacer(uint64_t intervalUs = 0) : intervalUs_(intervalUs) {}

    // A new period; applies from the next frame.
    void setInterval(uint64_t intervalUs) { intervalUs_ = intervalUs; }
    uint64_t intervalUs() const { return intervalUs_; }

    // How long a frame asked for at `nowUs` must wait; 0: take it now.
    uint64_t delayUs(uint64_t nowUs) const;
    // A frame was taken at `nowUs`.
    void taken(uint64_t nowUs);

private:
    uint64_t intervalUs_;
    std::optional<uint64_t> dueUs_;  // when the next frame is due on the grid
};

}  // namespace kelvo
