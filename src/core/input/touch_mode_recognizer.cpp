#include "core/input/touch_mode_recognizer.hpp"

#include <algorithm>
#include <cmath>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

double elapsedMs(uint64_t from, uint64_t to) { return to > from ? static_cast<double>(to - from) / 1000.0 : 0.0; }

bool has(const std::vector<uint8_t>& ids, uint8_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

std::vector<uint8_t> firstThree(std::vector<uint8_t> ids) {
    ids.resize(std::min<size_t>(ids.size(), 3));
    return ids;
}

}  // namespace

void TouchModeRecognizer::handle(const TouchFrame& frame) {
    const auto update = tracker_.apply(frame);
    if (update.cancelled) {
        cancelGesture();
        state_ = afterLift();
    } else {
        switch (state_) {
            case State::idle: startGesture(frame); break;
            case State::pending1: pending1(frame.timestampUs, update.ended); break;
            case State::dragging: dragging(update.moved, update.ended); break;
            case State::pending2: pending2(frame); break;
            case State::scrolling: scrolling(frame); break;
            case State::pinching: pinching(); break;
            case State::pending3: pending3(frame); break;
            case State::momentum:
                // Momentum runs on its own timer; only a landing finger stops it.
                if (!update.began.empty()) {
                    if (scroll_.momentumRunning()) scroll_.finishMomentum();
                    state_ = State::idle;
                    startGesture(frame);
                }
                break;
            case State::consumed: break;
        }
    }
    tracker_.removeFinished();
    if (tracker_.empty() && state_ == State::consumed) state_ = State::idle;
    ctx_.updateTouching(!tracker_.empty());
}

void TouchModeRecognizer::reset() {
    cancelGesture();
    tracker_.clear();
    state_ = State::idle;
}

std::vector<uint8_t> TouchModeRecognizer::liveGroup() const {
    const auto live = tracker_.alive();
    std::vector<uint8_t> out;
    for (uint8_t id : group_.ids) {
        if (has(live, id)) out.push_back(id);
    }
    return out;
}

TouchModeRecognizer::State TouchModeRecognizer::afterLift() const {
    return tracker_.alive().empty() ? State::idle : State::consumed;
}

void TouchModeRecognizer::startGesture(const TouchFrame& frame) {
    const auto live = tracker_.alive();
    if (live.size() == 1) beginPending1(live[0], frame.timestampUs);
    else if (live.size() == 2) beginPending2(live, frame.timestampUs);
    else if (live.size() >= 3) beginPending3(firstThree(live), frame.timestampUs);
}

// ---- one finger ----

void TouchModeRecognizer::beginPending1(uint8_t id, uint64_t t) {
    const auto track = tracker_[id];
    if (!track) return;
    const Point p = track->startNorm;
    primary_ = id;
    downUs_ = t;
    movedBeyondSlop_ = false;
    pendingClicks_ = 1;
    if (lastClick_ && t >= lastClick_->us &&
        static_cast<double>(t - lastClick_->us) / 1e6 <= ctx_.params.doubleClickInterval &&
        distance(pos(p), lastClick_->pt) <= ctx_.params.doubleClickSlop) {
        pendingClicks_ = std::min(lastClick_->count + 1, 3);
    }
    post(synth::Move{global(p)});  // the pointer jumps to the finger at once
    if (ctx_.profile.touch.longPress.kind() != GestureAction::Kind::none) {
        longPressTimer_ = ctx_.scheduler().after(delayUsFromMs(ctx_.params.longPressMs), [this] { longPressFired(); });
    }
    state_ = State::pending1;
}

