#include "core/util/clock_sync.hpp"

#include <limits>

namespace kelvo {

namespace {

int64_t saturate(__int128 v) {
    constexpr __int128 lo = std::numeric_limits<int64_t>::min();
    constexpr __int128 hi = std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(v < lo ? lo : v > hi ? hi : v);
}

// Wrapping difference read as signed: clocks are compared, not ordered, so a tablet clock that
// sits "behind" the host's gives a small negative number rather than a huge positive one.
__int128 diff(uint64_t a, uint64_t b) { return static_cast<int64_t>(a - b); }

}  // namespace

void ClockSync::add(uint64_t t0, uint64_t t1, uint64_t t2, uint64_t t3) {
    // Combined in 128 bits: corrupt or hostile tablet timestamps must not overflow.
    int64_t rtt = saturate(diff(t3, t0) - diff(t2, t1));
    if (rtt < 0) rtt = 0;
    // The mean of two 64-bit values always fits; division truncates toward zero.
    int64_t offset = static_cast<int64_t>((diff(t1, t0) + diff(t2, t3)) / 2);
    Sample sample{rtt, offset};

    std::lock_guard g(lock_);
    samples_.push_back(sample);
    if (samples_.size() > kMaxSamples) samples_.erase(samples_.begin(), samples_.end() - kMaxSamples);
    best_.reset();
    for (const auto& s : samples_)
        if (!best_ || s.rtt < best_->rtt) best_ = s;  // strict: among equals the oldest wins
    last_ = sample;
}

bool ClockSync::hasSample() const {
    std::lock_guard g(lock_);
    return best_.has_value();
}

int64_t ClockSync::offsetUs() const {
    std::lock_guard g(lock_);
    return best_ ? best_->offset : 0;
}

int64_t ClockSync::minRttUs() const {
    std::lock_guard g(lock_);
    return best_ ? best_->rtt : 0;
}

int64_t ClockSync::lastRttUs() const {
    std::lock_guard g(lock_);
    return last_ ? last_->rtt : 0;
}

int64_t ClockSync::macTime(uint64_t ipadUs) const {
    return saturate(static_cast<__int128>(static_cast<int64_t>(ipadUs)) - offsetUs());
}

void ClockSync::reset() {
    std::lock_guard g(lock_);
    samples_.clear();
    best_.reset();
    last_.reset();
}

}  // namespace kelvo
