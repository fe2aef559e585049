#pragma once

#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "core/input/finger_group.hpp"
#include "core/input/input_context.hpp"
#include "core/input/pinch_synthesizer.hpp"
#include "core/input/scroll_synthesizer.hpp"
#include "core/input/touch_recognizer.hpp"
#include "core/input/touch_tracker.hpp"

namespace kelvo {

// Touch mode: the tablet points directly. One finger moves the pointer where it lands, taps click
// (up to triple clicks), moves drag and a long press performs the profile's action; two fingers
// scroll (with momentum), pinch or tap; three fingers tap or swipe. Distances are in tablet points
// (region points while the tablet's size is unknown), times are the frames' timestamps.
// Input queue only; `ctx` outlives it. Destroying it cancels its timers without further events.
class TouchModeRecognizer final : public TouchRecognizer {
public:
    enum class State { idle, pending1, dragging, pending2, scrolling, momentum, pinching, pending3, consumed };

    explicit TouchModeRecognizer(InputContext& ctx) : ctx_(ctx), scroll_(ctx), pinch_(ctx) {}

    void handle(const TouchFrame& frame) override;
    void reset() override;
    State state() const { return state_; }

private:
    struct LastClick {
        uint64_t us = 0;
        Point pt;  // tablet points
        int count = 0;
    };

    Point pos(Point norm) const { return ctx_.mapper.gesturePoints(norm); }
    Point global(Point norm) const { return ctx_.mapper.global(norm); }
    TouchTracker::Transform posTransform() const {
        return [this](Point p) { return pos(p); };
    }
    std::vector<uint8_t> liveGroup() const;
    State afterLift() const;
    void post(const SynthEvent& event) { ctx_.post(event); }

    void startGesture(const TouchFrame& frame);
    void beginPending1(uint8_t id, uint64_t t);
    void pending1(uint64_t t, const std::vector<uint8_t>& ended);
    void commitDrag();
    void longPressFired();
    void click(Point p, uint64_t t);
    void dragging(const std::set<uint8_t>& moved, const std::vector<uint8_t>& ended);
    void beginPending2(const std::vector<uint8_t>& ids, uint64_t t);
    void pending2(const TouchFrame& frame);
    void startScroll(Point centroid, uint64_t t);
    void scrolling(const TouchFrame& frame);
    void startPinch(double distance);
    void pinching();
    void beginPending3(const std::vector<uint8_t>& ids, uint64_t t);
    void pending3(const TouchFrame& frame);
    void perform(const GestureAction& action, Point p);
    void cancelSingleTimers();
    void cancelGesture();

    InputContext& ctx_;
    TouchTracker tracker_;
    ScrollSynthesizer scroll_;
    PinchSynthesizer pinch_;
    State state_ = State::idle;

    std::optional<uint8_t> primary_;
    uint64_t downUs_ = 0;
    int pendingClicks_ = 1;
    bool movedBeyondSlop_ = false;
    std::unique_ptr<Cancellable> longPressTimer_;
    std::unique_ptr<Cancellable> dragCommitTimer_;
    std::optional<LastClick> lastClick_;

    FingerGroup group_;
    std::set<uint8_t> members_;
    bool mayBeginSent_ = false;
    bool groupLifted_ = false;
};

}  // namespace kelvo
