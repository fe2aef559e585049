#include "core/input/draw_mode_recognizer.hpp"

#include <algorithm>
#include <cmath>

namespace kelvo {

namespace {

double elapsedMs(uint64_t from, uint64_t to) { return to > from ? static_cast<double>(to - from) / 1000.0 : 0.0; }

bool has(const std::vector<uint8_t>& ids, uint8_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

Point identity(Point p) { return p; }

constexpr uint16_t kSpaceKey = 49;

}  // namespace

DrawModeRecognizer::DrawModeRecognizer(InputContext& ctx)
    : ctx_(ctx),
      tablet_(ctx),
      scroll_(ctx),
      pinch_(ctx),
      pressure_(ctx.params.pressure),
      filter_(OneEuroFilter2D::forLevel(ctx.params.smoothing)) {}

void DrawModeRecognizer::handle(const TouchFrame& frame) {
    lastFrameUs_ = frame.timestampUs;
    const auto update = tracker_.apply(frame);
    for (uint8_t id : update.began) {
        const auto track = tracker_[id];
        if (state_ == State::stroke || (track && track->radius > ctx_.params.palmRadius)) ignored_.insert(id);
    }
    if (state_ == State::penPending && pen_) {
        const auto track = tracker_[*pen_];
        if (track && track->radius > ctx_.params.palmRadius) ignored_.insert(*pen_);
    }
    if (update.cancelled) {
        cancelGesture();
        state_ = afterLift();
    } else {
        switch (state_) {
            case State::idle: start(frame, update); break;
            case State::penPending: penPending(frame, update); break;
            case State::stroke: stroke(frame, update); break;
            case State::twoPending: twoPending(frame.timestampUs); break;
            case State::twoPan: twoPan(frame.timestampUs); break;
            case State::twoPinch: twoPinch(); break;
            case State::consumed: break;
        }
    }
    tracker_.removeFinished();
    std::erase_if(ignored_, [&](uint8_t id) { return !tracker_.has(id); });
    if (state_ == State::consumed && fingers().empty()) state_ = State::idle;
    ctx_.updateTouching(!tracker_.empty());
}

void DrawModeRecognizer::reset() {
    cancelGesture();
    tracker_.clear();
    ignored_.clear();
    third_.reset();
    tablet_.cancel();  // leaves proximity at once
    state_ = State::idle;
}

std::vector<uint8_t> DrawModeRecognizer::fingers() const {
    auto live = tracker_.alive();
    std::erase_if(live, [&](uint8_t id) { return ignored_.count(id) != 0; });
    return live;
}

DrawModeRecognizer::State DrawModeRecognizer::afterLift() const {
    return fingers().empty() ? State::idle : State::consumed;
}

void DrawModeRecognizer::start(const TouchFrame& frame, const TouchTracker::Update&) {
    const auto f = fingers();
    if (f.size() == 1) beginPen(f[0], frame.timestampUs);
    else if (f.size() >= 2) beginTwo(f, frame.timestampUs);
}

// ---- pen ----

void DrawModeRecognizer::beginPen(uint8_t id, uint64_t t) {
    const auto track = tracker_[id];
    if (!track) return;
    pen_ = id;
    cached_.assign(1, Cached{track->norm, track->radius, t});
    state_ = State::penPending;
    commitTimer_ = ctx_.scheduler().after(delayUsFromMs(ctx_.params.penCommitMs), [this] {
        commitTimer_.reset();
        commitPen();
    });
}

void DrawModeRecognizer::penPending(const TouchFrame& frame, const TouchTracker::Update& update) {
    const uint64_t t = frame.timestampUs;
    if (!pen_ || !tracker_.has(*pen_)) {
        commitTimer_.reset();
        state_ = State::consumed;
        return;
    }
    if (ignored_.count(*pen_)) {
        // The pen turned into a palm: the fingers that remain start over.
        commitTimer_.reset();
        cached_.clear();
        pen_.reset();
        state_ = State::idle;
        start(frame, update);
        return;
    }
    const auto f = fingers();
    if (f.size() > 1) {
        commitTimer_.reset();
        cached_.clear();
        pen_.reset();
        beginTwo(f, t);
        return;
    }
    const auto track = *tracker_[*pen_];
    if (update.moved.count(*pen_)) cached_.push_back({track.norm, track.radius, t});
    if (has(update.ended, *pen_)) {
        // A short tap still draws: a dot from what was held back.
        commitTimer_.reset();
        commitPen();
        tablet_.penUp();
        ctx_.onInputCompleted();
        pen_.reset();
        state_ = State::idle;
        return;
    }
    if (distance(pos(track.startNorm), pos(track.norm)) > ctx_.params.penCommitDistance) {
        commitTimer_.reset();
        commitPen();
    }
}

void DrawModeRecognizer::commitPen() {
    if (state_ != State::penPending || cached_.empty()) return;
    if (filter_) filter_->reset();  // each stroke starts unsmoothed
    pressure_.config = ctx_.params.pressure;
    const Cached& first = cached_.front();
    const Point p0 = smooth(first.norm, first.us);
    const double pressure = pressure_.begin(pos(p0), first.radius, first.us);
    tablet_.penDown(global(p0), p0, pressure);
    ctx_.onInputBegan();
    for (size_t i = 1; i < cached_.size(); ++i) {
        const Point p = smooth(cached_[i].norm, cached_[i].us);
        tablet_.penMove(global(p), p, pressure_.sample(pos(p), cached_[i].radius, cached_[i].us));
    }
    cached_.clear();
    state_ = State::stroke;
}

Point DrawModeRecognizer::smooth(Point norm, uint64_t t) {
    if (!filter_) return norm;
    // Filtered in points, so that the filter's cut-offs mean the same on every tablet.
    const Point s = scale();
    const Point q = filter_->filter({norm.x * s.x, norm.y * s.y}, t);
    return {s.x > 0 ? q.x / s.x : 0.0, s.y > 0 ? q.y / s.y : 0.0};
}

void DrawModeRecognizer::stroke(const TouchFrame& frame, const TouchTracker::Update& update) {
    const uint64_t t = frame.timestampUs;
    const auto track = pen_ ? tracker_[*pen_] : std::nullopt;
    if (!track) {
        tablet_.cancel();
        ctx_.onInputCompleted();
        state_ = State::consumed;
        return;
    }
    if (update.moved.count(*pen_)) {
        const Point p = smooth(track->norm, t);
        tablet_.penMove(global(p), p, pressure_.sample(pos(p), track->radius, t));
    }
    if (has(update.ended, *pen_)) {
        tablet_.penUp();
        ctx_.onInputCompleted();
        pen_.reset();
        state_ = afterLift();
    }
}

// ---- two fingers ----

void DrawModeRecognizer::beginTwo(const std::vector<uint8_t>& ids, uint64_t t) {
    group_.begin(tracker_, {ids.begin(), ids.begin() + 2}, t, posTransform());
    third_.reset();
    ctx_.post(synth::Move{global(group_.anchorNorm)});
    if (ctx_.profile.draw.twoFingerPan.kind() == GestureAction::Kind::scroll) {
        scroll_.prepare(global(group_.anchorNorm));
        mayBeginSent_ = true;
    }
    state_ = State::twoPending;
}

void DrawModeRecognizer::cancelPrepared() {
    if (mayBeginSent_) scroll_.cancelPrepared();
    mayBeginSent_ = false;
}

void DrawModeRecognizer::twoPending(uint64_t t) {
    const auto f = fingers();
    std::vector<uint8_t> live;
    for (uint8_t id : group_.ids) {
        if (has(f, id)) live.push_back(id);
    }
    const double elapsed = elapsedMs(group_.downUs, t);
    const double moved = tracker_.maxMovement(group_.ids, posTransform());

    if (!third_ && live.size() == 2) {
        for (uint8_t id : f) {
            if (!has(group_.ids, id)) {
                third_ = Third{id, t};
                break;
            }
        }
    } else if (third_) {
        const auto track = tracker_[third_->id];
        if (!track || track->ended) {
            const bool tap = elapsedMs(third_->downUs, t) <= ctx_.params.threeFingerTapMaxMs &&
                             tracker_.maxMovement({third_->id}, posTransform()) <= 1.5 * ctx_.params.tapSlop;
            third_.reset();
            if (tap) {
                cancelPrepared();
                perform(ctx_.profile.draw.threeFingerTap);
                state_ = State::consumed;
                return;
            }
        }
    }

    if (live.size() < 2) {
        cancelPrepared();
        // Only both fingers lifting in the same frame is a tap.
        if (live.empty() && f.empty() && elapsed <= ctx_.params.twoFingerTapMaxMs && moved <= ctx_.params.tapSlop) {
            perform(ctx_.profile.draw.twoFingerTap);
        }
        state_ = afterLift();
        return;
    }
    const Point c = tracker_.centroid(group_.ids, posTransform());
    const double d = tracker_.distance(group_.ids[0], group_.ids[1], posTransform());
    switch (group_.start(ctx_.params, c, d)) {
        case FingerGroup::Start::pinch:
            cancelPrepared();
            state_ = State::twoPinch;
            pinch_.begin(global(group_.anchorNorm), ctx_.profile.draw.pinch);
            pinch_.change(d / group_.startDistance);
            group_.lastDistance = d;
            ctx_.onInputBegan();
            break;
        case FingerGroup::Start::pan: startPan(c, t); break;
        case FingerGroup::Start::none: break;
    }
}

void DrawModeRecognizer::startPan(Point centroid, uint64_t t) {
    mayBeginSent_ = false;  // a prepared scroll continues into the pan
    state_ = State::twoPan;
    ctx_.onInputBegan();
    if (ctx_.profile.draw.twoFingerPan.kind() == GestureAction::Kind::spaceDrag) {
        ctx_.post(synth::Key{kSpaceKey, true});
        spaceHeld_ = true;
        ctx_.post(synth::Down{MouseButton::left, global(group_.anchorNorm), 1});
        ctx_.post(synth::Drag{MouseButton::left, global(currentAnchorNorm())});
    } else {
        scroll_.begin(global(group_.anchorNorm), group_.downUs);
        scroll_.move(centroid - group_.startCentroid, t);
    }
    group_.lastCentroid = centroid;
}

// The start anchor moved along with the fingers.
Point DrawModeRecognizer::currentAnchorNorm() const { return tracker_.centroid(group_.ids, identity); }

void DrawModeRecognizer::twoPan(uint64_t t) {
    const auto f = fingers();
    if (!has(f, group_.ids[0]) || !has(f, group_.ids[1])) {
        endPan(t);
        state_ = afterLift();
        return;
    }
    const Point c = tracker_.centroid(group_.ids, posTransform());
    const Vector delta = c - group_.lastCentroid;
    group_.lastCentroid = c;
    if (delta == Vector{}) return;
    if (spaceHeld_) ctx_.post(synth::Drag{MouseButton::left, global(currentAnchorNorm())});
    else scroll_.move(delta, t);
}

void DrawModeRecognizer::endPan(uint64_t t) {
    if (spaceHeld_) {
        ctx_.post(synth::Up{MouseButton::left, global(currentAnchorNorm()), 1});
        ctx_.post(synth::Key{kSpaceKey, false});
        spaceHeld_ = false;
    } else {
        scroll_.end(t);  // draw mode has no momentum
    }
    ctx_.onInputCompleted();
}

void DrawModeRecognizer::twoPinch() {
    const auto f = fingers();
    if (!has(f, group_.ids[0]) || !has(f, group_.ids[1])) {
        pinch_.end();
        ctx_.onInputCompleted();
        state_ = afterLift();
        return;
    }
    const double d = tracker_.distance(group_.ids[0], group_.ids[1], posTransform());
    pinch_.changeDistance(group_.lastDistance, d);
    group_.lastDistance = d;
}

// ---- actions and cancelling ----

void DrawModeRecognizer::perform(const GestureAction& action) {
    switch (action.kind()) {
        case GestureAction::Kind::keys: ctx_.combo(action.combo()); break;
        case GestureAction::Kind::undo: ctx_.combo(KeyCombo::undo); break;
        case GestureAction::Kind::redo: ctx_.combo(KeyCombo::redo); break;
        case GestureAction::Kind::rightClick:
        case GestureAction::Kind::middleClick: {
            const auto button =
                action.kind() == GestureAction::Kind::rightClick ? MouseButton::right : MouseButton::middle;
            const Point g = global(group_.anchorNorm);
            ctx_.post(synth::Down{button, g, 1});
            ctx_.post(synth::Up{button, g, 1});
            ctx_.onInputCompleted();
            break;
        }
        default: break;  // continuous actions do nothing on a tap
    }
}

void DrawModeRecognizer::cancelGesture() {
    commitTimer_.reset();
    cached_.clear();
    switch (state_) {
        case State::stroke:
            tablet_.cancel();
            ctx_.onInputCompleted();
            break;
        case State::twoPending: cancelPrepared(); break;
        case State::twoPan:
            if (spaceHeld_) {
                endPan(lastFrameUs_);
            } else {
                scroll_.cancel();
                ctx_.onInputCompleted();
            }
            break;
        case State::twoPinch:
            pinch_.end();
            ctx_.onInputCompleted();
            break;
        default: break;
    }
    pen_.reset();
    mayBeginSent_ = false;
}

}  // namespace kelvo