void TouchModeRecognizer::pending1(uint64_t t, const std::vector<uint8_t>& ended) {
    if (!primary_ || !tracker_.has(*primary_)) {
        state_ = State::consumed;
        return;
    }
    const auto live = tracker_.alive();
    if (live.size() >= 2) {
        // Only the move was posted so far: nothing to undo.
        cancelSingleTimers();
        if (live.size() == 2) beginPending2(live, t);
        else beginPending3(firstThree(live), t);
        return;
    }
    const auto track = *tracker_[*primary_];
    if (has(ended, *primary_)) {
        cancelSingleTimers();
        if (!movedBeyondSlop_) {
            click(track.startNorm, t);
        } else {
            // Moved beyond the slop but lifted before a drag was committed: a flick.
            post(synth::Down{MouseButton::left, global(track.startNorm), 1});
            ctx_.onInputBegan();
            post(synth::Drag{MouseButton::left, global(track.norm)});
            post(synth::Up{MouseButton::left, global(track.norm), 1});
            ctx_.onInputCompleted();
        }
        state_ = State::idle;
        return;
    }
    if (distance(pos(track.startNorm), pos(track.norm)) <= ctx_.params.tapSlop) return;
    if (!movedBeyondSlop_) {
        movedBeyondSlop_ = true;
        longPressTimer_.reset();  // a moved finger is no long press
    }
    const double e = elapsedMs(downUs_, t);
    if (e >= ctx_.params.dragCommitMinMs) {
        commitDrag();
    } else if (!dragCommitTimer_) {
        dragCommitTimer_ =
            ctx_.scheduler().after(delayUsFromMs(ctx_.params.dragCommitMinMs - e), [this] { commitDrag(); });
    }
}

void TouchModeRecognizer::commitDrag() {
    dragCommitTimer_.reset();
    if (state_ != State::pending1 || !primary_) return;
    const auto track = tracker_[*primary_];
    if (!track) return;
    longPressTimer_.reset();
    // From where the finger landed, with the click count of a preceding quick tap.
    post(synth::Down{MouseButton::left, global(track->startNorm), pendingClicks_});
    ctx_.onInputBegan();
    post(synth::Drag{MouseButton::left, global(track->norm)});
    lastClick_.reset();
    state_ = State::dragging;
}

void TouchModeRecognizer::longPressFired() {
    longPressTimer_.reset();
    if (state_ != State::pending1 || movedBeyondSlop_ || !primary_) return;
    const auto track = tracker_[*primary_];
    if (!track) return;
    dragCommitTimer_.reset();
    perform(ctx_.profile.touch.longPress, track->startNorm);
    lastClick_.reset();
    state_ = State::consumed;
}

void TouchModeRecognizer::click(Point p, uint64_t t) {
    const Point g = global(p);
    post(synth::Down{MouseButton::left, g, pendingClicks_});
    ctx_.onInputBegan();
    post(synth::Up{MouseButton::left, g, pendingClicks_});
    ctx_.onInputCompleted();
    lastClick_ = LastClick{t, pos(p), pendingClicks_};
}

void TouchModeRecognizer::dragging(const std::set<uint8_t>& moved, const std::vector<uint8_t>& ended) {
    const auto track = primary_ ? tracker_[*primary_] : std::nullopt;
    if (!track) {
        state_ = State::consumed;
        return;
    }
    if (has(ended, *primary_)) {
        post(synth::Up{MouseButton::left, global(track->norm), pendingClicks_});
        ctx_.onInputCompleted();
        state_ = afterLift();
    } else if (moved.count(*primary_)) {
        post(synth::Drag{MouseButton::left, global(track->norm)});
    }
}

void TouchModeRecognizer::cancelSingleTimers() {
    longPressTimer_.reset();
    dragCommitTimer_.reset();
}

// ---- two fingers ----

void TouchModeRecognizer::beginPending2(const std::vector<uint8_t>& ids, uint64_t t) {
    group_.begin(tracker_, {ids.begin(), ids.begin() + 2}, t, posTransform());
    groupLifted_ = false;
    post(synth::Move{global(group_.anchorNorm)});
    scroll_.prepare(global(group_.anchorNorm));
    mayBeginSent_ = true;
    state_ = State::pending2;
}

