#include "core/input/scroll_synthesizer.hpp"

#include <cmath>
#include <limits>

namespace kelvo {

namespace {

constexpr int64_t kHistoryUs = 200'000;
constexpr int64_t kVelocityWindowUs = 80'000;

// Signed, so a tablet clock that steps back gives a negative age instead of a huge one.
int64_t ageUs(uint64_t nowUs, uint64_t thenUs) { return static_cast<int64_t>(nowUs - thenUs); }

// Whole pixels of one axis, saturated to the event's range; sets `rest` to what carries over.
// Beyond the range (or not a number) nothing carries: a runaway value must not keep scrolling.
int32_t wholePixels(double v, double& rest) {
    const double w = std::trunc(v);
    if (!(std::abs(w) <= static_cast<double>(std::numeric_limits<int32_t>::max()))) {
        rest = 0;
        if (std::isnan(w)) return 0;
        return w > 0 ? std::numeric_limits<int32_t>::max() : -std::numeric_limits<int32_t>::max();
    }
    rest = v - w;
    return static_cast<int32_t>(w);
}

}  // namespace

void ScrollSynthesizer::prepare(Point anchor) {
    anchor_ = anchor;
    post(ScrollPhase::mayBegin, MomentumPhase::none);
}

void ScrollSynthesizer::cancelPrepared() { post(ScrollPhase::cancelled, MomentumPhase::none); }

void ScrollSynthesizer::begin(Point anchor, uint64_t timeUs) {
    anchor_ = anchor;
    began_ = false;
    remainder_ = {};
    cumulative_ = {};
    history_.assign(1, Sample{timeUs, {}});
}

void ScrollSynthesizer::move(Vector delta, uint64_t timeUs) {
    cumulative_ += delta;
    history_.push_back({timeUs, cumulative_});
    std::erase_if(history_, [&](const Sample& s) {
        const int64_t age = ageUs(timeUs, s.us);
        return age > kHistoryUs || age < -kHistoryUs;
    });
    emit(delta, began_ ? ScrollPhase::changed : ScrollPhase::began, MomentumPhase::none, !began_);
    began_ = true;
}

Vector ScrollSynthesizer::end(uint64_t timeUs) {
    history_.push_back({timeUs, cumulative_});
    if (began_) post(ScrollPhase::ended, MomentumPhase::none);
    began_ = false;
    return velocity(history_, timeUs);
}

void ScrollSynthesizer::cancel() {
    if (!began_) return;
    post(ScrollPhase::cancelled, MomentumPhase::none);
    began_ = false;
}

Vector ScrollSynthesizer::velocity(const std::vector<Sample>& samples, uint64_t endUs) {
    std::vector<std::pair<double, Point>> recent;  // (seconds before the end, ≤ 0; position)
    for (const auto& s : samples) {
        const int64_t age = ageUs(endUs, s.us);
        if (age >= 0 && age <= kVelocityWindowUs) recent.push_back({-static_cast<double>(age) / 1e6, s.pt});
    }
    if (recent.size() < 2) return {};
    double mean = 0;
    for (const auto& [tau, pt] : recent) mean += tau;
    mean /= static_cast<double>(recent.size());
    double sxx = 0;
    Vector sxy;
    for (const auto& [tau, pt] : recent) {
        sxx += (tau - mean) * (tau - mean);
        sxy += pt * (tau - mean);
    }
    if (!(sxx > 1e-12)) return {};
    return sxy * (1.0 / sxx);
}

void ScrollSynthesizer::startMomentum(Vector velocity, std::function<void()> completion) {
    if (momentumTimer_) finishMomentum();
    momentumVelocity_ = velocity;
    momentumStarted_ = false;
    remainder_ = {};
    momentumCompletion_ = std::move(completion);
    momentumTimer_ = ctx_.scheduler().every(kMomentumTickUs, [this] { tick(); });
}

void ScrollSynthesizer::tick() {
    // The step is per tick at 120 Hz, whatever the real spacing of the ticks.
    emit(momentumVelocity_ * (1.0 / 120.0), ScrollPhase::none,
         momentumStarted_ ? MomentumPhase::continue_ : MomentumPhase::begin, !momentumStarted_);
    momentumStarted_ = true;
    momentumVelocity_ *= ctx_.params.momentumFriction;
    if (!(momentumVelocity_.length() >= ctx_.params.momentumStopSpeed)) {
        auto completion = std::move(momentumCompletion_);
        finishMomentum();
        if (completion) completion();
    }
}

void ScrollSynthesizer::finishMomentum() {
    momentumTimer_.reset();
    momentumCompletion_ = nullptr;
    post(ScrollPhase::none, MomentumPhase::end);
}

void ScrollSynthesizer::emit(Vector delta, ScrollPhase phase, MomentumPhase momentum, bool force) {
    double scale = ctx_.mapper.macPerIPadPoint();
    if (ctx_.params.invertScroll) scale = -scale;
    const Vector v = delta * scale + remainder_;
    const int32_t dx = wholePixels(v.x, remainder_.x);
    const int32_t dy = wholePixels(v.y, remainder_.y);
    if (dx == 0 && dy == 0 && !force) return;
    post(phase, momentum, dx, dy);
}

void ScrollSynthesizer::post(ScrollPhase phase, MomentumPhase momentum, int32_t dx, int32_t dy) {
    ctx_.post(synth::Scroll{dx, dy, phase, momentum, anchor_}, flags);
}

}  // namespace kelvo
