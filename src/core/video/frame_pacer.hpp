#pragma once

#include <cstdint>
#include <optional>

namespace kelvo {

// Paces frames that events ask for (the screen was drawn on) to about one per frame period,
// taking each as soon as it may. Time gathers towards the next frame a twentieth faster than it
// passes, up to a quarter period more than a frame needs: so a frame that had to wait (the first
// drawing just after a frame, a wake-up a little early) does not lock later frames to its phase
// behind content drawn at the frame rate, late wake-ups do not add up, and faster content is
// taken at no more than 1.05 times the rate. After a pause the next frame goes at once.
// A plain value; times in microseconds of any monotonic clock.
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
    int64_t creditAt(uint64_t nowUs) const;

    uint64_t intervalUs_;
    std::optional<uint64_t> lastUs_;  // when the last frame was taken
    int64_t creditUs_ = 0;            // time gathered towards the next frame at lastUs_
};

}  // namespace kelvo