void TouchModeRecognizer::pending2(const TouchFrame& frame) {
    const uint64_t t = frame.timestampUs;
    const auto live = tracker_.alive();
    if (!groupLifted_ && live.size() >= 3) {
        if (mayBeginSent_) scroll_.cancelPrepared();
        mayBeginSent_ = false;
        beginPending3(firstThree(live), t);
        return;
    }
    const auto down = liveGroup();
    const double e = elapsedMs(group_.downUs, t);
    const double m = tracker_.maxMovement(group_.ids, posTransform());
    if (down.size() < 2) {
        groupLifted_ = true;
        const bool tap = e <= ctx_.params.twoFingerTapMaxMs && m <= ctx_.params.tapSlop;
        if (down.empty()) {
            if (mayBeginSent_) scroll_.cancelPrepared();
            mayBeginSent_ = false;
            if (tap) perform(ctx_.profile.touch.twoFingerTap, group_.anchorNorm);
            state_ = afterLift();
        } else if (!tap) {
            if (mayBeginSent_) scroll_.cancelPrepared();
            mayBeginSent_ = false;
            state_ = State::consumed;
        }  // else the tap may still complete when the other finger lifts
        return;
    }
    const Point c = tracker_.centroid(group_.ids, posTransform());
    const double d = tracker_.distance(group_.ids[0], group_.ids[1], posTransform());
    switch (group_.start(ctx_.params, c, d)) {
        case FingerGroup::Start::pinch: startPinch(d); break;
        case FingerGroup::Start::pan: startScroll(c, t); break;
        case FingerGroup::Start::none: break;
    }
}

void TouchModeRecognizer::startScroll(Point centroid, uint64_t t) {
    mayBeginSent_ = false;  // the prepared scroll continues into the gesture
    state_ = State::scrolling;
    members_ = {group_.ids.begin(), group_.ids.end()};
    scroll_.begin(global(group_.anchorNorm), group_.downUs);
    scroll_.move(centroid - group_.startCentroid, t);  // the movement made so far scrolls at once
    group_.lastCentroid = centroid;
    ctx_.onInputBegan();
}

void TouchModeRecognizer::scrolling(const TouchFrame& frame) {
    const uint64_t t = frame.timestampUs;
    const auto down = liveGroup();
    if (!down.empty()) {
        const Point c = tracker_.centroid(down, posTransform());
        const std::set<uint8_t> now(down.begin(), down.end());
        if (now == members_) {
            const Vector delta = c - group_.lastCentroid;
            group_.lastCentroid = c;
            if (delta != Vector{}) scroll_.move(delta, t);
        } else {
            // A finger of the pair lifted: go on with the other without scrolling the jump.
            members_ = now;
            group_.lastCentroid = c;
        }
        return;
    }
    const Vector v = scroll_.end(t);
    ctx_.onInputCompleted();
    if (!ctx_.params.inertia) {
        state_ = afterLift();
    } else if (!tracker_.alive().empty()) {
        state_ = State::consumed;
    } else if (v.length() < ctx_.params.momentumMinSpeed) {
        state_ = State::idle;
    } else {
        state_ = State::momentum;
        scroll_.startMomentum(v, [this] {
            if (state_ == State::momentum) state_ = State::idle;
        });
    }
}

void TouchModeRecognizer::startPinch(double d) {
    if (mayBeginSent_) scroll_.cancelPrepared();
    mayBeginSent_ = false;
    state_ = State::pinching;
    pinch_.begin(global(group_.anchorNorm), ctx_.profile.touch.pinch);
    pinch_.change(d / group_.startDistance);
    group_.lastDistance = d;
    ctx_.onInputBegan();
}

void TouchModeRecognizer::pinching() {
    if (liveGroup().size() < group_.ids.size()) {
        pinch_.end();
        ctx_.onInputCompleted();
        state_ = afterLift();
        return;
    }
    const double d = tracker_.distance(group_.ids[0], group_.ids[1], posTransform());
    pinch_.changeDistance(group_.lastDistance, d);
    group_.lastDistance = d;
}

