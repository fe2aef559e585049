#include "core/util/timed_samples.hpp"

#include <algorithm>
#include <cmath>

namespace kelvo {

void TimedSamples::add(double value, uint64_t atUs) {
    if (!std::isfinite(value)) return;
    times_.push_back(atUs);
    values_.push_back(value);
    uint64_t cutoff = atUs < maxAgeUs_ ? 0 : atUs - maxAgeUs_;
    if (times_.front() >= cutoff) return;
    auto keep = std::find_if(times_.begin(), times_.end(), [&](uint64_t t) { return t >= cutoff; });
    auto n = keep - times_.begin();
    times_.erase(times_.begin(), keep);
    values_.erase(values_.begin(), values_.begin() + n);
}

std::vector<double> TimedSamples::values(uint64_t sinceUs) const {
    auto first = std::find_if(times_.begin(), times_.end(), [&](uint64_t t) { return t >= sinceUs; });
    return {values_.begin() + (first - times_.begin()), values_.end()};
}

std::optional<double> TimedSamples::percentile(double p, uint64_t sinceUs) const {
    return percentile(p, values(sinceUs));
}

std::optional<double> TimedSamples::percentile(double p, const std::vector<double>& values) {
    if (!std::isfinite(p)) return std::nullopt;
    std::vector<double> sorted;
    sorted.reserve(values.size());
    // NaN breaks the ordering a sort relies on; infinities are no latency either.
    std::copy_if(values.begin(), values.end(), std::back_inserter(sorted), [](double v) { return std::isfinite(v); });
    if (sorted.empty()) return std::nullopt;
    std::sort(sorted.begin(), sorted.end());
    // Clamped as a double, so a p far outside 0…1 cannot overflow the index.
    double last = static_cast<double>(sorted.size() - 1);
    double index = std::clamp(std::round(p * last), 0.0, last);
    return sorted[static_cast<size_t>(index)];
}

void TimedSamples::removeAll() {
    times_.clear();
    values_.clear();
}

Percentiles::Percentiles(const std::vector<double>& values)
    : p50(TimedSamples::percentile(0.5, values).value_or(0)),
      p95(TimedSamples::percentile(0.95, values).value_or(0)) {}

}  // namespace kelvo
