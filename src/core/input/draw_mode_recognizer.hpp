#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "core/input/finger_group.hpp"
#include "core/input/input_context.hpp"
#include "core/input/pinch_synthesizer.hpp"
#include "core/input/pressure_model.hpp"
#include "core/input/scroll_synthesizer.hpp"
#include "core/input/tablet_synthesizer.hpp"
#include "core/input/touch_recognizer.hpp"
#include "core/input/touch_tracker.hpp"

namespace kelvo {

// Draw and tablet-mapping mode: the tablet is a graphics tablet. One finger draws pen strokes
// with pressure once it has rested penCommitMs or moved penCommitDistance (what it did before is
// replayed); touches wider than palmRadius, and touches landing during a stroke, are ignored;
// two fingers pan (scroll or Space-drag), pinch or tap, and a third finger tapped while two rest
// performs the three-finger tap. Distances are in tablet points (region points while the
// tablet's size is unknown), times are the frames' timestamps. The smoothing level is read when
// the recognizer is made, the pressure configuration at each stroke.
// Input queue only; `ctx` outlives it. Destroying it cancels its timers without further events.
class DrawModeRecognizer final : public TouchRecognizer {
public:
    enum class State { idle, penPending, stroke, twoPending, twoPan, twoPinch, consumed };

    explicit DrawModeRecognizer(InputContext& ctx);

    void handle(const TouchFrame& frame) override;
    // Ends any gesture (pen lifted, pan ended, pinch ended), forgets every touch and leaves pen
    // proximity at once.
    void reset() override;
    State state() const { return state_; }

private:
    struct Cached {
        Point norm;
        double radius = 0;
        uint64_t us = 0;
    };
    struct Third {
        uint8_t id = 0;
        uint64_t downUs = 0;
    };

    Point scale() const { return ctx_.mapper.gesturePoints({1, 1}); }
    Point pos(Point norm) const { return ctx_.mapper.gesturePoints(norm); }
    Point global(Point norm) const { return ctx_.mapper.global(norm); }
    TouchTracker::Transform posTransform() const {
        return [this](Point p) { return pos(p); };
    }
    std::vector<uint8_t> fingers() const;
    State afterLift() const;

    void start(const TouchFrame& frame, const TouchTracker::Update& update);
    void beginPen(uint8_t id, uint64_t t);
    void penPending(const TouchFrame& frame, const TouchTracker::Update& update);
    void commitPen();
    Point smooth(Point norm, uint64_t t);
    void stroke(const TouchFrame& frame, const TouchTracker::Update& update);
    void beginTwo(const std::vector<uint8_t>& ids, uint64_t t);
    void twoPending(uint64_t t);
    void startPan(Point centroid, uint64_t t);
    Point currentAnchorNorm() const;
    void twoPan(uint64_t t);
    void endPan(uint64_t t);
    void twoPinch();
    void perform(const GestureAction& action);
    void cancelPrepared();
    void cancelGesture();

    InputContext& ctx_;
    TouchTracker tracker_;
    TabletSynthesizer tablet_;
    ScrollSynthesizer scroll_;
    PinchSynthesizer pinch_;
    PressureModel pressure_;
    std::optional<OneEuroFilter2D> filter_;
    State state_ = State::idle;

    std::set<uint8_t> ignored_;
    uint64_t lastFrameUs_ = 0;
    std::optional<uint8_t> pen_;
    std::vector<Cached> cached_;
    std::unique_ptr<Cancellable> commitTimer_;

    FingerGroup group_;
    bool mayBeginSent_ = false;
    bool spaceHeld_ = false;
    std::optional<Third> third_;
};

}  // namespace kelvo
