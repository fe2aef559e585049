#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

namespace kelvo {

// Decides which captured frame is encoded next and when: one pending slot (newest wins), at most
// `window` frames between start and finish, forced key frames exempt from the window. With an
// `encoderDepth`, frames also wait in the pending slot while that many are still being encoded,
// so that a newer capture replaces them there instead of queueing behind a busy encoder.
// Not thread-safe: every operation, and every `encode` call it makes, runs on the owner's queue.
// No clock of its own; callers pass the time where one is needed.
template <class Frame>
class FrameGate {
public:
    using EncodeFn = std::function<void(const Frame& frame, uint64_t ptsUs, bool keyframe)>;

    explicit FrameGate(int window) : window(window) {}

    // Largest number of frames in flight for normal starts. Changing it does not pump.
    int window;
    // Largest number of started frames whose encoding has not ended (encodeEnded), forced key
    // frames included: those wait for the encoder too, but not for the window.
    int encoderDepth = std::numeric_limits<int>::max();
    // Where started frames go. The gate's counters are already updated when it is called, so it
    // may call back into the gate (frameFinished) synchronously.
    EncodeFn encode = [](const Frame&, uint64_t, bool) {};

    int inFlight() const { return inFlight_; }
    int encoding() const { return encoding_; }
    // Frames replaced in the pending slot before they started; only grows, reset() keeps it.
    int64_t droppedBeforeEncode() const { return droppedBeforeEncode_; }
    const std::optional<Frame>& lastSubmitted() const { return lastSubmitted_; }
    bool hasPending() const { return pending_.has_value(); }
    bool paused() const { return paused_; }

    // While paused nothing starts. Every unpause pumps, even when it was not paused. A key frame
    // waiting for the encoder becomes a mark on the next frame, as if forced while paused.
    void setPaused(bool paused) {
        paused_ = paused;
        if (paused) {
            forcedUs_.reset();
        } else {
            pump();
        }
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

    // The encoder is done with one started frame (whatever came of it); it still counts in the
    // window until frameFinished.
    void encodeEnded() {
        encoding_ = std::max(encoding_ - 1, 0);
        pump();
    }

    // Starts a key frame now if there is anything to start, whatever the window; else the next
    // started frame will be a key frame. Re-encoding the last frame stamps it with `nowUs`. While
    // the encoder is full the key frame starts as soon as it has room, with the newest frame.
    void forceKeyframe(uint64_t nowUs) {
        if (paused_) {
            keyframeOnNext_ = true;
        } else if (encoding_ >= encoderDepth) {
            keyframeOnNext_ = true;
            forcedUs_ = nowUs;
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
    // Nothing counts as started any more (a new stream, a new encoder). Results of frames started
    // before must then not be reported as finished or ended.
    void resetInFlight() {
        inFlight_ = 0;
        encoding_ = 0;
    }

    // Forgets everything in progress; window, paused and the drop count stay.
    void reset() {
        inFlight_ = 0;
        encoding_ = 0;
        pending_.reset();
        lastSubmitted_.reset();
        keyframeOnNext_ = false;
        forcedUs_.reset();
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
        if (paused_ || encoding_ >= encoderDepth) return;
        if (forcedUs_) {
            const uint64_t forcedUs = *forcedUs_;
            forcedUs_.reset();
            if (pending_) {
                Pending next = takePending();
                start(next.frame, next.ptsUs, true);
            } else if (lastSubmitted_) {
                Frame again = *lastSubmitted_;
                start(again, forcedUs, true);
            }
            return;
        }
        if (inFlight_ >= window || !pending_) return;
        Pending next = takePending();
        start(next.frame, next.ptsUs, keyframeOnNext_);
    }

    void start(const Frame& frame, uint64_t ptsUs, bool keyframe) {
        if (keyframe) {
            keyframeOnNext_ = false;
            forcedUs_.reset();
        }
        inFlight_ += 1;
        encoding_ += 1;
        lastSubmitted_ = frame;
        encode(frame, ptsUs, keyframe);
    }

    int inFlight_ = 0;
    int encoding_ = 0;
    int64_t droppedBeforeEncode_ = 0;
    // A forced key frame waiting for room in the encoder, with the time to stamp a repeat with.
    std::optional<uint64_t> forcedUs_;
    std::optional<Frame> lastSubmitted_;
    std::optional<Pending> pending_;
    bool keyframeOnNext_ = false;
    bool paused_ = false;
};

}  // namespace kelvo
