#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace kelvo {

// A window of time-stamped values (latencies in milliseconds) that forgets samples older than
// maxAgeUs before the newest one. A plain value owned by one queue; no lock.
// Samples are expected in non-decreasing time order; nothing is re-sorted by time.
class TimedSamples {
public:
    explicit TimedSamples(uint64_t maxAgeUs) : maxAgeUs_(maxAgeUs) {}

    // Adds one sample at `atUs` and drops those older than atUs - maxAgeUs (a sample exactly at
    // that cutoff stays). A value that is not finite is dropped: it would poison every percentile.
    void add(double value, uint64_t atUs);
    // The values of samples at or after `sinceUs`, oldest first.
    std::vector<double> values(uint64_t sinceUs) const;
    // Nearest-rank percentile of values(sinceUs); empty when there are none.
    std::optional<double> percentile(double p, uint64_t sinceUs) const;

    // Nearest rank: index round(p × (n − 1)), halves away from zero, clamped to the array.
    // Non-finite values are left out; an empty set or a non-finite p gives no value.
    static std::optional<double> percentile(double p, const std::vector<double>& values);

    int64_t count() const { return static_cast<int64_t>(values_.size()); }
    void removeAll();

    uint64_t maxAgeUs() const { return maxAgeUs_; }
    void setMaxAgeUs(uint64_t maxAgeUs) { maxAgeUs_ = maxAgeUs; }

private:
    std::deque<uint64_t> times_;  // parallel to values_
    std::deque<double> values_;
    uint64_t maxAgeUs_;
};

// The (median, 95th percentile) pair carried by the live statistics.
struct Percentiles {
    double p50 = 0;
    double p95 = 0;

    Percentiles() = default;
    Percentiles(double p50, double p95) : p50(p50), p95(p95) {}
    // Both nearest-rank percentiles of `values`; 0 where there is no value.
    explicit Percentiles(const std::vector<double>& values);

    static Percentiles zero() { return {}; }
    friend bool operator==(const Percentiles&, const Percentiles&) = default;
};

}  // namespace kelvo