// ---- three fingers ----

void TouchModeRecognizer::beginPending3(const std::vector<uint8_t>& ids, uint64_t t) {
    group_.begin(tracker_, ids, t, posTransform());
    groupLifted_ = false;
    state_ = State::pending3;
}

void TouchModeRecognizer::pending3(const TouchFrame& frame) {
    if (tracker_.alive().size() >= 4) {
        state_ = State::consumed;
        return;
    }
    const auto down = liveGroup();
    const double e = elapsedMs(group_.downUs, frame.timestampUs);
    const double m = tracker_.maxMovement(group_.ids, posTransform());
    if (down.size() < group_.ids.size()) {
        groupLifted_ = true;
        const bool tap = e <= ctx_.params.threeFingerTapMaxMs && m <= 1.5 * ctx_.params.tapSlop;
        if (down.empty()) {
            if (tap) perform(ctx_.profile.touch.threeFingerTap, group_.anchorNorm);
            state_ = afterLift();
        } else if (!tap) {
            state_ = State::consumed;
        }
        return;
    }
    const Point c = tracker_.centroid(group_.ids, posTransform());
    const double dx = c.x - group_.startCentroid.x;
    const double dy = c.y - group_.startCentroid.y;
    if (std::max(std::abs(dx), std::abs(dy)) <= ctx_.params.threeFingerSwipeMin) return;
    const GestureAction& action = ctx_.profile.touch.threeFingerSwipe;
    if (action.kind() == GestureAction::Kind::spaces) {
        // On X11 switching desktops is a request to the window manager, not a shortcut (Control +
        // arrow moves the text cursor here). The content follows the fingers: a swipe to the left
        // shows the desktop on the right.
        if (std::abs(dx) > std::abs(dy)) {
            post(synth::SwitchDesktop{dx < 0 ? 1 : -1});
            ctx_.onInputCompleted();
        } else {
            Log::d("input", "vertical three-finger swipe: this desktop has no overview to ask for");
        }
    } else {
        perform(action, group_.anchorNorm);
    }
    state_ = State::consumed;
}

// ---- actions and cancelling ----

void TouchModeRecognizer::perform(const GestureAction& action, Point p) {
    const Point g = global(p);
    switch (action.kind()) {
        case GestureAction::Kind::keys: ctx_.combo(action.combo()); break;
        case GestureAction::Kind::rightClick:
        case GestureAction::Kind::middleClick: {
            const auto button =
                action.kind() == GestureAction::Kind::rightClick ? MouseButton::right : MouseButton::middle;
            post(synth::Move{g});
            post(synth::Down{button, g, 1});
            ctx_.onInputBegan();
            post(synth::Up{button, g, 1});
            ctx_.onInputCompleted();
            break;
        }
        case GestureAction::Kind::undo: ctx_.combo(KeyCombo::undo); break;
        case GestureAction::Kind::redo: ctx_.combo(KeyCombo::redo); break;
        default: break;  // continuous actions matter only as the pinch's; spaces only on a swipe
    }
}

void TouchModeRecognizer::cancelGesture() {
    cancelSingleTimers();
    switch (state_) {
        case State::dragging:
            if (const auto track = primary_ ? tracker_[*primary_] : std::nullopt) {
                post(synth::Up{MouseButton::left, global(track->norm), pendingClicks_});
            }
            ctx_.onInputCompleted();
            break;
        case State::pending2:
            if (mayBeginSent_) scroll_.cancelPrepared();
            break;
        case State::scrolling:
            scroll_.cancel();
            ctx_.onInputCompleted();
            break;
        case State::momentum:
            if (scroll_.momentumRunning()) scroll_.finishMomentum();
            break;
        case State::pinching:
            pinch_.end();
            ctx_.onInputCompleted();
            break;
        default: break;
    }
    mayBeginSent_ = false;
}

}  // namespace kelvo
