#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace kelvo {

// Decides which captured frame is encoded next and when: one pending slot (newest wins), at most
// `window` frames between start and finish, forced key frames exempt from the window.
// Not thread-safe: every operation, and every `encode` call it makes, runs on the owner's queue.
// No clock of its own; callers pass the time where one is needed.
template <class Frame>
class FrameGate {
public:
    using EncodeFn = std::function<void(const Frame& frame, uint64_t ptsUs, bool keyframe)>;

    explicit FrameGate(int window) : window(window) {}

    // Largest number of frames in flight for normal starts. Changing it does not pump.
    int window;
    // Where started frames go. The gate's counters are already updated when it is called, so it
    // may call back into the gate (frameFinished) synchronously.
    EncodeFn encode = [](const Frame&, uint64_t, bool) {};

    int inFlight() const { return inFlight_; }
    // Frames replaced in the pending slot before they started; only grows, reset() keeps it.
    int64_t droppedBeforeEncode() const { return droppedBeforeEncode_; }
    const std::optional<Frame>& lastSubmitted() const { return lastSubmitted_; }
    bool hasPending() const { return pending_.has_value(); }
    bool paused() const { return paused_; }

    // While paused nothing starts. Every unpause pumps, even when it was not paused.
    void setPaused(bool paused) {
        paused_ = paused;
        if (!paused) pump();
    }

    // Offers a new frame; an older one still waiting is dropped (and counted).
    void submit(Frame frame, uint64_t ptsUs) {
        if (pending_) droppedBeforeEncode_ += 1;
        pending_.emplace(Pending{std::move(frame), ptsUs});
        pump();
    }

    // One started frame has finished (acknowledged, or nothing came out of the encoder).
    void frameFinished() {
        inFlight_ = std::max(inFlight_ - 1, 0);
        pump();
    }

    // Starts a key frame now if there is anything to start, whatever the window; else the next
    // started frame will be a key frame. Re-encoding the last frame stamps it with `nowUs`.
    void forceKeyframe(uint64_t nowUs) {
        if (paused_) {
            keyframeOnNext_ = true;
        } else if (pending_) {
            Pending next = takePending();
            start(next.frame, next.ptsUs, true);
        } else if (lastSubmitted_) {
            Frame again = *lastSubmitted_;
            start(again, nowUs, true);
        } else {
            keyframeOnNext_ = true;
        }
    }

    void requestKeyframeOnNext() { keyframeOnNext_ = true; }
    void resetInFlight() { inFlight_ = 0; }

    // Forgets everything in progress; window, paused and the drop count stay.
    void reset() {
        inFlight_ = 0;
        pending_.reset();
        lastSubmitted_.reset();
        keyframeOnNext_ = false;
    }

private:
    struct Pending {
        Frame frame;
        uint64_t ptsUs;
    };

    Pending takePending() {
        Pending next = std::move(*pending_);
        pending_.reset();
        return next;
    }

    void pump() {
        if (paused_ || inFlight_ >= window || !pending_) return;
        Pending next = takePending();
        start(next.frame, next.ptsUs, keyframeOnNext_);
    }

    void start(const Frame& frame, uint64_t ptsUs, bool keyframe) {
        if (keyframe) keyframeOnNext_ = false;
        inFlight_ += 1;
        lastSubmitted_ = frame;
        encode(frame, ptsUs, keyframe);
    }

    int inFlight_ = 0;
    int64_t droppedBeforeEncode_ = 0;
    std::optional<Frame> lastSubmitted_;
    std::optional<Pending> pending_;
    bool keyframeOnNext_ = false;
    bool paused_ = false;
};

}  // namespace kelvo
